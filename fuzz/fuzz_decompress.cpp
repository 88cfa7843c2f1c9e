// The compressed message form on any bytes: decompression stays inside the
// buffer it is given (exactly sized heap buffers, so a byte past one is
// seen), answers the same size whatever the buffer, and ends; and any bytes
// come back unchanged from a compression and decompression.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "encoding/compression.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// The fuzzer's own bound on one output: far above what its inputs inflate
// to, far below what would take its memory.
constexpr size_t MAX_OUTPUT = size_t{64} << 20;

std::unique_ptr<char[]> buffer(size_t size) { return std::unique_ptr<char[]>(new char[size ? size : 1]); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Into a buffer of 2 x the input first, as the message wrapper does.
    size_t needed = 0;
    const size_t first = 2 * size;
    auto out = buffer(first);
    const int32_t result = qm::gzipDecompress(input, std::span<char>(out.get(), first), needed);
    check(result == qm::GZIP_OK || result == qm::GZIP_TOO_SMALL || result == qm::GZIP_NOT_COMPRESSED ||
          result == qm::GZIP_NO_MEMORY);
    if (result == qm::GZIP_OK) check(needed <= first);
    if (result == qm::GZIP_TOO_SMALL) check(needed > first);
    if ((result == qm::GZIP_OK || result == qm::GZIP_TOO_SMALL) && needed <= MAX_OUTPUT) {
        // The exact size, then one byte less: the same answer and size, and
        // the bytes that fit agree.
        auto exact = buffer(needed);
        size_t again = 0;
        check(qm::gzipDecompress(input, std::span<char>(exact.get(), needed), again) == qm::GZIP_OK);
        check(again == needed);
        if (result == qm::GZIP_OK) check(std::memcmp(exact.get(), out.get(), needed) == 0);
        if (needed > 0) {
            auto shorter = buffer(needed - 1);
            check(qm::gzipDecompress(input, std::span<char>(shorter.get(), needed - 1), again) == qm::GZIP_TOO_SMALL);
            check(again == needed);
            check(std::memcmp(exact.get(), shorter.get(), needed - 1) == 0);
        }
        std::string message(input);
        check(qm::decompressMessage(message));
        check(message == std::string_view(exact.get(), needed));
    } else if (result == qm::GZIP_NOT_COMPRESSED) {
        std::string message(input);
        check(!qm::decompressMessage(message) && message == input);
    }

    // The other way round.
    if (size == 0) return 0;
    std::string message(input);
    check(qm::compressMessage(message, 1));
    size_t compressedSize = 0;
    check(qm::gzipCompress(input, {}, compressedSize) == qm::GZIP_TOO_SMALL && compressedSize == message.size());
    // A buffer too small by one is filled as far as it goes and no further.
    auto shorter = buffer(compressedSize - 1);
    size_t again = 0;
    check(qm::gzipCompress(input, std::span<char>(shorter.get(), compressedSize - 1), again) == qm::GZIP_TOO_SMALL);
    check(again == compressedSize && std::memcmp(shorter.get(), message.data(), compressedSize - 1) == 0);
    check(qm::decompressMessage(message));
    check(message == input);
    return 0;
}
