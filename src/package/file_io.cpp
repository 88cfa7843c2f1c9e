#include "package/file_io.h"

#include <filesystem>
#include <utility>

#include "control/state/codes.h"
#include "platform/codepage/codepage.h"
#include "platform/context/context.h"
#include "platform/files/files.h"
#include "platform/ui/ui.h"

namespace qm {

namespace {

// A path is NUL-terminated text wherever it goes; one with a NUL inside
// would open the file named by its first part.
bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool fitsDialog(std::string_view name) { return name.size() < FILE_DIALOG_NAME_ROOM && !holdsNul(name); }

// Whether `path` may be opened for a whole-file read or write. Anything but a
// regular file is refused up front: opening a FIFO would wait for a peer
// that never comes, and a device has no whole contents.
bool isRegularOrAbsent(const std::filesystem::path& path, bool mayBeAbsent) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return mayBeAbsent;
    if (error) return false;
    return status.type() == std::filesystem::file_type::regular;
}

int32_t readNamedFile(std::string_view path, std::string& name, std::string& content) {
    if (holdsNul(path)) return ERR_FILE_READ;
    // The name is what follows the last separator; a bare name, which says
    // nothing about where the file is, is refused.
    const std::optional<std::string_view> after = fileNameOfPath(path);
    if (!after) return ERR_FILE_READ;
    const std::filesystem::path where = platform::context().files().map(path);
    if (!isRegularOrAbsent(where, false)) return ERR_FILE_READ;
    std::string bytes;
    if (files::readWholeFile(where, bytes) != files::ReadResult::Ok) return ERR_FILE_READ;
    if (bytes.empty()) return ERR_FILE_READ;
    name.assign(*after);
    content = std::move(bytes);
    return OK;
}

int32_t writeNamedFile(std::string_view path, std::string_view content) {
    if (holdsNul(path)) return ERR_FILE_READ;
    const std::filesystem::path where = platform::context().files().map(path);
    if (!isRegularOrAbsent(where, true)) return ERR_FILE_READ;
    return files::writeWholeFile(where, content) ? OK : ERR_FILE_READ;
}

}  // namespace

std::optional<std::string_view> fileNameOfPath(std::string_view ansiPath) {
    std::optional<size_t> separator;
    for (size_t i = 0; i < ansiPath.size();) {
        if (files::isSeparator(ansiPath[i])) separator = i;
        // A byte above ASCII and the one after it are one character when the
        // code page reads them as one; the path is opened by the same reading.
        const bool pair = static_cast<unsigned char>(ansiPath[i]) >= 0x80 && i + 1 < ansiPath.size() &&
                          codepage::wideFromAnsi(ansiPath.substr(i, 2)).size() == 1;
        i += pair ? 2 : 1;
    }
    if (!separator) return std::nullopt;
    return ansiPath.substr(*separator + 1);
}

int32_t loadFileContents(std::string_view title, std::string_view filter, std::string& name, std::string& content,
                         const std::optional<std::string>& path) {
    name.clear();
    content.clear();
    int32_t code = ERR_FILE_READ;
    try {
        if (path) {
            code = readNamedFile(*path, name, content);
        } else {
            ui::FileDialogRequest request;
            request.kind = ui::FileDialogKind::Open;
            request.title = title;
            request.filter = filter;
            request.flags = OPEN_DIALOG_FLAGS;
            const ui::FileDialogAnswer answer = platform::context().ui().fileDialog(request);
            if (answer.kind == ui::FileDialogAnswer::Kind::Cancelled) return ERR_FILE_NOT_CHOSEN;
            // A path the dialog's buffer cannot hold is the dialog's own
            // error, not the user's choice.
            if (answer.kind == ui::FileDialogAnswer::Kind::Chosen && fitsDialog(answer.path))
                code = readNamedFile(answer.path, name, content);
        }
    } catch (...) {
        // Memory or the file system: the caller cannot tell causes apart.
        code = ERR_FILE_READ;
    }
    if (code != OK) {
        name.clear();
        content.clear();
    }
    return code;
}

int32_t saveFileContents(std::string_view title, std::string_view filter, std::string_view name,
                         std::string_view content, const std::optional<std::string>& path) {
    try {
        if (path) return writeNamedFile(*path, content);
        if (!fitsDialog(name)) return ERR_FILE_READ;
        ui::FileDialogRequest request;
        request.kind = ui::FileDialogKind::Save;
        request.title = title;
        request.filter = filter;
        request.initialName = name;
        request.flags = SAVE_DIALOG_FLAGS;
        const ui::FileDialogAnswer answer = platform::context().ui().fileDialog(request);
        if (answer.kind != ui::FileDialogAnswer::Kind::Chosen || !fitsDialog(answer.path)) return ERR_FILE_READ;
        return writeNamedFile(answer.path, content);
    } catch (...) {
        return ERR_FILE_READ;
    }
}

}  // namespace qm
