#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/com/com.h"
#include "platform/com/owners.h"

// Layout: a 32-bit byte count, the characters, a NUL character. The BSTR
// points at the first character, as automation callers expect.
namespace {

struct alignas(8) Header {
    uint32_t padding;
    uint32_t byteLength;
};

Header* headerOf(BSTR text) { return reinterpret_cast<Header*>(reinterpret_cast<char*>(text) - sizeof(Header)); }

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
    // The byte count must fit the 32-bit prefix.
    if (length > (std::numeric_limits<uint32_t>::max() - sizeof(Header) - sizeof(OLECHAR)) / sizeof(OLECHAR) / 2) {
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
    auto* block = static_cast<char*>(std::malloc(sizeof(Header) + bytes + sizeof(OLECHAR)));
    if (!block) return nullptr;
    auto* header = reinterpret_cast<Header*>(block);
    header->padding = 0;
    header->byteLength = static_cast<uint32_t>(bytes);
    auto* chars = reinterpret_cast<OLECHAR*>(block + sizeof(Header));
    if (text) {
        std::memcpy(chars, text, bytes);
    } else {
        std::memset(chars, 0, bytes);
    }
    chars[length] = 0;
    return chars;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    uint32_t length = 0;
    while (text[length] != 0) ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (text) std::free(headerOf(text));
}

uint32_t SysStringLen(BSTR text) {
    return text ? static_cast<uint32_t>(headerOf(text)->byteLength / sizeof(OLECHAR)) : 0;
}

namespace com {

Bstr::Bstr(std::u16string_view text) {
    value_ = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
    if (!value_) throw std::bad_alloc();
}

Bstr::Bstr(const Bstr& other) {
    if (other.value_) {
        value_ = SysAllocStringLen(other.value_, other.size());
        if (!value_) throw std::bad_alloc();
    }
}

Bstr& Bstr::operator=(const Bstr& other) {
    if (this != &other) {
        Bstr copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Bstr Bstr::empty() { return Bstr(std::u16string_view()); }

}  // namespace com
