// The DER template encoder with a template and arguments the fuzzer
// chooses, arguments of the wrong kind and number included. A template
// that succeeds and closes what it opens answers the length it wrote, and
// that length is a run of whole elements with minimal definite lengths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "token/der_encoder.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ == size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string_view bytes(size_t count) {
        count = std::min(count, size_ - at_);
        const std::string_view out(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return out;
    }
    // Mostly small numbers, now and then any 32 bits.
    int32_t number() {
        const uint8_t first = byte();
        if (first != 0x80) return static_cast<int8_t>(first);
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | byte();
        return static_cast<int32_t>(value);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// One element at `at`: its identifier, a minimal definite length, and all of
// its content inside `bytes`; `at` moves behind it.
bool element(std::string_view bytes, size_t& at) {
    if (at >= bytes.size()) return false;
    const auto first = static_cast<uint8_t>(bytes[at++]);
    if ((first & 0x1F) == 0x1F) {
        // High tag number: base 128, no leading 0x80, more than 30.
        if (at >= bytes.size() || static_cast<uint8_t>(bytes[at]) == 0x80) return false;
        while (at < bytes.size() && (static_cast<uint8_t>(bytes[at]) & 0x80)) ++at;
        if (at++ >= bytes.size()) return false;
    }
    if (at >= bytes.size()) return false;
    const auto lead = static_cast<uint8_t>(bytes[at++]);
    size_t length = lead;
    if (lead & 0x80) {
        const size_t octets = lead & 0x7F;
        if (octets == 0 || octets > 4 || bytes.size() - at < octets) return false;
        if (static_cast<uint8_t>(bytes[at]) == 0) return false;
        length = 0;
        for (size_t i = 0; i < octets; ++i) length = length << 8 | static_cast<uint8_t>(bytes[at++]);
        if (length < 128) return false;
    }
    if (bytes.size() - at < length) return false;
    at += length;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    const size_t templateLength = input.byte() % 64;
    const std::string_view templateText = input.bytes(templateLength);

    // Arcs live here so that the spans handed over stay valid.
    std::deque<std::vector<int32_t>> arcs;
    std::vector<qm::DerArg> args;
    while (!input.empty() && args.size() < 256) {
        switch (input.byte() % 3) {
            case 0: args.emplace_back(input.number()); break;
            case 1: {
                const uint8_t count = input.byte();
                args.emplace_back(input.bytes(count == 0xFF ? size : count));
                break;
            }
            default: {
                auto& list = arcs.emplace_back();
                for (uint8_t count = input.byte() % 64; count > 0; --count) list.push_back(input.number());
                args.emplace_back(std::span<const int32_t>(list));
            }
        }
    }

    auto encoder = qm::newDerEncoder();
    check(encoder != nullptr);
    const int32_t result = qm::encodeTemplate(*encoder, templateText, args);
    check(result >= -1);
    check(static_cast<size_t>(encoder->capacity) == encoder->buffer.size());
    if (result < 0 || !encoder->openElements.empty()) {
        qm::freeDerEncoder(std::move(encoder));
        return 0;
    }
    check(encoder->length == result && encoder->length <= encoder->capacity);
    // Raw bytes and hand-set class bits may write anything; every other
    // directive writes whole elements.
    if (templateText.find_first_of("AT") == std::string_view::npos) {
        const std::string_view bytes = qm::encodedBytes(*encoder);
        size_t at = 0;
        while (at < bytes.size()) check(element(bytes, at));
    }
    qm::freeDerEncoder(std::move(encoder));
    return 0;
}
