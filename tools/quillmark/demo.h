// `quillmark demo`: the bundled example pages, run end to end in a fresh home.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>

namespace host {

struct DemoOptions {
    // Must be empty or absent; without it a new temporary folder is made and kept.
    std::optional<std::filesystem::path> home;
    std::filesystem::path module;
};

// Returns the process exit status: EXIT_FAILED when any page failed.
int runDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

}  // namespace host
