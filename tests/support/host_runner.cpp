#include "support/host_runner.h"

#include "support/process.h"

#include <cstdlib>
#include <sstream>

extern char** environ;

namespace testing_support {

std::filesystem::path buildBin() {
    if (const char* folder = std::getenv("QUILLMARK_BUILD_BIN"); folder && *folder) return folder;
    return QUILLMARK_TEST_BIN_DIR;
}

HostRun runHost(const std::filesystem::path& home, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment) {
    ProcessOptions options;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        if (text.starts_with("QUILLMARK_HOME=") || text.starts_with("QUILLMARK_FAKE_")) continue;
        options.environment.emplace_back(text);
    }
    options.environment.push_back("QUILLMARK_HOME=" + home.string());
    options.environment.insert(options.environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    options.newSession = true;

    std::vector<std::string> words{(buildBin() / "quillmark").string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    const ProcessRun run = runProcess(words, home, options);
    return HostRun{run.exitCode, run.out, run.err};
}

void PageTest::SetUp() {
    const HostRun registered = host({"register"});
    ASSERT_EQ(registered.exitCode, 0) << registered.err;
}

HostRun PageTest::host(const std::vector<std::string>& arguments) {
    HostRun run = runHost(home.path(), arguments, hostEnvironment);
    EXPECT_EQ(run.err.find("still alive"), std::string::npos) << run.err;
    return run;
}

HostRun PageTest::page(std::string_view script, std::string_view answers) {
    const auto pageFile = home.path() / "page.js";
    const auto answersFile = home.path() / "page.answers";
    const auto logFile = home.path() / "page.uilog";
    writeFile(pageFile, script);
    writeFile(answersFile, answers);
    writeFile(logFile, "");
    HostRun run = host({"run", "--answers", answersFile.string(), "--ui-log", logFile.string(), pageFile.string()});
    uiLog.clear();
    std::istringstream lines(readFile(logFile));
    for (std::string line; std::getline(lines, line);) uiLog.push_back(line);
    return run;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

}  // namespace testing_support
