#include "encoding/base64.h"

#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "control/state/codes.h"

namespace encoding {
namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char PAD = '=';
constexpr size_t LINE_CHARS = 64;
constexpr size_t LINE_BYTES = LINE_CHARS / 4 * 3;

// Two output characters for every 12-bit value: one lookup per half group
// instead of one per character.
using CharPair = std::array<char, 2>;
constexpr std::array<CharPair, 4096> PAIRS = [] {
    std::array<CharPair, 4096> pairs{};
    for (size_t v = 0; v < pairs.size(); ++v) pairs[v] = {ALPHABET[v >> 6], ALPHABET[v & 63]};
    return pairs;
}();

// Value of each byte: 0-63 for the alphabet, PAD_VALUE for '=', SKIP for
// everything else. Bytes outside the alphabet (line feeds, carriage returns,
// spaces, NUL, anything) are not part of the text and are never an error.
constexpr uint8_t PAD_VALUE = 64;
constexpr uint8_t SKIP = 0xFF;
constexpr std::array<uint8_t, 256> VALUES = [] {
    std::array<uint8_t, 256> values{};
    values.fill(SKIP);
    for (uint8_t v = 0; v < 64; ++v) values[static_cast<unsigned char>(ALPHABET[v])] = v;
    values[static_cast<unsigned char>(PAD)] = PAD_VALUE;
    return values;
}();

// The same values already shifted into place for each position of a group, so
// that a whole group is checked and assembled with three ORs. Anything that is
// not an alphabet character sets BAD and sends the group to the careful path.
constexpr uint32_t BAD = 1u << 24;
constexpr std::array<uint32_t, 256> shiftedValues(unsigned shift) {
    std::array<uint32_t, 256> table{};
    for (size_t c = 0; c < 256; ++c) table[c] = VALUES[c] < 64 ? uint32_t{VALUES[c]} << shift : BAD;
    return table;
}
constexpr std::array<uint32_t, 256> D0 = shiftedValues(18);
constexpr std::array<uint32_t, 256> D1 = shiftedValues(12);
constexpr std::array<uint32_t, 256> D2 = shiftedValues(6);
constexpr std::array<uint32_t, 256> D3 = shiftedValues(0);

[[noreturn]] void tooLarge() { throw std::bad_alloc(); }

inline void putGroup(const unsigned char* src, char* dst) {
    const uint32_t v = uint32_t{src[0]} << 16 | uint32_t{src[1]} << 8 | uint32_t{src[2]};
    std::memcpy(dst, PAIRS[v >> 12].data(), 2);
    std::memcpy(dst + 2, PAIRS[v & 0xFFF].data(), 2);
}

// Two groups per step: the six byte loads merge into one and the loop turns
// half as often.
inline void putTwoGroups(const unsigned char* src, char* dst) {
    const uint64_t v = uint64_t{src[0]} << 40 | uint64_t{src[1]} << 32 | uint64_t{src[2]} << 24 |
                       uint64_t{src[3]} << 16 | uint64_t{src[4]} << 8 | uint64_t{src[5]};
    std::memcpy(dst, PAIRS[v >> 36].data(), 2);
    std::memcpy(dst + 2, PAIRS[(v >> 24) & 0xFFF].data(), 2);
    std::memcpy(dst + 4, PAIRS[(v >> 12) & 0xFFF].data(), 2);
    std::memcpy(dst + 6, PAIRS[v & 0xFFF].data(), 2);
}

// Encodes the whole groups in [src, groupsEnd).
inline char* encodeGroups(const unsigned char* src, const unsigned char* groupsEnd, char* dst) {
    for (; groupsEnd - src >= 6; src += 6, dst += 8) putTwoGroups(src, dst);
    if (src != groupsEnd) {
        putGroup(src, dst);
        dst += 4;
    }
    return dst;
}

// Encodes n bytes as one line with padding; returns the end of what it wrote.
inline char* encodeLine(const unsigned char* src, size_t n, char* dst) {
    dst = encodeGroups(src, src + n / 3 * 3, dst);
    src += n / 3 * 3;
    switch (n % 3) {
    case 1:
        *dst++ = ALPHABET[src[0] >> 2];
        *dst++ = ALPHABET[(src[0] & 0x03) << 4];
        *dst++ = PAD;
        *dst++ = PAD;
        break;
    case 2:
        *dst++ = ALPHABET[src[0] >> 2];
        *dst++ = ALPHABET[(src[0] & 0x03) << 4 | src[1] >> 4];
        *dst++ = ALPHABET[(src[1] & 0x0F) << 2];
        *dst++ = PAD;
        break;
    default:
        break;
    }
    return dst;
}

enum class DecodeEnd {
    Complete,   // the text is used up, or a correctly padded group ended it
    Discarded,  // misplaced padding made the result empty (still a success)
    Unfinished  // the text ends inside a group
};

struct Decoded {
    DecodeEnd end;
    size_t size;
};

// The wrapped family stops at the first padded group; the plain family
// decodes every well-formed group it finds, padded or not, and drops the
// malformed ones. `out` holds at least text length / 4 * 3 bytes: every group
// takes four bytes of text and gives at most three.
template <bool stopAtPadding>
Decoded decodeInto(std::string_view text, char* out) {
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    const auto end = p + text.size();
    char* dst = out;
    uint8_t group[4];
    size_t held = 0;
    for (;;) {
        if (held == 0) {
            // Well-formed text is almost all whole groups of alphabet
            // characters; only line ends, padding and stray bytes leave here.
            while (end - p >= 4) {
                const uint32_t v = D0[p[0]] | D1[p[1]] | D2[p[2]] | D3[p[3]];
                if (v & BAD) break;
                dst[0] = static_cast<char>(v >> 16);
                dst[1] = static_cast<char>(v >> 8);
                dst[2] = static_cast<char>(v);
                dst += 3;
                p += 4;
            }
        }
        if (p == end) break;
        const uint8_t value = VALUES[*p++];
        if (value == SKIP) continue;
        group[held++] = value;
        if (held < 4) continue;
        held = 0;

        const bool padded = (group[0] | group[1] | group[2] | group[3]) >= PAD_VALUE;
        if (!padded) {
            *dst++ = static_cast<char>(group[0] << 2 | group[1] >> 4);
            *dst++ = static_cast<char>(group[1] << 4 | group[2] >> 2);
            *dst++ = static_cast<char>(group[2] << 6 | group[3]);
            continue;
        }
        const bool misplaced = group[0] == PAD_VALUE || group[1] == PAD_VALUE ||
                               (group[2] == PAD_VALUE && group[3] != PAD_VALUE);
        if (misplaced) {
            if constexpr (stopAtPadding) return {DecodeEnd::Discarded, 0};
            continue;
        }
        *dst++ = static_cast<char>(group[0] << 2 | group[1] >> 4);
        if (group[2] != PAD_VALUE) *dst++ = static_cast<char>(group[1] << 4 | group[2] >> 2);
        if constexpr (stopAtPadding) return {DecodeEnd::Complete, static_cast<size_t>(dst - out)};
    }
    if (held != 0) return {DecodeEnd::Unfinished, 0};
    return {DecodeEnd::Complete, static_cast<size_t>(dst - out)};
}

template <bool stopAtPadding>
Decoded decodeToString(std::string_view text, std::string& out) {
    // Decode into a buffer of our own: `text` may view the caller's string.
    out.resize(text.size() / 4 * 3);
    const Decoded decoded = decodeInto<stopAtPadding>(text, out.data());
    out.resize(decoded.end == DecodeEnd::Complete ? decoded.size : 0);
    // Text that is mostly skipped bytes would otherwise leave most of a large
    // buffer idle for as long as the caller keeps the result.
    if (out.size() < out.capacity() / 2) out.shrink_to_fit();
    return decoded;
}

}  // namespace

size_t plainBase64Size(size_t n) {
    const size_t groups = n / 3 + (n % 3 != 0);
    if (groups > std::numeric_limits<size_t>::max() / 4) tooLarge();
    return groups * 4;
}

size_t wrappedBase64Size(size_t n) {
    if (n == 0) return 1;
    const size_t chars = plainBase64Size(n);
    const size_t lines = chars / LINE_CHARS + (chars % LINE_CHARS != 0);
    if (chars > std::numeric_limits<size_t>::max() - lines) tooLarge();
    return chars + lines;
}

std::string encodeBase64Wrapped(std::string_view bytes) {
    std::string text(wrappedBase64Size(bytes.size()), '\0');
    auto src = reinterpret_cast<const unsigned char*>(bytes.data());
    char* dst = text.data();
    size_t left = bytes.size();
    for (; left >= LINE_BYTES; left -= LINE_BYTES, src += LINE_BYTES) {
        dst = encodeGroups(src, src + LINE_BYTES, dst);
        *dst++ = '\n';
    }
    // The last line, short or (for no input at all) empty, still ends with a
    // line feed; a full last line already got its own above.
    if (left != 0 || bytes.empty()) {
        dst = encodeLine(src, left, dst);
        *dst++ = '\n';
    }
    return text;
}

std::string encodeBase64Plain(std::string_view bytes) {
    std::string text(plainBase64Size(bytes.size()), '\0');
    encodeLine(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), text.data());
    return text;
}

int32_t decodeBase64Wrapped(std::string_view text, std::string& bytes) {
    try {
        std::string decoded;
        switch (decodeToString<true>(text, decoded).end) {
        case DecodeEnd::Complete:
        case DecodeEnd::Discarded:
            bytes = std::move(decoded);
            return qm::OK;
        case DecodeEnd::Unfinished:
            break;
        }
        bytes.clear();
        return qm::ERR_BASE64_DECODE;
    } catch (const std::bad_alloc&) {
        bytes.clear();
        return qm::ERR_NO_MEMORY;
    }
}

std::string decodeBase64Plain(std::string_view text) {
    std::string decoded;
    decodeToString<false>(text, decoded);
    return decoded;
}

}  // namespace encoding
