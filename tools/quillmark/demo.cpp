#include "demo.h"

#include <stdlib.h>

#include <memory>
#include <string>

#include "activation.h"
#include "demo_pki.h"
#include "exit_status.h"
#include "host_ui.h"
#include "pages.h"
#include "platform/context/context.h"
#include "platform/ui/ui.h"
#include "script_host.h"
#include "store.h"

namespace host {

namespace {

// The demo's home: the one asked for, when it is empty or absent, else a new
// temporary folder. Either way it is kept, for the user to look into.
std::optional<std::filesystem::path> prepareHome(const std::optional<std::filesystem::path>& wanted,
                                                 std::ostream& err) {
    std::error_code error;
    if (wanted) {
        if (std::filesystem::exists(*wanted, error) &&
            !(std::filesystem::is_directory(*wanted, error) && std::filesystem::is_empty(*wanted, error))) {
            err << "quillmark: the demo home " << wanted->string() << " must be an empty or absent folder\n";
            return std::nullopt;
        }
        std::filesystem::create_directories(*wanted, error);
        if (error) {
            err << "quillmark: cannot make the demo home " << wanted->string() << ": " << error.message() << '\n';
            return std::nullopt;
        }
        return wanted;
    }
    std::string pattern = (std::filesystem::temp_directory_path(error) / "quillmark-demo-XXXXXX").string();
    if (error || !::mkdtemp(pattern.data())) {
        err << "quillmark: cannot make a temporary demo home\n";
        return std::nullopt;
    }
    return std::filesystem::path(pattern);
}

}  // namespace

int runDemo(const DemoOptions& options, std::ostream& out, std::ostream& err) {
    const auto home = prepareHome(options.home, err);
    if (!home) return EXIT_USAGE;
    out << "Demo home: " << home->string() << '\n';

    platform::Context context(*home, std::make_unique<ui::ScriptedUserInterface>());
    platform::ScopedContext scope(context);
    Activator activator;
    try {
        activator.registerModule(options.module);
    } catch (const ActivationError& e) {
        err << "quillmark: " << e.what() << '\n';
        return EXIT_FAILED;
    }
    out << "Registered " << options.module.string() << '\n';
    try {
        buildDemoPki(out);
        buildDemoToken(out);
        writeDemoFiles();
    } catch (const DemoPkiError& e) {
        err << "quillmark: " << e.what() << '\n';
        return EXIT_FAILED;
    }
    out << "\n== the demo's certificate stores ==\n";
    out.flush();
    const std::string list[] = {"list"};
    if (runStoreCommand(list) != EXIT_OK) return EXIT_FAILED;

    const auto pages = embeddedPages();
    size_t failed = 0;
    for (const EmbeddedPage& page : pages) {
        out << "\n== " << page.name << " ==\n";
        out.flush();
        // Every page answers from its own answers (none: every request gets
        // the safe default) and shows what a user would have been asked.
        auto scripted = std::make_unique<ui::ScriptedUserInterface>();
        try {
            if (page.answers) {
                for (auto& answer : parseAnswers(*page.answers, page.name)) scripted->push(std::move(answer));
            }
        } catch (const InputError& e) {
            err << "quillmark: " << e.what() << '\n';
            ++failed;
            continue;
        }
        scripted->onRecord([&out](const ui::RecordedRequest& request) { out << "[ui] " << request.json << '\n'; });
        context.setUserInterface(std::move(scripted));
        ScriptHost scriptHost(activator, out, err);
        if (!scriptHost.run(page.name, page.script)) {
            out << "(failed)\n";
            ++failed;
        }
    }
    out << '\n' << pages.size() - failed << " of " << pages.size() << " pages ran without error\n";
    return failed == 0 ? EXIT_OK : EXIT_FAILED;
}

}  // namespace host
