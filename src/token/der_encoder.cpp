#include "token/der_encoder.h"

#include <array>
#include <cstring>
#include <limits>
#include <new>

namespace qm {

namespace {

constexpr size_t MAX_SIZE = static_cast<size_t>(std::numeric_limits<int32_t>::max());
// Identifier (at most 6 octets for a 31-bit tag number) and length (at
// most 5) of one element.
constexpr size_t MAX_HEADER = 11;
// What an opening keeps free in front of its content beyond the
// identifier: the longest length form is 5 octets.
constexpr size_t GAP_BEYOND_IDENTIFIER = 6;

constexpr uint8_t CLOSE_UNIVERSAL = 0x20;
constexpr uint8_t CLOSE_CONTEXT = 0xA0;

using Header = std::array<uint8_t, MAX_HEADER>;

// Thrown by a directive that fails; encodeTemplate turns it into -1.
struct DirectiveFailed {};

[[noreturn]] void failDirective() { throw DirectiveFailed{}; }

size_t base128Size(uint32_t value) {
    size_t size = 1;
    while (value >>= 7) ++size;
    return size;
}

// Appends `value` in base 128, most significant group first, every octet but
// the last with bit 0x80 set.
template <class Out>
void putBase128(uint32_t value, Out&& out) {
    const size_t groups = base128Size(value);
    for (size_t i = groups; i-- > 0;) {
        const auto group = static_cast<uint8_t>((value >> (7 * i)) & 0x7F);
        out(static_cast<uint8_t>(i > 0 ? group | 0x80 : group));
    }
}

size_t identifierSize(int32_t tagNumber) {
    if (tagNumber < 0) failDirective();
    return tagNumber <= 30 ? 1 : 1 + base128Size(static_cast<uint32_t>(tagNumber));
}

// putTag and putLength: the identifier and length octets into `header` from
// `at`; the new end.
size_t putTag(Header& header, size_t at, uint8_t classBits, int32_t tagNumber) {
    if (tagNumber < 0) failDirective();
    if (tagNumber <= 30) {
        header[at++] = static_cast<uint8_t>((classBits & 0xE0) | static_cast<uint8_t>(tagNumber));
        return at;
    }
    header[at++] = static_cast<uint8_t>(classBits | 0x1F);
    putBase128(static_cast<uint32_t>(tagNumber), [&](uint8_t octet) { header[at++] = octet; });
    return at;
}

size_t putLength(Header& header, size_t at, size_t length) {
    if (length > MAX_SIZE) failDirective();
    if (length <= 127) {
        header[at++] = static_cast<uint8_t>(length);
        return at;
    }
    size_t octets = 1;
    while (octets < 4 && (length >> (8 * octets)) != 0) ++octets;
    header[at++] = static_cast<uint8_t>(0x80 + octets);
    for (size_t i = octets; i-- > 0;) header[at++] = static_cast<uint8_t>(length >> (8 * i));
    return at;
}

size_t writePosition(const DerEncoder& encoder) {
    return encoder.openElements.empty() ? static_cast<size_t>(encoder.length) : encoder.openElements.back().contentEnd;
}

void setWritePosition(DerEncoder& encoder, size_t position) {
    if (encoder.openElements.empty()) {
        encoder.length = static_cast<int32_t>(position);
    } else {
        encoder.openElements.back().contentEnd = position;
    }
}

// Grows the buffer in steps of DER_GROWTH until `needed` bytes fit behind
// `position`; the buffer never exceeds what 32-bit lengths can describe.
void makeRoom(DerEncoder& encoder, size_t position, size_t needed) {
    const auto capacity = static_cast<size_t>(encoder.capacity);
    if (needed > MAX_SIZE || position > MAX_SIZE - needed) failDirective();
    if (position + needed <= capacity) return;
    const size_t missing = position + needed - capacity;
    const size_t steps = (missing + DER_GROWTH - 1) / DER_GROWTH;
    if (steps > (MAX_SIZE - capacity) / DER_GROWTH) failDirective();
    const size_t grown = capacity + steps * DER_GROWTH;
    try {
        encoder.buffer.resize(grown);
    } catch (const std::bad_alloc&) {
        failDirective();
    }
    encoder.capacity = static_cast<int32_t>(grown);
}

void append(DerEncoder& encoder, const uint8_t* bytes, size_t size) {
    const size_t position = writePosition(encoder);
    makeRoom(encoder, position, size);
    if (size > 0) std::memcpy(encoder.buffer.data() + position, bytes, size);
    setWritePosition(encoder, position + size);
}

void append(DerEncoder& encoder, std::string_view bytes) {
    append(encoder, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

class Interpreter {
public:
    Interpreter(DerEncoder& encoder, std::span<const DerArg> args) : encoder_(encoder), args_(args) {}

    // The size the directive adds to the total.
    size_t run(char directive) {
        switch (directive) {
            case 'b': return primitive(1, booleanContent());
            case 'i': return primitive(2, integerContent(takeInt()));
            case 'e': return primitive(10, integerContent(takeInt()));
            case 'I': return primitive(2, hexIntegerContent());
            case 'B': return primitive(3, bitStringContent());
            case 'o': return primitive(4, takeBytes());
            case 'n': return primitive(5, std::string_view());
            case 'O': return primitive(6, objectIdentifierContent());
            case 'P': return primitive(19, takeBytes());
            case 'M':
            case '6': return primitive(20, takeBytes());
            case 'a': return primitive(22, takeBytes());
            case 'u': return primitive(23, takeBytes());
            case 'g': return primitive(24, takeBytes());
            case 'U': return primitive(28, takeBytes());
            case 'm': return primitive(30, takeBytes());
            case 'A': {
                const std::string_view bytes = takeBytes();
                append(encoder_, bytes);
                return bytes.size();
            }
            case '{': return open(16);
            case '[': return open(17);
            case '(': {
                const int32_t tagNumber = takeInt();
                if (tagNumber == -1) failDirective();
                return open(tagNumber);
            }
            case '}':
            case ']': return close(CLOSE_UNIVERSAL);
            case ')': return close(CLOSE_CONTEXT);
            default: failDirective();
        }
    }

    // 't' and 'T' leave the tag pending; every other directive uses it up.
    bool setsTag(char directive) {
        if (directive == 't') {
            pendingTag(takeInt(), 0);
            return true;
        }
        if (directive == 'T') {
            const int32_t tagNumber = takeInt();
            pendingTag(tagNumber, static_cast<uint8_t>(takeInt() & 0xFF));
            return true;
        }
        return false;
    }

    void resetTag() {
        encoder_.tagPending = 0;
        encoder_.tagNumber = -1;
        classBits_ = 0;
    }

    bool allArgumentsUsed() const { return next_ == args_.size(); }

private:
    void pendingTag(int32_t tagNumber, uint8_t classBits) {
        encoder_.tagPending = 1;
        encoder_.tagNumber = tagNumber;
        classBits_ = classBits;
    }

    int32_t tagFor(int32_t defaultTag) const { return encoder_.tagPending ? encoder_.tagNumber : defaultTag; }

    const DerArg& take() {
        if (next_ >= args_.size()) failDirective();
        return args_[next_++];
    }
    int32_t takeInt() {
        const auto* value = std::get_if<int32_t>(&take());
        if (!value) failDirective();
        return *value;
    }
    std::string_view takeBytes() {
        const auto* value = std::get_if<std::string_view>(&take());
        if (!value) failDirective();
        return *value;
    }
    std::span<const int32_t> takeArcs() {
        const auto* value = std::get_if<std::span<const int32_t>>(&take());
        if (!value) failDirective();
        return *value;
    }

    size_t primitive(int32_t defaultTag, std::string_view content) {
        Header header{};
        size_t size = putTag(header, 0, classBits_, tagFor(defaultTag));
        size = putLength(header, size, content.size());
        if (content.size() > MAX_SIZE - size) failDirective();
        // One room check for header and content, so that a failure leaves
        // no half-written element behind the write position.
        makeRoom(encoder_, writePosition(encoder_), size + content.size());
        append(encoder_, header.data(), size);
        append(encoder_, content);
        return size + content.size();
    }

    std::string_view keep(std::string bytes) {
        scratch_ = std::move(bytes);
        return scratch_;
    }

    std::string_view booleanContent() { return keep(std::string(1, takeInt() != 0 ? '\xFF' : '\x00')); }

    // The shortest two's-complement form: leading octets that only repeat
    // the sign go, then one comes back if the top bit now shows the wrong
    // sign.
    std::string_view integerContent(int32_t value) {
        const auto bits = static_cast<uint32_t>(value);
        std::string octets;
        for (int shift = 24; shift >= 0; shift -= 8) octets.push_back(static_cast<char>((bits >> shift) & 0xFF));
        const char sign = value < 0 ? '\xFF' : '\x00';
        size_t drop = 0;
        while (drop + 1 < octets.size() && octets[drop] == sign) ++drop;
        const bool topBit = (static_cast<uint8_t>(octets[drop]) & 0x80) != 0;
        if (drop > 0 && topBit != (value < 0)) --drop;
        return keep(octets.substr(drop));
    }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // The digits as they come, two to an octet, an odd count read as if a 0
    // preceded it. No digits at all would make an INTEGER without content,
    // which no decoder accepts: that is refused like a malformed string.
    std::string_view hexIntegerContent() {
        const std::string_view text = takeBytes();
        const int32_t length = takeInt();
        if (length < 0 || static_cast<size_t>(length) != text.size()) failDirective();
        if (text.empty() || text.size() > 2 * DER_MAX_HEX_INTEGER_BYTES) failDirective();
        std::string octets((text.size() + 1) / 2, '\0');
        size_t digit = text.size() % 2;  // position of text[0] among 2 * octets digits
        for (const char c : text) {
            const int value = hexValue(c);
            if (value < 0) failDirective();
            char& octet = octets[digit / 2];
            octet = static_cast<char>(digit % 2 == 0 ? value << 4 : (static_cast<uint8_t>(octet) | value));
            ++digit;
        }
        return keep(std::move(octets));
    }

    std::string_view bitStringContent() {
        const std::string_view bits = takeBytes();
        const int32_t count = takeInt();
        if (count < 0) failDirective();
        const size_t octets = (static_cast<size_t>(count) + 7) / 8;
        if (octets > bits.size()) failDirective();
        const auto unused = static_cast<unsigned>(8 * octets - static_cast<size_t>(count));
        std::string content;
        content.reserve(octets + 1);
        content.push_back(static_cast<char>(unused));
        content.append(bits.substr(0, octets));
        if (octets > 0) content.back() = static_cast<char>(static_cast<uint8_t>(content.back()) & (0xFFu << unused));
        return keep(std::move(content));
    }

    std::string_view objectIdentifierContent() {
        const std::span<const int32_t> arcs = takeArcs();
        if (arcs.size() < DER_MIN_ARCS || arcs.size() > DER_MAX_ARCS) failDirective();
        if (arcs[0] < 0 || arcs[0] > 2 || arcs[1] < 0 || arcs[1] > 39) failDirective();
        std::string content(1, static_cast<char>(40 * arcs[0] + arcs[1]));
        for (const int32_t arc : arcs.subspan(2)) {
            if (arc < 0) failDirective();
            putBase128(static_cast<uint32_t>(arc), [&](uint8_t octet) { content.push_back(static_cast<char>(octet)); });
        }
        return keep(std::move(content));
    }

    size_t open(int32_t defaultTag) {
        const int32_t tagNumber = tagFor(defaultTag);
        const size_t gap = identifierSize(tagNumber) + GAP_BEYOND_IDENTIFIER;
        const size_t position = writePosition(encoder_);
        makeRoom(encoder_, position, gap);
        try {
            encoder_.openElements.push_back({tagNumber, classBits_, position + gap, position + gap});
        } catch (const std::bad_alloc&) {
            failDirective();
        }
        return 0;
    }

    // The identifier and length go into the gap the opening kept; the
    // content moves down behind them and the element ends up contiguous.
    size_t close(uint8_t closingBits) {
        if (encoder_.openElements.empty()) failDirective();
        const OpenElement element = encoder_.openElements.back();
        encoder_.openElements.pop_back();
        const size_t contentSize = element.contentEnd - element.contentStart;
        Header header{};
        size_t size = putTag(header, 0, static_cast<uint8_t>(element.classBits | closingBits), element.tagNumber);
        size = putLength(header, size, contentSize);
        const size_t position = writePosition(encoder_);
        uint8_t* base = encoder_.buffer.data();
        std::memcpy(base + position, header.data(), size);
        if (contentSize > 0) std::memmove(base + position + size, base + element.contentStart, contentSize);
        setWritePosition(encoder_, position + size + contentSize);
        return size;
    }

    DerEncoder& encoder_;
    std::span<const DerArg> args_;
    size_t next_ = 0;
    uint8_t classBits_ = 0;
    std::string scratch_;
};

}  // namespace

std::unique_ptr<DerEncoder> newDerEncoder() {
    try {
        auto encoder = std::make_unique<DerEncoder>();
        encoder->buffer.assign(static_cast<size_t>(DER_GROWTH), 0);
        encoder->capacity = DER_GROWTH;
        return encoder;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int32_t encodeTemplate(DerEncoder& encoder, std::string_view templateText, std::span<const DerArg> args) {
    Interpreter interpreter(encoder, args);
    size_t total = 0;
    try {
        for (const char directive : templateText) {
            if (interpreter.setsTag(directive)) continue;
            total += interpreter.run(directive);
            interpreter.resetTag();
            if (total > MAX_SIZE) return -1;
        }
    } catch (const DirectiveFailed&) {
        interpreter.resetTag();
        return -1;
    } catch (const std::bad_alloc&) {
        interpreter.resetTag();
        return -1;
    }
    if (!interpreter.allArgumentsUsed()) return -1;
    return static_cast<int32_t>(total);
}

void freeDerEncoder(std::unique_ptr<DerEncoder> encoder) { encoder.reset(); }

}  // namespace qm
