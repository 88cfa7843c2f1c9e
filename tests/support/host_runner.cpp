#include "support/host_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

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
    const std::filesystem::path outFile = home / "host.out";
    const std::filesystem::path errFile = home / "host.err";
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        if (text.starts_with("QUILLMARK_HOME=") || text.starts_with("QUILLMARK_FAKE_")) continue;
        environment.emplace_back(text);
    }
    environment.push_back("QUILLMARK_HOME=" + home.string());
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());

    std::vector<std::string> words{(buildBin() / "quillmark").string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    HostRun run;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = readFile(outFile);
    run.err = readFile(errFile);
    return run;
}

void PageTest::SetUp() {
    const HostRun registered = host({"register"});
    ASSERT_EQ(registered.exitCode, 0) << registered.err;
}

HostRun PageTest::host(const std::vector<std::string>& arguments) {
    HostRun run = runHost(home.path(), arguments);
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

}  // namespace testing_support
