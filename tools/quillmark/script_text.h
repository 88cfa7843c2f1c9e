// Text at the edge of the script engine. Duktape keeps strings as CESU-8:
// every UTF-16 unit on its own, so a character outside the BMP is two
// three-byte surrogate sequences, and a lone surrogate survives. It also
// accepts ordinary four-byte UTF-8 from C. Automation wants UTF-16; the
// terminal and log files want real UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace host {

// Script string (CESU-8 or UTF-8, freely mixed) to UTF-16. Surrogates encoded
// one by one become single units, four-byte sequences become surrogate pairs,
// and bytes that are not valid become U+FFFD, one per byte.
std::u16string utf16FromScript(std::string_view bytes);

// UTF-16 to the engine's own form (CESU-8), so script sees the same units
// that automation handed over, lone surrogates included.
std::string scriptFromUtf16(std::u16string_view text);

// UTF-16 to UTF-8 for output. Pairs are joined; a lone surrogate, which UTF-8
// cannot carry, becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);

inline std::string utf8FromScript(std::string_view bytes) { return utf8FromUtf16(utf16FromScript(bytes)); }
inline std::string scriptFromUtf8(std::string_view bytes) { return scriptFromUtf16(utf16FromScript(bytes)); }

}  // namespace host
