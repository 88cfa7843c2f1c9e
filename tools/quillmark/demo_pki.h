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

// A SoftHSM2 token of the demo's own in the home (its configuration named by
// SOFTHSM2_CONF for this process), holding the key of "Token User", whose
// certificate in "MY" names the token provider registered for it. The PIN
// is DEMO_TOKEN_PIN. Throws DemoPkiError, saying what is missing.
void buildDemoToken(std::ostream& out);
inline constexpr const char* DEMO_TOKEN_PIN = "1234";

// Files the example pages read, under the home's drive c:.
void writeDemoFiles();

}  // namespace host
