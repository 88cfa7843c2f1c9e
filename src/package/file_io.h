// The one file reader and the one file writer of the members that take a
// whole file from disk or put one there.
//
// Each works on a path, or without one through the open or save dialog; the
// calling member decides whether a dialog may be shown (server mode) and
// passes a path or none. Both report only a code: the member turns it into
// its own message. Paths, names, titles and filters are ANSI bytes.
//
// The out arguments are references: there is never a missing one to report
// (ERR_NO_SOURCE), so the reader has no such answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

// What the callers pass (UTF-8; the dialogs get them in ANSI).
inline constexpr std::string_view FILE_OPEN_TITLE = "选择文件";
inline constexpr std::string_view FILE_SAVE_TITLE = "保存文件";
inline constexpr std::string_view FILE_FILTER_ALL = "*.*";

// OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST
constexpr uint32_t OPEN_DIALOG_FLAGS = 0x1800;
// OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_CREATEPROMPT
constexpr uint32_t SAVE_DIALOG_FLAGS = 0x2802;

// The dialogs hold a file name of at most this many bytes, its NUL included.
constexpr size_t FILE_DIALOG_NAME_ROOM = 1024;

// The part of an ANSI path after its last separator ('\' or '/'); nullopt
// when it has none. Only whole characters are separators: in a double-byte
// code page the second byte of a character may be 0x5C, and the name does
// not end there.
std::optional<std::string_view> fileNameOfPath(std::string_view ansiPath);

// Reads a whole file: `name` gets the part of its path after the last
// separator (fileNameOfPath), `content` its bytes unchanged. Without a path
// the open dialog asks for the file.
//
// 0 on success; ERR_FILE_NOT_CHOSEN (-2) when the user cancelled the dialog;
// ERR_FILE_READ (-1) for every other failure, and then `name` and `content`
// are empty: a path without any separator, a file that cannot be read or is
// not a regular file, an empty file, a chosen path too long for the dialog,
// a dialog error, no memory.
int32_t loadFileContents(std::string_view title, std::string_view filter, std::string& name, std::string& content,
                         const std::optional<std::string>& path);

// Writes a whole file, creating or replacing it. Without a path the save
// dialog, which starts with `name`, asks where.
//
// 0 on success; ERR_FILE_READ (-1) on any failure, a cancelled dialog
// included. A `name` that does not fit the dialog (FILE_DIALOG_NAME_ROOM
// bytes or more) is refused before any dialog is shown: cut short it could
// end inside a double-byte character or name another file than the one
// meant.
int32_t saveFileContents(std::string_view title, std::string_view filter, std::string_view name,
                         std::string_view content, const std::optional<std::string>& path);

}  // namespace qm
