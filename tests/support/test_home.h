// Every test runs in a home of its own: a fresh temporary QUILLMARK_HOME with
// a registry, stores and drives, and a scripted user interface that fails the
// test when a request finds no answer.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/context/context.h"
#include "platform/ui/ui.h"

namespace testing_support {

class TestHome {
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    const std::filesystem::path& path() const { return path_; }
    platform::Context& context() { return *context_; }
    ui::ScriptedUserInterface& ui() { return *ui_; }

    // Queues answers, one per line as the host's answers file writes them.
    void answer(std::string_view line) { ui_->push(line); }

private:
    std::filesystem::path path_;
    ui::ScriptedUserInterface* ui_ = nullptr;  // owned by the context
    std::unique_ptr<platform::Context> context_;
    std::unique_ptr<platform::ScopedContext> scope_;
};

// A fixture for tests that need a home.
class HomeTest : public ::testing::Test {
protected:
    TestHome home;
};

// Reads a whole file (for assertions).
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view contents);

}  // namespace testing_support
