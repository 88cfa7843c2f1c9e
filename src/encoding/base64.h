// Base64 in the two text forms the control uses.
//
// Wrapped: lines of at most 64 characters, every line (the last included)
// ended by one line feed; the decoder stops at the first padded group.
// Plain: one line, no line feed; the decoder goes on past padding.
// Both decoders skip every byte outside the alphabet, line feeds included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace encoding {

// Exact size of the wrapped text for n bytes (1 for n = 0: a lone line feed).
size_t wrappedBase64Size(size_t n);
std::string encodeBase64Wrapped(std::string_view bytes);
// 0 with the decoded bytes, or qm::ERR_BASE64_DECODE (and no bytes) when the
// text ends inside a group. A group with misplaced padding ends decoding with
// an empty result, successfully.
int32_t decodeBase64Wrapped(std::string_view text, std::string& bytes);

std::string encodeBase64Plain(std::string_view bytes);
// The decoded bytes; empty when the text ends inside a group or yields no
// byte at all (the callers treat both as a failure).
std::string decodeBase64Plain(std::string_view text);

}  // namespace encoding
