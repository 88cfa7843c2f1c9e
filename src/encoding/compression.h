// The compressed message form: one gzip member (RFC 1952) built in memory
// around a raw deflate stream, recognised by its own header. Large signed
// messages of the first-generation and token members travel in it.
//
//   1F 8B 08 00  00 00 00 00  00 0B   header: deflate, no flags, no time,
//                                     no extra flags, operating system 0x0B
//   ...                               raw deflate stream (default level)
//   CRC-32 of the data, then its length mod 2^32, both little-endian
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qm {

constexpr int32_t GZIP_OK = 0;
constexpr int32_t GZIP_NOT_COMPRESSED = -3;  // no source, or not a valid compressed form
constexpr int32_t GZIP_NO_MEMORY = -4;
constexpr int32_t GZIP_TOO_SMALL = -5;  // the output is incomplete; `needed` says how much

// Writes the compressed form of `source` into `output` as far as it holds
// (never beyond it) and sets `needed` to the whole size: GZIP_OK,
// GZIP_TOO_SMALL (call again with `needed` bytes), GZIP_NOT_COMPRESSED for no
// source, GZIP_NO_MEMORY, or a zlib error code when the stream cannot be set
// up or fails part-way (never GZIP_TOO_SMALL then: a broken stream is not
// one that merely needs more room).
int32_t gzipCompress(std::string_view source, std::span<char> output, size_t& needed);
// The reverse. Any gzip member is read (extra field, file name, comment and
// header CRC skipped; reserved flag bits refused); exactly the 8 trailer
// bytes must follow the deflate stream, and the CRC-32 and length stored
// there must match what came out. GZIP_NOT_COMPRESSED for anything else;
// GZIP_NO_MEMORY also for a member that would inflate beyond what a 32-bit
// signed count holds.
int32_t gzipDecompress(std::string_view source, std::span<char> output, size_t& needed);

// Replaces `message` by its compressed form when it has at least
// `threshold` bytes (the compressed form may be larger); true when it did.
// A message that cannot be compressed is left as it is. The first output
// buffer is count + 20 bytes; a form that needs more is made again into a
// buffer of exactly its size.
bool compressMessage(std::string& message, int64_t threshold);
// Replaces `message` by its decompressed form when it is one; true when it
// did. Anything else (a DER message, a damaged form) is left as it is. The
// first output buffer is 2 x count bytes, enlarged once to the exact size.
bool decompressMessage(std::string& message);

}  // namespace qm
