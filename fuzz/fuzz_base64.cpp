// Both decoders on any bytes: never a crash, and what decodes re-encodes to
// text the same decoder reads back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "encoding/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string bytes;
    if (encoding::decodeBase64Wrapped(text, bytes) == 0) {
        std::string again;
        if (encoding::decodeBase64Wrapped(encoding::encodeBase64Wrapped(bytes), again) != 0 || again != bytes) {
            std::abort();
        }
    }
    const std::string plain = encoding::decodeBase64Plain(text);
    if (!plain.empty() && encoding::decodeBase64Plain(encoding::encodeBase64Plain(plain)) != plain) std::abort();
    return 0;
}
