// A small DER writer driven by a template of one-character directives, in
// the manner of a formatted print. Token signing wraps its raw signature
// into a SignedData with it.
//
// Each directive writes one element (definite, minimal lengths), or opens or
// closes a constructed element whose length is filled in when it closes.
// An opened element keeps a gap in front of its content for the identifier
// and length octets; closing writes them there and moves the content down
// once, so lengths are never computed ahead.
//
//   directive  writes                        default tag  arguments
//   b          BOOLEAN (FF for non-zero)     1            int32_t
//   i e        INTEGER, ENUMERATED           2, 10        int32_t
//   I          INTEGER from hex digits       2            text, int32_t length of the text
//   B          BIT STRING                    3            bytes, int32_t number of bits
//   o          OCTET STRING                  4            bytes
//   n          NULL                          5            -
//   O          OBJECT IDENTIFIER             6            arcs (2 to 50 of them)
//   P M 6 a    Printable, T61, T61, IA5      19 20 20 22  bytes
//   U m        UniversalString, BMPString    28 30        bytes
//   u g        UTCTime, GeneralizedTime      23 24        text
//   A          the bytes as they are         -            bytes
//   { [ (      open a constructed element    16 17 arg    ( takes int32_t tag number
//   } ]        close it, universal           -            -
//   )          close it, context-specific    -            -
//   t          tag number of the next element             int32_t
//   T          tag number and class bits of the next one  int32_t, int32_t (low byte)
//
// A 't' or 'T' holds for exactly the next directive. Every directive takes
// its arguments from the list in order; "bytes" and "text" arguments carry
// their own length, so nothing is ever read past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace qm {

constexpr int32_t DER_GROWTH = 8192;
// The hex INTEGER directive holds at most this many content bytes.
constexpr size_t DER_MAX_HEX_INTEGER_BYTES = 128;
constexpr size_t DER_MIN_ARCS = 2;
constexpr size_t DER_MAX_ARCS = 50;

// A constructed element opened and not yet closed.
struct OpenElement {
    int32_t tagNumber = 0;
    uint8_t classBits = 0;
    size_t contentStart = 0;
    size_t contentEnd = 0;  // where the next byte inside it goes
};

struct DerEncoder {
    uint32_t tagPending = 0;  // 1 right after 't' or 'T'
    int32_t tagNumber = -1;   // for the next element; -1: the directive's default
    std::vector<uint8_t> buffer;  // its size is the capacity
    int32_t length = 0;       // bytes written at the top level
    int32_t capacity = 0;
    std::vector<OpenElement> openElements;  // outermost first
};

// One argument of a template: a number, bytes (or text), or arcs.
using DerArg = std::variant<int32_t, std::string_view, std::span<const int32_t>>;

// A new encoder with an 8192-byte buffer; nullptr when memory is short.
std::unique_ptr<DerEncoder> newDerEncoder();

// Runs every directive of `templateText` with the arguments in order.
// Answers the number of bytes written (for a template whose openings and
// closings balance, the encoder's length), or -1 at the first directive
// that fails: an unknown character (a blank too), a negative tag number,
// '(' with -1, a closing with nothing open, a malformed hex string or
// object identifier, a bit count that is negative or exceeds its bytes,
// an element too large for 32-bit lengths, no memory, or an argument that
// is missing or of the wrong kind. Arguments left over when the template
// ends are an error as well: the template and its list disagree. After a
// failure the buffer must not be used.
int32_t encodeTemplate(DerEncoder& encoder, std::string_view templateText, std::span<const DerArg> args);
inline int32_t encodeTemplate(DerEncoder& encoder, std::string_view templateText,
                              std::initializer_list<DerArg> args = {}) {
    return encodeTemplate(encoder, templateText, std::span<const DerArg>(args.begin(), args.size()));
}

// The finished DER: the first `length` bytes of the buffer.
inline std::string_view encodedBytes(const DerEncoder& encoder) {
    return {reinterpret_cast<const char*>(encoder.buffer.data()), static_cast<size_t>(encoder.length)};
}

// Releases the encoder, its open elements and its buffer; nullptr is ignored.
void freeDerEncoder(std::unique_ptr<DerEncoder> encoder);

}  // namespace qm
