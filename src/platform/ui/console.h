// The console back end over streams the caller provides, so that it can be
// driven without a real terminal.
#pragma once

#include <cstdio>
#include <memory>

#include "platform/ui/ui.h"

namespace ui {

struct ConsoleStreams {
    // The terminal: requests are shown on `output` and answered from `input`.
    // With `input` null there is no terminal and every request gets its safe
    // default, reported on `diagnostics`. None of them is owned.
    std::FILE* input = nullptr;
    std::FILE* output = nullptr;
    std::FILE* diagnostics = stderr;
};

std::unique_ptr<UserInterface> makeConsoleUserInterface(const ConsoleStreams& streams);

}  // namespace ui
