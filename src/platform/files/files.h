// Paths and whole files.
//
// Paths reach us in the ANSI code page, written the way pages write them:
// either separator, and perhaps a drive letter. A path that starts with a
// letter and a colon lands under QUILLMARK_HOME/drives/<letter>/; any other
// path is used as given. File names on disk are UTF-8.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace files {

class FileSystem {
public:
    explicit FileSystem(std::filesystem::path home) : home_(std::move(home)) {}

    const std::filesystem::path& home() const { return home_; }
    std::filesystem::path drivesRoot() const { return home_ / "drives"; }

    // Where an ANSI path lands on this machine.
    std::filesystem::path map(std::string_view ansiPath) const;

private:
    std::filesystem::path home_;
};

inline bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The part after the last separator of either kind; nullopt when the path
// has no separator at all.
std::optional<std::string_view> nameAfterLastSeparator(std::string_view path);

// True when a name taken from a received package may be written inside a
// folder: not empty, no separator, not "." or "..", no NUL.
bool isPlainFileName(std::string_view name);

enum class ReadResult { Ok, NotFound, Failed };

// Reads a whole file. Failed covers everything but a missing file.
ReadResult readWholeFile(const std::filesystem::path& path, std::string& contents);
// Writes a whole file, replacing an existing one. False on any failure.
bool writeWholeFile(const std::filesystem::path& path, std::string_view contents);

}  // namespace files
