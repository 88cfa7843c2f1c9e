#include "platform/codepage/codepage.h"

#include <iconv.h>

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// How conversions work
// --------------------
// Every code page other than UTF-8 is a single- or double-byte table, as it
// is on Windows. The table is built once per process from glibc's iconv
// (one probe per byte and per lead/trail pair), corrected where Windows
// differs, and from then on a conversion is plain table lookups: no iconv
// handle is shared between threads, a 100 MB text costs no iconv calls at
// all, and the rules for broken input below hold for every page alike.
//
// UTF-16 to bytes: each UTF-16 unit is looked up on its own, as Windows
// does, so what the page cannot hold becomes '?' - an unpaired surrogate
// gives one '?', a character outside the BMP two. Only mappings that come
// back unchanged are used; Windows' "best fit" substitutes are not.
//
// Bytes to UTF-16 (what MultiByteToWideChar does with flags 0 on Windows
// Vista and later, as observed there for 936):
//   - a lead byte followed by a byte that does not complete a pair becomes
//     the page's default character ('?'; U+30FB for 932), and the following
//     byte is converted on its own, so an ASCII byte or a NUL after a stray
//     lead byte is never swallowed;
//   - a lead byte at the very end becomes the default character;
//   - a single byte the page leaves undefined becomes the default character.
//
// UTF-8 is converted here without iconv: invalid input becomes U+FFFD once
// per maximal subpart (Unicode's recommended practice, which Windows also
// follows), and an unpaired surrogate becomes '?'.
//
// A code page that iconv does not know as CP<n>, or that is not a byte
// table (a stateful page with shift sequences), is treated as ASCII: bytes
// 0x00-0x7F convert as themselves, everything else becomes '?'.
//
// Code page 936
// -------------
// The reference is Windows' own table for 936: the vendor's published
// mapping (CP936.TXT) extended by the best-fit file's MBTABLE, which adds
// 0x80, 0xFF and the private use area. glibc's CP936 was compared with it
// code by code (ICU's windows-936-2000 and Java's x-mswin-936 served as
// machine-readable copies and agree with each other on every pair; the
// vendor's rows A1 to A4 and A8 to AC were checked by hand):
//   - glibc leaves 2149 double-byte codes undefined that Windows maps into
//     the private use area; they are the three user-defined blocks and 27
//     runs of unassigned GBK codes, numbered consecutively from U+E000
//     (kPrivateUse936 below);
//   - glibc leaves 0xFF undefined; Windows maps it to U+F8F5;
//   - 0x80 (U+20AC) and A1A4, A1AA, A844, A95C agree in current glibc but
//     are pinned, because GB2312-derived tables give U+30FB and U+2015 for
//     A1A4 and A1AA and do not know the others.
// No two codes map to the same character, so the UTF-16 to bytes direction
// is the exact inverse. The test suite holds a digest of the whole table.

namespace codepage {
namespace {

// No table maps anything to U+FFFF, so it marks "no character" while
// tables are built.
constexpr char16_t kNoChar = 0xFFFF;
constexpr char kDefaultByte = '?';

struct Table {
    bool asciiCompatible = false;
    char16_t defaultWide = u'?';
    // The character of each single byte; lead bytes and undefined bytes
    // hold defaultWide once the table is finished.
    std::array<char16_t, 256> single{};
    std::array<bool, 256> lead{};
    // [lead << 8 | trail] for double-byte pages, kNoChar for pairs that
    // are not a character; empty for single-byte pages.
    std::vector<char16_t> pairs;
    // [UTF-16 unit]: 0x100 | byte for a single byte, the double-byte code
    // (lead byte 0x80 or above) for a pair, 0 when the page cannot hold it.
    std::vector<uint16_t> encode;
};

// --- Windows' corrections --------------------------------------------------

struct ByteOverride {
    uint8_t byte;
    char16_t unit;
};

struct PairOverride {
    uint16_t code;
    char16_t unit;
};

// Consecutive codes, lead byte by lead byte and trail byte by trail byte
// (skipping 0x7F, never a trail byte), mapped to consecutive characters.
struct PrivateUseBlock {
    uint8_t leadFirst, leadLast, trailFirst, trailLast;
    char16_t firstUnit;
};

constexpr ByteOverride kBytes936[] = {{0x80, 0x20AC}, {0xFF, 0xF8F5}};

constexpr PairOverride kPairs936[] = {{0xA1A4, 0x00B7}, {0xA1AA, 0x2014}, {0xA844, 0x2015}, {0xA95C, 0x2010}};

constexpr PrivateUseBlock kPrivateUse936[] = {
    // The user-defined areas.
    {0xAA, 0xAF, 0xA1, 0xFE, 0xE000},
    {0xF8, 0xFE, 0xA1, 0xFE, 0xE234},
    {0xA1, 0xA7, 0x40, 0xA0, 0xE4C6},
    // Codes GBK leaves unassigned, continuing at U+E766.
    {0xA2, 0xA2, 0xAB, 0xB0, 0xE766},
    {0xA2, 0xA2, 0xE3, 0xE4, 0xE76C},
    {0xA2, 0xA2, 0xEF, 0xF0, 0xE76E},
    {0xA2, 0xA2, 0xFD, 0xFE, 0xE770},
    {0xA4, 0xA4, 0xF4, 0xFE, 0xE772},
    {0xA5, 0xA5, 0xF7, 0xFE, 0xE77D},
    {0xA6, 0xA6, 0xB9, 0xC0, 0xE785},
    {0xA6, 0xA6, 0xD9, 0xDF, 0xE78D},
    {0xA6, 0xA6, 0xEC, 0xED, 0xE794},
    {0xA6, 0xA6, 0xF3, 0xF3, 0xE796},
    {0xA6, 0xA6, 0xF6, 0xFE, 0xE797},
    {0xA7, 0xA7, 0xC2, 0xD0, 0xE7A0},
    {0xA7, 0xA7, 0xF2, 0xFE, 0xE7AF},
    {0xA8, 0xA8, 0x96, 0xA0, 0xE7BC},
    {0xA8, 0xA8, 0xBC, 0xBC, 0xE7C7},
    {0xA8, 0xA8, 0xBF, 0xBF, 0xE7C8},
    {0xA8, 0xA8, 0xC1, 0xC4, 0xE7C9},
    {0xA8, 0xA8, 0xEA, 0xFE, 0xE7CD},
    {0xA9, 0xA9, 0x58, 0x58, 0xE7E2},
    {0xA9, 0xA9, 0x5B, 0x5B, 0xE7E3},
    {0xA9, 0xA9, 0x5D, 0x5F, 0xE7E4},
    {0xA9, 0xA9, 0x89, 0x95, 0xE7E7},
    {0xA9, 0xA9, 0x97, 0xA3, 0xE7F4},
    {0xA9, 0xA9, 0xF0, 0xFE, 0xE801},
    {0xD7, 0xD7, 0xFA, 0xFE, 0xE810},
    {0xFE, 0xFE, 0x50, 0x7E, 0xE815},
    {0xFE, 0xFE, 0x80, 0xA0, 0xE844},
};

// Windows 1252 maps its five holes to the C1 controls; glibc refuses them.
constexpr ByteOverride kBytes1252[] = {{0x81, 0x0081}, {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x9D, 0x009D}};

void applyCorrections(uint32_t codePage, Table& table) {
    if (codePage == 936) {
        for (const auto& entry : kBytes936) table.single[entry.byte] = entry.unit;
        for (const auto& entry : kPairs936) table.pairs[entry.code] = entry.unit;
        for (const auto& block : kPrivateUse936) {
            char16_t unit = block.firstUnit;
            for (unsigned lead = block.leadFirst; lead <= block.leadLast; ++lead) {
                for (unsigned trail = block.trailFirst; trail <= block.trailLast; ++trail) {
                    if (trail == 0x7F) continue;
                    table.pairs[lead << 8 | trail] = unit++;
                }
            }
        }
    } else if (codePage == 1252) {
        for (const auto& entry : kBytes1252) table.single[entry.byte] = entry.unit;
    }
}

// --- Building a table from iconv -------------------------------------------

const char* const kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class Iconv {
public:
    Iconv(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(handle_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return handle_; }

private:
    iconv_t handle_;
};

enum class ProbeResult { Char, Incomplete, Invalid, Shift };

struct Probe {
    ProbeResult result;
    char16_t unit = 0;
};

// Decodes one byte or one pair on its own, from the initial state.
Probe probeDecode(const Iconv& decoder, const unsigned char* bytes, size_t length) {
    iconv(decoder.get(), nullptr, nullptr, nullptr, nullptr);
    char input[2];
    std::memcpy(input, bytes, length);
    char* in = input;
    size_t inLeft = length;
    char16_t output[4];
    char* out = reinterpret_cast<char*>(output);
    size_t outLeft = sizeof output;
    if (iconv(decoder.get(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
        return {errno == EINVAL ? ProbeResult::Incomplete : ProbeResult::Invalid};
    }
    // Some decoders hold a character back until they are flushed.
    if (iconv(decoder.get(), nullptr, nullptr, &out, &outLeft) == static_cast<size_t>(-1)) {
        return {ProbeResult::Invalid};
    }
    const size_t units = (sizeof output - outLeft) / sizeof(char16_t);
    if (units == 0) return {ProbeResult::Shift};
    if (units > 1) return {ProbeResult::Invalid};
    return {ProbeResult::Char, output[0]};
}

// The code iconv itself picks for a character that several codes decode to.
uint16_t probeEncode(const Iconv& encoder, char16_t unit) {
    iconv(encoder.get(), nullptr, nullptr, nullptr, nullptr);
    char16_t input = unit;
    char* in = reinterpret_cast<char*>(&input);
    size_t inLeft = sizeof input;
    unsigned char output[8];
    char* out = reinterpret_cast<char*>(output);
    size_t outLeft = sizeof output;
    if (iconv(encoder.get(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) return 0;
    if (iconv(encoder.get(), nullptr, nullptr, &out, &outLeft) == static_cast<size_t>(-1)) return 0;
    const size_t bytes = sizeof output - outLeft;
    if (bytes == 1) return static_cast<uint16_t>(0x100 | output[0]);
    if (bytes == 2) return static_cast<uint16_t>(output[0] << 8 | output[1]);
    return 0;
}

// Fills single, lead and pairs; false when iconv does not know the page or
// the page is not a byte table.
bool decodeWithIconv(const char* name, Table& table) {
    Iconv decoder(kUtf16, name);
    if (!decoder.ok()) return false;
    bool anyLead = false;
    for (unsigned byte = 0; byte < 256; ++byte) {
        const unsigned char bytes[] = {static_cast<unsigned char>(byte)};
        const Probe probe = probeDecode(decoder, bytes, 1);
        switch (probe.result) {
        case ProbeResult::Char:
            table.single[byte] = probe.unit;
            break;
        case ProbeResult::Incomplete:
            // A lead byte among the ASCII bytes means shift sequences, not a table.
            if (byte < 0x80) return false;
            table.lead[byte] = true;
            anyLead = true;
            break;
        case ProbeResult::Invalid:
            break;
        case ProbeResult::Shift:
            return false;
        }
    }
    if (!anyLead) return true;
    table.pairs.assign(0x10000, kNoChar);
    for (unsigned lead = 0x80; lead < 256; ++lead) {
        if (!table.lead[lead]) continue;
        for (unsigned trail = 0; trail < 256; ++trail) {
            const unsigned char bytes[] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(trail)};
            const Probe probe = probeDecode(decoder, bytes, 2);
            if (probe.result == ProbeResult::Char) table.pairs[lead << 8 | trail] = probe.unit;
        }
    }
    return true;
}

// The UTF-16 to bytes direction is the inverse of the bytes to UTF-16 one.
void buildEncode(const char* name, Table& table) {
    table.encode.assign(0x10000, 0);
    std::vector<char16_t> shared;
    auto put = [&](char16_t unit, uint16_t code) {
        if (table.encode[unit] == 0) {
            table.encode[unit] = code;
        } else {
            shared.push_back(unit);
        }
    };
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (table.single[byte] != kNoChar) put(table.single[byte], static_cast<uint16_t>(0x100 | byte));
    }
    for (size_t code = 0; code < table.pairs.size(); ++code) {
        if (table.pairs[code] != kNoChar) put(table.pairs[code], static_cast<uint16_t>(code));
    }
    if (shared.empty() || !name) return;
    // Several codes for one character: take the one iconv writes, as long
    // as it reads back as that character; otherwise keep the lowest code.
    Iconv encoder(name, kUtf16);
    if (!encoder.ok()) return;
    for (char16_t unit : shared) {
        const uint16_t code = probeEncode(encoder, unit);
        const bool readsBack = code >= 0x8000 ? (!table.pairs.empty() && table.pairs[code] == unit)
                                              : (code >= 0x100 && table.single[code & 0xFF] == unit);
        if (readsBack) table.encode[unit] = code;
    }
}

std::unique_ptr<const Table> buildTable(uint32_t codePage) {
    auto table = std::make_unique<Table>();
    table->single.fill(kNoChar);
    if (codePage == 932) table->defaultWide = 0x30FB;

    std::vector<std::string> names{"CP" + std::to_string(codePage)};
    // Older or trimmed gconv installations may lack the CP936 alias; the
    // corrections below bring either relative to Windows' table.
    if (codePage == 936) names.insert(names.end(), {"GBK", "GB18030"});
    const char* source = nullptr;
    for (const auto& name : names) {
        Table candidate = *table;
        if (decodeWithIconv(name.c_str(), candidate)) {
            *table = std::move(candidate);
            source = name.c_str();
            break;
        }
    }
    if (source) {
        applyCorrections(codePage, *table);
    } else {
        for (unsigned byte = 0; byte < 0x80; ++byte) table->single[byte] = static_cast<char16_t>(byte);
    }
    buildEncode(source, *table);

    table->asciiCompatible = true;
    for (unsigned byte = 0; byte < 0x80; ++byte) {
        if (table->single[byte] != byte || table->lead[byte] || table->encode[byte] != (0x100 | byte)) {
            table->asciiCompatible = false;
        }
    }
    for (auto& unit : table->single) {
        if (unit == kNoChar) unit = table->defaultWide;
    }
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (table->lead[byte]) table->single[byte] = table->defaultWide;
    }
    return table;
}

const Table& tableFor(uint32_t codePage) {
    thread_local uint32_t lastCodePage = 0;
    thread_local const Table* last = nullptr;
    if (last && lastCodePage == codePage) return *last;

    // Tables live as long as the process: a conversion may run from any
    // thread at any time, static destructors included.
    static std::mutex mutex;
    static auto* tables = new std::unordered_map<uint32_t, std::unique_ptr<const Table>>();
    std::lock_guard lock(mutex);
    auto& slot = (*tables)[codePage];
    if (!slot) slot = buildTable(codePage);
    lastCodePage = codePage;
    last = slot.get();
    return *last;
}

// --- The ANSI code page ------------------------------------------------------

std::atomic<uint32_t> overriddenAnsi{0};

uint32_t parseCodePage(const char* text) {
    if (!text || !*text) return 0;
    uint32_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > 0xFFFF) return 0;
    }
    return value;
}

uint32_t environmentAnsi() {
    static const uint32_t value = [] {
        const uint32_t named = parseCodePage(std::getenv("QUILLMARK_ANSI_CODEPAGE"));
        return named != 0 ? named : CP_GBK;
    }();
    return value;
}

uint32_t resolve(uint32_t codePage) { return codePage == CP_ACP ? ansiCodePage() : codePage; }

// --- Conversion loops --------------------------------------------------------

uint64_t load8(const void* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

bool isAscii(std::string_view bytes) {
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    for (; end - p >= 8; p += 8) {
        if (load8(p) & 0x8080808080808080u) return false;
    }
    for (; p < end; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80) return false;
    }
    return true;
}

// Output of a bytes-to-UTF-16 conversion: at most one unit per input byte,
// given back when much of it went unused.
void finish(std::u16string& text, size_t used) {
    const size_t reserved = text.size();
    text.resize(used);
    if (reserved > 4096 && used < reserved - reserved / 4) text.shrink_to_fit();
}

std::u16string decodeTable(const Table& table, std::string_view bytes) {
    std::u16string text(bytes.size(), u'\0');
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    char16_t* out = text.data();
    while (p < end) {
        if (table.asciiCompatible && end - p >= 8 && (load8(p) & 0x8080808080808080u) == 0) {
            for (int i = 0; i < 8; ++i) out[i] = p[i];
            p += 8;
            out += 8;
            continue;
        }
        const unsigned char byte = *p;
        if (table.lead[byte] && end - p >= 2) {
            const char16_t unit = table.pairs[static_cast<size_t>(byte) << 8 | p[1]];
            if (unit != kNoChar) {
                *out++ = unit;
                p += 2;
                continue;
            }
        }
        *out++ = table.single[byte];
        ++p;
    }
    finish(text, static_cast<size_t>(out - text.data()));
    return text;
}

std::string encodeTable(const Table& table, std::u16string_view text) {
    // Counted first so that a large text is written once, into its exact size.
    size_t length = 0;
    for (char16_t unit : text) length += table.encode[unit] >= 0x8000 ? 2 : 1;
    std::string bytes(length, '\0');
    char* out = bytes.data();
    const char16_t* p = text.data();
    const char16_t* end = p + text.size();
    while (p < end) {
        if (table.asciiCompatible && end - p >= 4 && (load8(p) & 0xFF80FF80FF80FF80u) == 0) {
            for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(p[i]);
            p += 4;
            out += 4;
            continue;
        }
        const uint16_t code = table.encode[*p++];
        if (code == 0) {
            *out++ = kDefaultByte;
        } else if (code < 0x8000) {
            *out++ = static_cast<char>(code & 0xFF);
        } else {
            *out++ = static_cast<char>(code >> 8);
            *out++ = static_cast<char>(code & 0xFF);
        }
    }
    return bytes;
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

std::u16string decodeUtf8(std::string_view bytes) {
    std::u16string text(bytes.size(), u'\0');
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    char16_t* out = text.data();
    while (p < end) {
        if (end - p >= 8 && (load8(p) & 0x8080808080808080u) == 0) {
            for (int i = 0; i < 8; ++i) out[i] = p[i];
            p += 8;
            out += 8;
            continue;
        }
        const unsigned char lead = p[0];
        if (lead < 0x80) {
            *out++ = lead;
            ++p;
            continue;
        }
        // Length of the sequence and the range its second byte must fall in;
        // the narrowed ranges keep out overlong forms, surrogates and values
        // above U+10FFFF.
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        // The longest prefix that could still start a valid sequence is
        // consumed as one invalid unit.
        size_t valid = 1;
        if (length != 0 && end - p >= 2 && p[1] >= low && p[1] <= high) {
            valid = 2;
            while (valid < length && static_cast<size_t>(end - p) > valid && isContinuation(p[valid])) ++valid;
        }
        if (length == 0 || valid < length) {
            *out++ = 0xFFFD;
            p += valid;
            continue;
        }
        char32_t value = lead & (0xFF >> (length + 1));
        for (size_t i = 1; i < length; ++i) value = value << 6 | (p[i] & 0x3F);
        p += length;
        if (value < 0x10000) {
            *out++ = static_cast<char16_t>(value);
        } else {
            value -= 0x10000;
            *out++ = static_cast<char16_t>(0xD800 + (value >> 10));
            *out++ = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
        }
    }
    finish(text, static_cast<size_t>(out - text.data()));
    return text;
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::string encodeUtf8(std::u16string_view text) {
    const size_t count = text.size();
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        const char16_t unit = text[i];
        if (unit < 0x80) {
            length += 1;
        } else if (unit < 0x800) {
            length += 2;
        } else if (isHighSurrogate(unit) && i + 1 < count && isLowSurrogate(text[i + 1])) {
            length += 4;
            ++i;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            length += 1;
        } else {
            length += 3;
        }
    }
    std::string bytes(length, '\0');
    char* out = bytes.data();
    for (size_t i = 0; i < count; ++i) {
        const char16_t unit = text[i];
        if (unit < 0x80) {
            *out++ = static_cast<char>(unit);
        } else if (unit < 0x800) {
            *out++ = static_cast<char>(0xC0 | unit >> 6);
            *out++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (isHighSurrogate(unit) && i + 1 < count && isLowSurrogate(text[i + 1])) {
            const char32_t value = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[++i] - 0xDC00);
            *out++ = static_cast<char>(0xF0 | value >> 18);
            *out++ = static_cast<char>(0x80 | (value >> 12 & 0x3F));
            *out++ = static_cast<char>(0x80 | (value >> 6 & 0x3F));
            *out++ = static_cast<char>(0x80 | (value & 0x3F));
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            *out++ = kDefaultByte;
        } else {
            *out++ = static_cast<char>(0xE0 | unit >> 12);
            *out++ = static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            *out++ = static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return bytes;
}

}  // namespace

uint32_t ansiCodePage() {
    const uint32_t overridden = overriddenAnsi.load(std::memory_order_relaxed);
    return overridden != 0 ? overridden : environmentAnsi();
}

void setAnsiCodePage(uint32_t codePage) { overriddenAnsi.store(codePage, std::memory_order_relaxed); }

std::string fromWide(std::u16string_view text, uint32_t codePage) {
    codePage = resolve(codePage);
    if (codePage == CP_UTF8) return encodeUtf8(text);
    return encodeTable(tableFor(codePage), text);
}

std::u16string toWide(std::string_view bytes, uint32_t codePage) {
    codePage = resolve(codePage);
    if (codePage == CP_UTF8) return decodeUtf8(bytes);
    return decodeTable(tableFor(codePage), bytes);
}

std::string utf8FromAnsi(std::string_view ansi) {
    const uint32_t codePage = ansiCodePage();
    if (isAscii(ansi) && (codePage == CP_UTF8 || tableFor(codePage).asciiCompatible)) return std::string(ansi);
    return encodeUtf8(toWide(ansi, codePage));
}

std::string ansiFromUtf8(std::string_view utf8) {
    const uint32_t codePage = ansiCodePage();
    if (isAscii(utf8) && (codePage == CP_UTF8 || tableFor(codePage).asciiCompatible)) return std::string(utf8);
    return fromWide(decodeUtf8(utf8), codePage);
}

}  // namespace codepage
