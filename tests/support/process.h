// Runs a command of the machine (openssl, gzip) for interoperability tests:
// arguments as given, no shell, standard input from /dev/null, output kept.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// `arguments[0]` is looked up on PATH. Output goes through files in
// `scratch`, a folder the caller owns.
ProcessRun runProcess(const std::vector<std::string>& arguments, const std::filesystem::path& scratch);

}  // namespace testing_support
