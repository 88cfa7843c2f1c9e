// quillmark: the host that is to the control what a browser is to a page.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "activation.h"
#include "demo.h"
#include "exit_status.h"
#include "host_ui.h"
#include "platform/context/context.h"
#include "platform/ui/ui.h"
#include "script_host.h"
#include "store.h"

namespace {

using namespace host;

constexpr std::string_view MODULE_NAME = "libquillmark.so";

// A command's words after its name: options that each take one value, then
// positional arguments.
struct Arguments {
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> positional;

    std::optional<std::string> option(std::string_view name) const {
        const auto it = options.find(name);
        if (it == options.end()) return std::nullopt;
        return it->second;
    }
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Arguments parseArguments(std::span<const std::string> words, std::initializer_list<std::string_view> known,
                         size_t positionalCount) {
    Arguments parsed;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.starts_with("--")) {
            if (std::find(known.begin(), known.end(), word) == known.end()) {
                throw UsageError("unknown option " + word);
            }
            if (i + 1 >= words.size()) throw UsageError(word + " needs a value");
            if (!parsed.options.emplace(word, words[i + 1]).second) throw UsageError(word + " given twice");
            ++i;
        } else {
            parsed.positional.push_back(word);
        }
    }
    if (parsed.positional.size() != positionalCount) {
        throw UsageError(positionalCount == 0 ? "unexpected argument " + parsed.positional.front()
                                              : "expected " + std::to_string(positionalCount) + " argument(s)");
    }
    return parsed;
}

// The module that ships with this executable: beside it.
std::filesystem::path defaultModulePath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::filesystem::path(MODULE_NAME);
    return self.parent_path() / MODULE_NAME;
}

std::filesystem::path modulePath(const Arguments& arguments) {
    const auto given = arguments.option("--module");
    return given ? std::filesystem::path(*given) : defaultModulePath();
}

std::string readPage(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw InputError("cannot read the page " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw InputError("cannot read the page " + file.string());
    return text.str();
}

// --- Commands ----------------------------------------------------------------

int runCommand(std::span<const std::string> words) {
    const Arguments arguments = parseArguments(words, {"--answers", "--ui-log"}, 1);
    const std::filesystem::path page = arguments.positional.front();

    // Everything the page depends on is checked before it runs.
    const std::string source = readPage(page);
    std::shared_ptr<UiLog> log;
    if (const auto logFile = arguments.option("--ui-log")) log = std::make_shared<UiLog>(*logFile);
    const auto writeLog = [log](const ui::RecordedRequest& request) { log->write(request); };

    std::unique_ptr<ui::UserInterface> userInterface;
    ui::ScriptedUserInterface* scripted = nullptr;
    if (const auto answersFile = arguments.option("--answers")) {
        auto answered = std::make_unique<ui::ScriptedUserInterface>();
        for (auto& answer : readAnswers(*answersFile)) answered->push(std::move(answer));
        answered->onUnanswered([](const ui::RecordedRequest& request) {
            std::cerr << "quillmark: no answer left for " << request.json << '\n';
        });
        if (log) answered->onRecord(writeLog);
        scripted = answered.get();
        userInterface = std::move(answered);
    } else {
        userInterface = ui::makeConsoleUserInterface();
        if (log) userInterface = makeRecordingUserInterface(std::move(userInterface), writeLog);
    }

    platform::Context context(platform::defaultHome(), std::move(userInterface));
    platform::ScopedContext scope(context);
    Activator activator;
    bool ok = false;
    {
        ScriptHost scriptHost(activator, std::cout, std::cerr);
        ok = scriptHost.run(page.string(), source);
    }
    if (scripted && scripted->pending() > 0) {
        std::cerr << "quillmark: " << scripted->pending() << " answer(s) were not used\n";
    }
    return ok ? EXIT_OK : EXIT_FAILED;
}

int registration(std::span<const std::string> words, bool registering) {
    const Arguments arguments = parseArguments(words, {"--module"}, 0);
    const std::filesystem::path module = modulePath(arguments);
    platform::Context context(platform::defaultHome(), ui::makeConsoleUserInterface());
    platform::ScopedContext scope(context);
    Activator activator;
    try {
        if (registering) {
            activator.registerModule(module);
        } else {
            activator.unregisterModule(module);
        }
    } catch (const ActivationError& e) {
        std::cerr << "quillmark: " << e.what() << '\n';
        return EXIT_FAILED;
    }
    std::cout << (registering ? "Registered " : "Unregistered ") << module.string() << " in "
              << context.home().string() << '\n';
    return EXIT_OK;
}

int registerCommand(std::span<const std::string> words) { return registration(words, true); }
int unregisterCommand(std::span<const std::string> words) { return registration(words, false); }

int demoCommand(std::span<const std::string> words) {
    const Arguments arguments = parseArguments(words, {"--home", "--module"}, 0);
    DemoOptions options;
    if (const auto home = arguments.option("--home")) options.home = *home;
    options.module = modulePath(arguments);
    return runDemo(options, std::cout, std::cerr);
}

int helpCommand(std::span<const std::string> words);

struct Command {
    std::string_view name;
    std::string_view synopsis;
    std::string_view summary;
    int (*run)(std::span<const std::string> words);
};

// One row per command; a new command is one more row.
constexpr Command COMMANDS[] = {
    {"run", "run [--answers FILE] [--ui-log FILE] PAGE.js",
     "run a page script; --answers answers dialogs from FILE (one answer a line),\n"
     "      --ui-log appends every dialog request to FILE as a JSON line",
     runCommand},
    {"register", "register [--module PATH]", "register the control module (default: libquillmark.so beside quillmark)",
     registerCommand},
    {"unregister", "unregister [--module PATH]", "remove the control module's registration", unregisterCommand},
    {"store",
     "store list [STORE]\n"
     "  quillmark store import FILE [--store NAME] [--password P] [--container NAME] [--protect PASSPHRASE]\n"
     "  quillmark store import CERTFILE --provider NAME --container LABEL\n"
     "  quillmark store remove STORE FILESTEM\n"
     "  quillmark store provider add NAME --module PATH [--slot N | --token LABEL]\n"
     "  quillmark store provider list\n"
     "  quillmark store provider remove NAME",
     "list every store (or one): certificates, their keys, CRLs; import PEM or DER certificates and\n"
     "      CRLs: a certificate into --store, else a self-signed CA certificate into root, another CA\n"
     "      certificate into ca, the rest into my; a CRL into the store of its issuer (ca, else root);\n"
     "      import a PKCS #12 file (--password, default empty) into my with its key in a new key\n"
     "      container (--container names it; never overwritten), unencrypted and readable by you only\n"
     "      unless --protect encrypts it, and its CA certificates into root or ca; import a certificate\n"
     "      whose key is on a token into my (--provider names a registered provider, --container the\n"
     "      key's label or hex id on the token; the key must be there, no key file is written); remove\n"
     "      a certificate by the file stem that list shows (its key container is kept); register a\n"
     "      PKCS #11 module as a token provider (the token in --slot, or labelled --token, else its\n"
     "      first token), list the registered ones, or remove one",
     storeCommand},
    {"demo", "demo [--home DIR] [--module PATH]",
     "register the control in a fresh home and run the bundled example pages", demoCommand},
    {"help", "help", "show this text", helpCommand},
};

void printUsage(std::ostream& out) {
    out << "usage: quillmark COMMAND ...\n\n";
    for (const Command& command : COMMANDS) {
        out << "  quillmark " << command.synopsis << "\n      " << command.summary << '\n';
    }
    out << "\nState lives in QUILLMARK_HOME (default $XDG_DATA_HOME/quillmark or ~/.local/share/quillmark).\n";
}

int helpCommand(std::span<const std::string> words) {
    parseArguments(words, {}, 0);
    printUsage(std::cout);
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
    if (words.empty()) {
        printUsage(std::cerr);
        return EXIT_USAGE;
    }
    const auto command = std::find_if(std::begin(COMMANDS), std::end(COMMANDS),
                                      [&](const Command& c) { return c.name == words.front(); });
    if (command == std::end(COMMANDS)) {
        std::cerr << "quillmark: unknown command " << words.front() << "\n\n";
        printUsage(std::cerr);
        return EXIT_USAGE;
    }
    try {
        return command->run(std::span<const std::string>(words).subspan(1));
    } catch (const UsageError& e) {
        std::cerr << "quillmark " << command->name << ": " << e.what() << "\nusage: quillmark " << command->synopsis
                  << '\n';
        return EXIT_USAGE;
    } catch (const InputError& e) {
        std::cerr << "quillmark: " << e.what() << '\n';
        return EXIT_USAGE;
    } catch (const std::exception& e) {
        std::cerr << "quillmark: " << e.what() << '\n';
        return EXIT_FAILED;
    }
}
