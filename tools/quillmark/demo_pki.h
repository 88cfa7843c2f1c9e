// The demo's own small PKI, made fresh in the demo home: a root, a CA, and
// the users the example pages sign and encrypt with, each with its key in a
// container of the software provider.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

namespace host {

struct DemoPkiError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes the PKI into the installed context's home; throws DemoPkiError.
void buildDemoPki(std::ostream& out);

// Files the example pages read, under the home's drive c:.
void writeDemoFiles();

}  // namespace host
