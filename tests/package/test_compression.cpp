#include "encoding/compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "support/process.h"
#include "support/test_home.h"

namespace {

using testing_support::readFile;
using testing_support::runProcess;
using testing_support::writeFile;

const std::string HEADER("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x0B", 10);

// Text that compresses the way signed messages do: repetitive, not trivial.
std::string message(size_t size) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of the statement\n";
    text.resize(size);
    return text;
}

std::string randomBytes(size_t size) {
    std::mt19937 generator(20080527);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::string littleEndian(uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

uint32_t crcOf(const std::string& data) {
    return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string compressed(const std::string& data) {
    std::string text = data;
    EXPECT_TRUE(qm::compressMessage(text, 1));
    return text;
}

TEST(Compression, FixedHeaderAndTrailer) {
    for (const size_t size : {size_t{1}, size_t{16384}, size_t{51200}, size_t{200001}}) {
        SCOPED_TRACE(size);
        const std::string data = message(size);
        const std::string packed = compressed(data);
        ASSERT_GE(packed.size(), 18u);
        EXPECT_EQ(packed.substr(0, 10), HEADER);
        EXPECT_EQ(packed.substr(packed.size() - 8), littleEndian(crcOf(data)) + littleEndian(static_cast<uint32_t>(size)));
        std::string restored = packed;
        ASSERT_TRUE(qm::decompressMessage(restored));
        EXPECT_EQ(restored, data);
    }
}

TEST(Compression, ThresholdCountsTheMessageItself) {
    std::string below = message(51199);
    EXPECT_FALSE(qm::compressMessage(below, 51200));
    EXPECT_EQ(below, message(51199));
    std::string at = message(51200);
    EXPECT_TRUE(qm::compressMessage(at, 51200));
    EXPECT_EQ(at.substr(0, 10), HEADER);
    std::string empty;
    EXPECT_FALSE(qm::compressMessage(empty, 1));
}

// Data that does not compress needs more than count + 20 bytes: the first
// buffer is too small and the second is sized exactly.
TEST(Compression, IncompressibleDataTakesTheRetry) {
    const std::string data = randomBytes(100);
    size_t needed = 0;
    std::string firstTry(data.size() + 20, '\0');
    ASSERT_EQ(qm::gzipCompress(data, firstTry, needed), qm::GZIP_TOO_SMALL);
    EXPECT_GT(needed, data.size() + 20);

    std::string packed = data;
    ASSERT_TRUE(qm::compressMessage(packed, 1));
    EXPECT_EQ(packed.size(), needed);
    ASSERT_TRUE(qm::decompressMessage(packed));
    EXPECT_EQ(packed, data);
}

// Data more than twice as large as its compressed form overflows the first
// decompression buffer.
TEST(Compression, HighlyCompressibleDataTakesTheRetry) {
    const std::string data(1 << 20, 'A');
    const std::string packed = compressed(data);
    ASSERT_LT(packed.size() * 2, data.size());
    std::string restored = packed;
    ASSERT_TRUE(qm::decompressMessage(restored));
    EXPECT_EQ(restored, data);
}

// The output span is written only as far as it reaches, however short.
TEST(Compression, NothingIsWrittenPastTheOutput) {
    const std::string data = message(70000);
    const std::string packed = compressed(data);
    for (const size_t room : {size_t{0}, size_t{5}, size_t{18}, packed.size() - 1}) {
        SCOPED_TRACE(room);
        std::string buffer(room + 64, '#');
        size_t needed = 0;
        EXPECT_EQ(qm::gzipCompress(data, std::span<char>(buffer.data(), room), needed), qm::GZIP_TOO_SMALL);
        EXPECT_EQ(needed, packed.size());
        EXPECT_EQ(buffer.substr(0, room), packed.substr(0, room));
        EXPECT_EQ(buffer.substr(room), std::string(64, '#'));

        std::string plain(room + 64, '#');
        EXPECT_EQ(qm::gzipDecompress(packed, std::span<char>(plain.data(), room), needed), qm::GZIP_TOO_SMALL);
        EXPECT_EQ(needed, data.size());
        EXPECT_EQ(plain.substr(0, room), data.substr(0, room));
        EXPECT_EQ(plain.substr(room), std::string(64, '#'));
    }
    size_t needed = 1;
    EXPECT_EQ(qm::gzipCompress("", {}, needed), qm::GZIP_NOT_COMPRESSED);
}

// Whatever is not one intact member is left exactly as it was.
TEST(Compression, DamagedOrForeignInputIsLeftAlone) {
    const std::string data = message(5000);
    const std::string packed = compressed(data);
    const struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"DER message", std::string("\x30\x82\x01\x0A\x02\x01\x01", 7) + std::string(300, '\x05')},
        // The trailer must match what came out.
        {"last byte changed", packed.substr(0, packed.size() - 1) + static_cast<char>(packed.back() ^ 1)},
        {"CRC changed", packed.substr(0, packed.size() - 8) + static_cast<char>(packed[packed.size() - 8] ^ 1) +
                            packed.substr(packed.size() - 7)},
        // Shorter than the smallest member.
        {"18 bytes", packed.substr(0, 18)},
        // Exactly 8 bytes follow the stream.
        {"byte after the trailer", packed + "x"},
        {"trailer cut short", packed.substr(0, packed.size() - 1)},
        {"stream cut short", packed.substr(0, packed.size() / 2)},
        // Reserved flag bits are refused.
        {"reserved flag", packed.substr(0, 3) + '\x20' + packed.substr(4)},
        {"method not deflate", packed.substr(0, 2) + '\x07' + packed.substr(3)},
        {"name field never ends", packed.substr(0, 3) + '\x08' + packed.substr(4, 6) + std::string(40, 'n')},
        {"garbage stream", HEADER + std::string(20, '\xFF') + std::string(8, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        EXPECT_FALSE(qm::decompressMessage(text));
        EXPECT_EQ(text, c.text);
    }
}

// Optional header fields are skipped, whichever are present.
TEST(Compression, OptionalHeaderFieldsAreSkipped) {
    const std::string data = message(3000);
    const std::string packed = compressed(data);
    const std::string body = packed.substr(10);
    auto member = [&](char flags, const std::string& fields) {
        return HEADER.substr(0, 3) + flags + HEADER.substr(4) + fields + body;
    };
    const struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"name and comment", member('\x18', std::string("statement.txt\0a comment\0", 24))},
        {"extra field", member('\x04', std::string("\x03\x00xyz", 5))},
        {"header CRC", member('\x02', "\x12\x34")},
        {"all four", member('\x1E', std::string("\x01\x00zn\0c\0\x12\x34", 9))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        ASSERT_TRUE(qm::decompressMessage(text));
        EXPECT_EQ(text, data);
    }
}

class GzipInterop : public testing_support::HomeTest {};

TEST_F(GzipInterop, BothDirections) {
    const std::string data = message(90000) + randomBytes(1000);
    const auto scratch = home.path() / "gzip";

    // Theirs, with the file name they put in the header, read here.
    const auto plainFile = home.path() / "statement.txt";
    writeFile(plainFile, data);
    const auto theirs = runProcess({"gzip", "-c", "-9", plainFile.string()}, scratch);
    ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
    ASSERT_GT(theirs.out.size(), 10u);
    EXPECT_NE(theirs.out[3] & 0x08, 0) << "gzip wrote no file name";
    std::string text = theirs.out;
    ASSERT_TRUE(qm::decompressMessage(text));
    EXPECT_EQ(text, data);

    // Ours, read there.
    const auto oursFile = home.path() / "ours.gz";
    writeFile(oursFile, compressed(data));
    const auto restored = runProcess({"gzip", "-d", "-c", oursFile.string()}, scratch);
    ASSERT_EQ(restored.exitCode, 0) << restored.err;
    EXPECT_EQ(restored.out, data);
    EXPECT_EQ(readFile(oursFile).substr(0, 10), HEADER);
}

}  // namespace
