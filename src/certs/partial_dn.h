// How a page names a certificate by text.
//
// A page never hands over a certificate: it passes a partial-DN list, up to
// five pieces of text joined by the object's separator (dnSplitter, "|" by
// default), and a certificate is named when one piece occurs in its subject
// name string ("C=CN, O=Bank, OU=Branch, CN=Test User": the names in encoded
// order, "KEY=value" joined by a comma and one space). Pages write commas
// with or without the space, so every DN text a page gives is comma-spaced
// (normalizeDnText) before it is compared; the certificate's side never is.
//
// All texts are ANSI bytes. Everything here is pure text handling: the
// searches over the certificate stores build on it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

enum DnListCheck {
    DN_LIST_OK = 0,
    DN_LIST_NO_SEPARATOR = 1,    // the separator is null or empty
    DN_LIST_TOO_MANY_PARTS = 2,  // more than MAX_PARTIAL_DNS pieces
};

constexpr size_t MAX_PARTIAL_DNS = 5;

// What the members that check a list show or report (UTF-8). The message
// box style shows text and caption; the token signer fails with the text.
inline constexpr std::string_view MSG_DN_NO_SEPARATOR = "未设置DN分隔符";
inline constexpr std::string_view CAPTION_DN_NO_SEPARATOR = "设置分隔符";
inline constexpr std::string_view MSG_DN_TOO_MANY_PARTS = "部分DN最多为5个";
inline constexpr std::string_view CAPTION_DN_TOO_MANY_PARTS = "DN设置失败";
inline constexpr std::string_view MSG_DN_SEPARATOR_WRONG = "设置DN分隔符错误";

// Checks a non-empty list before a search. The separators are counted in
// the list as written, before comma spacing; occurrences do not overlap.
// A null separator (the object's may be) is the same as an empty one.
DnListCheck checkPartialDnList(std::string_view list, const std::optional<std::string>& separator);

// The comma-spaced copy of a DN text: every comma is followed by exactly one
// inserted or kept space, except that a character right after a comma is
// taken as it stands:
//   "O=Bank,OU=Branch"   -> "O=Bank, OU=Branch"
//   "O=Bank, OU=Branch"  -> unchanged
//   "O=Bank,  OU=Branch" -> unchanged (the second space stays)
//   "a,,b"               -> "a, ,b"  (the second comma gets no space)
//   "a,"                 -> "a, "
std::string normalizeDnText(std::string_view text);

// The partial DNs of a list, in order: the comma-spaced list cut at every
// occurrence of the separator. Empty pieces are kept (a list ending with the
// separator names every certificate) and nothing is trimmed, so there is
// always one piece more than occurrences. An empty separator cuts nothing.
//
// The limit of five is checkPartialDnList's business, on the text as written;
// comma spacing can add occurrences of a separator that holds ", ", so the
// pieces may outnumber five here.
std::vector<std::string> splitPartialDns(std::string_view list, std::string_view separator);

// Which marker a key value came from. WholeText: the text holds none of
// them, and the whole text stands in for the key value.
enum class DnKeySource { CommonName, OrganizationalUnit, Organization, WholeText };

struct DnKey {
    std::string value;
    DnKeySource source = DnKeySource::WholeText;

    // A text with a marker is compared strictly, whole and comma-spaced,
    // once the key value has found candidates; one without is matched loosely.
    bool hasMarker() const { return source != DnKeySource::WholeText; }
};

// The value of the first "CN=" anywhere in the text, else of the first
// "OU=", else of the first "O=", up to the next comma or the end; the whole
// text when there is none. Markers are found by their characters alone,
// case-sensitively, wherever they stand ("INFO=x" holds "O=").
DnKey dnKeyValue(std::string_view text);

// True when at least one partial DN occurs, byte for byte, in the subject
// name string. An empty partial DN occurs in every name. An empty subject is
// a certificate without a name string, which no list names.
bool matchesPartialDns(std::string_view subject, std::span<const std::string> partialDns);

// True when the comma-spaced issuer text is exactly the issuer name string.
bool issuerTextEquals(std::string_view issuerNameString, std::string_view issuerText);

}  // namespace qm
