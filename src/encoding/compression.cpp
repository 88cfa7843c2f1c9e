#include "encoding/compression.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace qm {

namespace {

// Both directions move data through windows of this size, so the working
// memory beyond the caller's buffers stays at two windows and the zlib state.
constexpr size_t WINDOW = 16384;

constexpr std::array<unsigned char, 10> HEADER{0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B};
constexpr size_t TRAILER = 8;
// Header, at least one byte of deflate stream, trailer.
constexpr size_t MIN_MEMBER = 19;

constexpr unsigned char FLAG_HCRC = 2;
constexpr unsigned char FLAG_EXTRA = 4;
constexpr unsigned char FLAG_NAME = 8;
constexpr unsigned char FLAG_COMMENT = 16;
constexpr unsigned char FLAG_RESERVED = 0xE0;

// A decompressed message is counted in 32-bit signed bytes wherever it goes
// next; a member that claims more is refused before it is inflated further,
// so a small hostile input cannot keep us inflating (or allocating) for long.
constexpr size_t MAX_DECOMPRESSED = static_cast<size_t>(std::numeric_limits<int32_t>::max());

// Copies into `output` what still fits there at `at`; the caller keeps
// counting the full size.
void copyAt(std::span<char> output, size_t at, const void* bytes, size_t count) {
    if (at >= output.size()) return;
    std::memcpy(output.data() + at, bytes, std::min(count, output.size() - at));
}

void putLittleEndian(std::array<unsigned char, TRAILER>& trailer, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) trailer[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t readLittleEndian(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// A deflate stream that fails part-way has no valid end: what was written so
// far must not pass for a compressed form, nor for one that merely needs a
// larger buffer, so the answer is the stream's own error and never
// GZIP_TOO_SMALL (which zlib's Z_BUF_ERROR would read as).
int32_t partWay(int result) { return result == GZIP_TOO_SMALL || result >= 0 ? Z_STREAM_ERROR : result; }

const Bytef* zbytes(const char* bytes) { return reinterpret_cast<const Bytef*>(bytes); }

struct DeflateEnd {
    void operator()(z_stream* stream) const { deflateEnd(stream); }
};
struct InflateEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

}  // namespace

int32_t gzipCompress(std::string_view source, std::span<char> output, size_t& needed) {
    needed = 0;
    if (source.empty()) return GZIP_NOT_COMPRESSED;

    std::unique_ptr<std::array<unsigned char, WINDOW>> window(new (std::nothrow) std::array<unsigned char, WINDOW>);
    if (!window) return GZIP_NO_MEMORY;

    z_stream stream{};
    const int init = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (init != Z_OK) return init;
    const std::unique_ptr<z_stream, DeflateEnd> end(&stream);

    size_t total = 0;
    copyAt(output, total, HEADER.data(), HEADER.size());
    total += HEADER.size();

    uLong crc = crc32(0L, Z_NULL, 0);
    // Runs deflate until it has taken all it was given (or, finishing,
    // until the stream ends), moving every full or final window out.
    auto drain = [&](int flush) -> int {
        int result = Z_OK;
        do {
            stream.next_out = window->data();
            stream.avail_out = static_cast<uInt>(WINDOW);
            result = deflate(&stream, flush);
            // Z_BUF_ERROR only says that no progress was possible this
            // round; while finishing there is always room to progress, so
            // there it means the stream is stuck.
            if (result == Z_BUF_ERROR && flush == Z_FINISH) return Z_STREAM_ERROR;
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return result;
            const size_t produced = WINDOW - stream.avail_out;
            copyAt(output, total, window->data(), produced);
            total += produced;
        } while (stream.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
        return Z_OK;
    };

    for (size_t offset = 0; offset < source.size(); offset += WINDOW) {
        const size_t piece = std::min(WINDOW, source.size() - offset);
        stream.next_in = const_cast<Bytef*>(zbytes(source.data() + offset));
        stream.avail_in = static_cast<uInt>(piece);
        crc = crc32(crc, zbytes(source.data() + offset), static_cast<uInt>(piece));
        if (const int result = drain(Z_NO_FLUSH); result != Z_OK) return partWay(result);
    }
    stream.next_in = nullptr;
    stream.avail_in = 0;
    if (const int result = drain(Z_FINISH); result != Z_OK) return partWay(result);

    std::array<unsigned char, TRAILER> trailer{};
    putLittleEndian(trailer, 0, static_cast<uint32_t>(crc));
    putLittleEndian(trailer, 4, static_cast<uint32_t>(source.size()));
    copyAt(output, total, trailer.data(), trailer.size());
    total += trailer.size();

    needed = total;
    return total > output.size() ? GZIP_TOO_SMALL : GZIP_OK;
}

int32_t gzipDecompress(std::string_view source, std::span<char> output, size_t& needed) {
    needed = 0;
    if (source.size() < MIN_MEMBER) return GZIP_NOT_COMPRESSED;
    const auto* bytes = reinterpret_cast<const unsigned char*>(source.data());
    const unsigned char flags = bytes[3];
    if (bytes[0] != 0x1F || bytes[1] != 0x8B || bytes[2] != 8 || (flags & FLAG_RESERVED) != 0) {
        return GZIP_NOT_COMPRESSED;
    }

    // The optional fields, in the order the format puts them; only their
    // extent matters.
    size_t at = HEADER.size();
    if (flags & FLAG_EXTRA) {
        if (source.size() - at < 2) return GZIP_NOT_COMPRESSED;
        const size_t length = static_cast<size_t>(bytes[at]) | static_cast<size_t>(bytes[at + 1]) << 8;
        at += 2;
        if (source.size() - at < length) return GZIP_NOT_COMPRESSED;
        at += length;
    }
    for (const unsigned char textFlag : {FLAG_NAME, FLAG_COMMENT}) {
        if (!(flags & textFlag)) continue;
        const size_t zero = source.find('\0', at);
        if (zero == std::string_view::npos) return GZIP_NOT_COMPRESSED;
        at = zero + 1;
    }
    if (flags & FLAG_HCRC) {
        if (source.size() - at < 2) return GZIP_NOT_COMPRESSED;
        at += 2;
    }

    std::unique_ptr<std::array<unsigned char, WINDOW>> window(new (std::nothrow) std::array<unsigned char, WINDOW>);
    if (!window) return GZIP_NO_MEMORY;

    z_stream stream{};
    const int init = inflateInit2(&stream, -MAX_WBITS);
    if (init != Z_OK) return init;
    const std::unique_ptr<z_stream, InflateEnd> end(&stream);

    uLong crc = crc32(0L, Z_NULL, 0);
    size_t total = 0;
    bool ended = false;
    while (!ended) {
        if (stream.avail_in == 0) {
            // Input that runs out before the stream ends is not a member.
            if (at >= source.size()) return GZIP_NOT_COMPRESSED;
            const size_t piece = std::min(WINDOW, source.size() - at);
            stream.next_in = const_cast<Bytef*>(zbytes(source.data() + at));
            stream.avail_in = static_cast<uInt>(piece);
            at += piece;
        }
        do {
            stream.next_out = window->data();
            stream.avail_out = static_cast<uInt>(WINDOW);
            const int result = inflate(&stream, Z_NO_FLUSH);
            if (result == Z_MEM_ERROR) return GZIP_NO_MEMORY;
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return GZIP_NOT_COMPRESSED;
            const size_t produced = WINDOW - stream.avail_out;
            crc = crc32(crc, window->data(), static_cast<uInt>(produced));
            copyAt(output, total, window->data(), produced);
            total += produced;
            if (total > MAX_DECOMPRESSED) return GZIP_NO_MEMORY;
            if (result == Z_STREAM_END) {
                ended = true;
                break;
            }
            if (result == Z_BUF_ERROR) break;  // needs more input
        } while (stream.avail_out == 0);
    }

    // What inflate did not take of the last piece is still ours.
    const size_t streamEnd = at - stream.avail_in;
    if (source.size() - streamEnd != TRAILER) return GZIP_NOT_COMPRESSED;
    // Both halves of the trailer must agree with what came out. A member
    // whose stored length is damaged is damaged, even when its CRC happens to
    // hold; it is passed on as it stands, like any other damaged member.
    if (readLittleEndian(bytes + streamEnd) != static_cast<uint32_t>(crc) ||
        readLittleEndian(bytes + streamEnd + 4) != static_cast<uint32_t>(total)) {
        return GZIP_NOT_COMPRESSED;
    }

    needed = total;
    return total > output.size() ? GZIP_TOO_SMALL : GZIP_OK;
}

bool compressMessage(std::string& message, int64_t threshold) {
    if (message.empty() || static_cast<int64_t>(message.size()) < threshold) return false;
    try {
        std::string compressed(message.size() + 20, '\0');
        size_t needed = 0;
        int32_t result = gzipCompress(message, compressed, needed);
        if (result == GZIP_TOO_SMALL) {
            compressed.assign(needed, '\0');
            result = gzipCompress(message, compressed, needed);
        }
        if (result != GZIP_OK) return false;
        compressed.resize(needed);
        message = std::move(compressed);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool decompressMessage(std::string& message) {
    if (message.empty()) return false;
    try {
        std::string plain(2 * message.size(), '\0');
        size_t needed = 0;
        int32_t result = gzipDecompress(message, plain, needed);
        if (result == GZIP_NOT_COMPRESSED) return false;
        if (result == GZIP_TOO_SMALL) {
            plain.assign(needed, '\0');
            result = gzipDecompress(message, plain, needed);
        }
        if (result != GZIP_OK) return false;
        plain.resize(needed);
        message = std::move(plain);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qm
