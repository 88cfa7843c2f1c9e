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

struct ProcessOptions {
    // The whole environment of the process; empty: this process's own.
    std::vector<std::string> environment;
    // A session of its own: no controlling terminal, so nothing it runs can
    // wait for a person at one.
    bool newSession = false;
};

// `arguments[0]` is looked up on PATH. Output goes through files in
// `scratch`, a folder the caller owns.
ProcessRun runProcess(const std::vector<std::string>& arguments, const std::filesystem::path& scratch,
                      const ProcessOptions& options = {});

}  // namespace testing_support
