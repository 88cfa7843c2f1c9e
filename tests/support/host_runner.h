// Runs the real `quillmark` host as a page would be run: a separate process
// over a given home, in its own session (no controlling terminal, so the
// console interface never waits for a person), with standard input from
// /dev/null.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_home.h"

namespace testing_support {

struct HostRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The folder that holds the host and the module of this build.
std::filesystem::path buildBin();

HostRun runHost(const std::filesystem::path& home, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {});

// Page scripts against the real control: the module is registered in the
// test's home once, and every page runs there.
// A page's output, a line at a time (without the line ends).
std::vector<std::string> lines(const std::string& text);

class PageTest : public HomeTest {
protected:
    void SetUp() override;

    // Runs `script` with the given answers (one per line; none: every request
    // is unanswered and gets its safe default). The requests made are in
    // `uiLog` afterwards, one JSON object per line.
    HostRun page(std::string_view script, std::string_view answers = {});
    HostRun host(const std::vector<std::string>& arguments);

    std::vector<std::string> uiLog;
    // Added to the host's environment (for example SOFTHSM2_CONF).
    std::vector<std::string> hostEnvironment;
};

}  // namespace testing_support
