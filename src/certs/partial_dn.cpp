#include "certs/partial_dn.h"

#include <cstdint>

#include "platform/codepage/codepage.h"

namespace qm {

namespace {

// Bytes that open a two-byte character in the double-byte ANSI code pages.
bool isLeadByte(uint32_t codePage, unsigned char c) {
    switch (codePage) {
    case 932: return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:
    case 949:
    case 950: return c >= 0x81 && c <= 0xFE;
    default: return false;
    }
}

// Where `what` next occurs in `text` at or after `from`, looking only at the
// starts of characters; npos when it does not.
//
// A plain byte search would find "|" inside Chinese names: 0x7C is the second
// byte of more than a hundred GBK characters (瑋 is AC 7C, 東 is 96 7C), so
// "CN=陳瑋" would fall apart into "CN=陳\xAC" and an empty piece that names
// every certificate. The list is text, and its separator a text of whole
// characters, so a character is never cut. Comma and space are never a
// second byte, which is why comma spacing can go byte by byte.
size_t findText(std::string_view text, std::string_view what, size_t from) {
    if (what.empty() || what.size() > text.size()) return std::string_view::npos;
    const uint32_t codePage = codepage::ansiCodePage();
    const size_t last = text.size() - what.size();
    size_t i = from;
    while (i <= last) {
        if (text.compare(i, what.size(), what) == 0) return i;
        i += isLeadByte(codePage, static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
    }
    return std::string_view::npos;
}

// The value after a marker found at `at`: up to the next comma or the end.
std::string valueAfter(std::string_view text, size_t at, std::string_view marker) {
    const std::string_view rest = text.substr(at + marker.size());
    return std::string(rest.substr(0, rest.find(',')));
}

}  // namespace

DnListCheck checkPartialDnList(std::string_view list, const std::optional<std::string>& separator) {
    if (!separator || separator->empty()) return DN_LIST_NO_SEPARATOR;
    size_t occurrences = 0;
    for (size_t at = findText(list, *separator, 0); at != std::string_view::npos;
         at = findText(list, *separator, at + separator->size())) {
        if (++occurrences >= MAX_PARTIAL_DNS) return DN_LIST_TOO_MANY_PARTS;
    }
    return DN_LIST_OK;
}

std::string normalizeDnText(std::string_view text) {
    // The copy grows as it needs to. A fixed room of the text plus 512 bytes
    // would hold at most 512 inserted spaces; a text with more commas that
    // are not followed by a space simply gets a longer copy here, and no
    // text can make it write past its end.
    std::string spaced;
    spaced.reserve(text.size() + text.size() / 8 + 16);
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i++];
        spaced += c;
        if (c != ',') continue;
        spaced += ' ';
        // A comma at the end gets its space, and there is nothing after it
        // to look at.
        if (i == text.size()) break;
        // The character after a comma is taken as it stands: a space is the
        // one just written; anything else, a second comma too, is copied
        // without a look.
        if (text[i] != ' ') spaced += text[i];
        ++i;
    }
    return spaced;
}

std::vector<std::string> splitPartialDns(std::string_view list, std::string_view separator) {
    const std::string spaced = normalizeDnText(list);
    const std::string_view text = spaced;
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t at = findText(text, separator, 0); at != std::string_view::npos;
         at = findText(text, separator, start)) {
        pieces.emplace_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    pieces.emplace_back(text.substr(start));
    return pieces;
}

DnKey dnKeyValue(std::string_view text) {
    struct Marker {
        std::string_view text;
        DnKeySource source;
    };
    static constexpr Marker markers[] = {
        {"CN=", DnKeySource::CommonName},
        {"OU=", DnKeySource::OrganizationalUnit},
        {"O=", DnKeySource::Organization},
    };
    for (const Marker& marker : markers) {
        const size_t at = findText(text, marker.text, 0);
        if (at != std::string_view::npos) return {valueAfter(text, at, marker.text), marker.source};
    }
    return {std::string(text), DnKeySource::WholeText};
}

bool matchesPartialDns(std::string_view subject, std::span<const std::string> partialDns) {
    if (subject.empty()) return false;
    for (const std::string& partial : partialDns) {
        if (subject.find(partial) != std::string_view::npos) return true;
    }
    return false;
}

bool issuerTextEquals(std::string_view issuerNameString, std::string_view issuerText) {
    return normalizeDnText(issuerText) == issuerNameString;
}

}  // namespace qm
