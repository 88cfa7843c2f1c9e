// The platform as the control sees it: one home folder and the services that
// live in it. A host installs one context for its process; tests install a
// fresh one per test. Code of the control asks the context and never reads the
// environment or the terminal itself.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/files/files.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point now() const = 0;
};

class SystemClock : public Clock {
public:
    std::chrono::system_clock::time_point now() const override { return std::chrono::system_clock::now(); }
};

class FixedClock : public Clock {
public:
    explicit FixedClock(std::chrono::system_clock::time_point at) : at_(at) {}
    std::chrono::system_clock::time_point now() const override { return at_; }
    void set(std::chrono::system_clock::time_point at) { at_ = at; }

private:
    std::chrono::system_clock::time_point at_;
};

class Context {
public:
    // A context over `home` (created when missing) with the given interface.
    Context(std::filesystem::path home, std::unique_ptr<ui::UserInterface> ui);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    const std::filesystem::path& home() const { return home_; }
    registry::Hive& registry() { return *registry_; }
    ui::UserInterface& ui() { return *ui_; }
    files::FileSystem& files() { return files_; }
    Clock& clock() { return *clock_; }

    void setUserInterface(std::unique_ptr<ui::UserInterface> ui) { ui_ = std::move(ui); }
    void setClock(std::unique_ptr<Clock> clock) { clock_ = std::move(clock); }

private:
    std::filesystem::path home_;
    std::unique_ptr<registry::Hive> registry_;
    std::unique_ptr<ui::UserInterface> ui_;
    files::FileSystem files_;
    std::unique_ptr<Clock> clock_;
};

// The home a process uses when nobody says otherwise: QUILLMARK_HOME, else
// $XDG_DATA_HOME/quillmark, else ~/.local/share/quillmark.
std::filesystem::path defaultHome();

// The installed context; without one, a process default over defaultHome()
// with the console user interface, made on first use.
Context& context();
// Installs a context (not owned); nullptr returns to the process default.
void install(Context* context);

// Installs a context for a scope and restores the previous one.
class ScopedContext {
public:
    explicit ScopedContext(Context& context);
    ~ScopedContext();
    ScopedContext(const ScopedContext&) = delete;
    ScopedContext& operator=(const ScopedContext&) = delete;

private:
    Context* previous_;
};

}  // namespace platform
