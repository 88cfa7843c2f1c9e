// The user interface a page run gets: answers from a file instead of the
// terminal, and a log of every request as one JSON line.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/ui.h"

namespace host {

// Bad input to the host itself (an answers file, a log that cannot be opened).
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One answer per line ("ok", "select 2", "pin 1234", ...); blank lines are
// skipped. A line that is not an answer throws InputError naming
// `origin:LINE`.
std::vector<ui::ScriptedAnswer> parseAnswers(std::string_view text, std::string_view origin);
std::vector<ui::ScriptedAnswer> readAnswers(const std::filesystem::path& file);

// Appends each request to a file as one JSON line, flushed at once so that a
// page that dies still leaves what it asked.
class UiLog {
public:
    explicit UiLog(const std::filesystem::path& file);  // throws InputError
    void write(const ui::RecordedRequest& request);

private:
    std::filesystem::path file_;
    std::ofstream out_;
    bool warned_ = false;
};

// Wraps an interface so that every request it answers is also recorded, in
// the same form the scripted interface records its own. A secret the user
// typed is not written down.
std::unique_ptr<ui::UserInterface> makeRecordingUserInterface(
    std::unique_ptr<ui::UserInterface> inner, std::function<void(const ui::RecordedRequest&)> record);

}  // namespace host
