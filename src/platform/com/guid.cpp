#include <cstdio>

#include "platform/com/com.h"

std::string guidToString(const GUID& g) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::u16string guidToWide(const GUID& guid) {
    const std::string narrow = guidToString(guid);
    return std::u16string(narrow.begin(), narrow.end());
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `pos`; false when any is not a digit.
bool readHex(std::string_view text, size_t pos, size_t digits, uint32_t& value) {
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int v = hexValue(text[pos + i]);
        if (v < 0) return false;
        value = (value << 4) | static_cast<uint32_t>(v);
    }
    return true;
}

}  // namespace

std::optional<GUID> guidFromString(std::string_view text) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-') {
        return std::nullopt;
    }
    GUID g;
    uint32_t v = 0;
    if (!readHex(text, 1, 8, v)) return std::nullopt;
    g.Data1 = v;
    if (!readHex(text, 10, 4, v)) return std::nullopt;
    g.Data2 = static_cast<uint16_t>(v);
    if (!readHex(text, 15, 4, v)) return std::nullopt;
    g.Data3 = static_cast<uint16_t>(v);
    const size_t positions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        if (!readHex(text, positions[i], 2, v)) return std::nullopt;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    return g;
}
