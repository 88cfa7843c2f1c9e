// Base64 in the two text forms the control uses.
//
// Wrapped: lines of at most 64 characters, every line (the last included)
// ended by one line feed; the decoder stops at the first padded group.
// Plain: one line, no line feed; the decoder goes on past padding.
// Both decoders skip every byte outside the alphabet, line feeds included,
// so each reads the other's text. Nothing is kept between calls.
//
// Texts of up to 100 MB come through here, so sizes are computed with checked
// arithmetic: a size that does not fit in size_t throws std::bad_alloc, which
// the members report as the memory code like any other allocation failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace encoding {

// Exact size of the wrapped text for n bytes (1 for n = 0: a lone line feed).
size_t wrappedBase64Size(size_t n);
// Exact size of the plain text for n bytes, 4 * ceil(n / 3).
size_t plainBase64Size(size_t n);

// Throws std::bad_alloc when the text cannot be held in memory.
std::string encodeBase64Wrapped(std::string_view bytes);
// 0 with the decoded bytes, or qm::ERR_BASE64_DECODE (and no bytes) when the
// text ends inside a group, or qm::ERR_NO_MEMORY (and no bytes). A group with
// misplaced padding ends decoding with an empty result, successfully.
// `text` may view `bytes`.
int32_t decodeBase64Wrapped(std::string_view text, std::string& bytes);

// Throws std::bad_alloc when the text cannot be held in memory.
std::string encodeBase64Plain(std::string_view bytes);
// The decoded bytes; empty when the text ends inside a group or yields no
// byte at all (the callers treat both as a failure). Throws std::bad_alloc.
std::string decodeBase64Plain(std::string_view text);

}  // namespace encoding
