#include "platform/context/context.h"

#include <cstdlib>
#include <mutex>

namespace platform {

Context::Context(std::filesystem::path home, std::unique_ptr<ui::UserInterface> ui)
    : home_(std::move(home)), ui_(std::move(ui)), files_(home_), clock_(std::make_unique<SystemClock>()) {
    std::error_code ignored;
    std::filesystem::create_directories(home_, ignored);
    // Drive c: always exists, as it does on the machines pages expect.
    std::filesystem::create_directories(files_.drivesRoot() / "c", ignored);
    registry_ = std::make_unique<registry::Hive>(home_ / "registry.reg");
}

Context::~Context() = default;

std::filesystem::path defaultHome() {
    if (const char* home = std::getenv("QUILLMARK_HOME"); home && *home) return home;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return std::filesystem::path(data) / "quillmark";
    const char* user = std::getenv("HOME");
    return std::filesystem::path(user && *user ? user : ".") / ".local" / "share" / "quillmark";
}

namespace {

Context* g_installed = nullptr;
std::mutex g_defaultMutex;
std::unique_ptr<Context> g_default;

}  // namespace

Context& context() {
    if (g_installed) return *g_installed;
    std::lock_guard lock(g_defaultMutex);
    if (!g_default) g_default = std::make_unique<Context>(defaultHome(), ui::makeConsoleUserInterface());
    return *g_default;
}

void install(Context* context) { g_installed = context; }

ScopedContext::ScopedContext(Context& context) : previous_(g_installed) { g_installed = &context; }

ScopedContext::~ScopedContext() { g_installed = previous_; }

}  // namespace platform
