#include "encoding/base64.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <string_view>

#include "control/state/codes.h"

namespace {

using namespace std::string_literals;
using encoding::decodeBase64Plain;
using encoding::decodeBase64Wrapped;
using encoding::encodeBase64Plain;
using encoding::encodeBase64Wrapped;

std::string repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

std::string allByteValues() {
    std::string bytes;
    for (int v = 0; v < 256; ++v) bytes += static_cast<char>(v);
    return bytes;
}

std::string randomBytes(std::mt19937& rng, size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(n, '\0');
    for (auto& b : bytes) b = static_cast<char>(byte(rng));
    return bytes;
}

// What a reader of the wrapped form relies on: lines of at most 64
// characters, every one but the last exactly 64, each ended by exactly one
// line feed, no carriage return anywhere.
void expectWrappedShape(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    size_t start = 0;
    while (start < text.size()) {
        const size_t lf = text.find('\n', start);
        ASSERT_NE(lf, std::string::npos);
        const size_t length = lf - start;
        const bool last = lf + 1 == text.size();
        if (last) {
            EXPECT_LE(length, 64u);
            // Only the text of no bytes at all has an empty line.
            if (text.size() > 1) {
                EXPECT_GT(length, 0u);
            }
        } else {
            EXPECT_EQ(length, 64u) << "line starting at " << start;
        }
        start = lf + 1;
    }
}

TEST(Base64Encode, KnownTexts) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string wrapped;
        std::string plain;
    };
    const std::string line48 = repeat("YWFh", 16);  // 48 'a' bytes
    const Case cases[] = {
        {"no bytes", "", "\n", ""},
        {"a", "a", "YQ==\n", "YQ=="},
        {"ab", "ab", "YWI=\n", "YWI="},
        {"abc", "abc", "YWJj\n", "YWJj"},
        {"foobar", "foobar", "Zm9vYmFy\n", "Zm9vYmFy"},
        {"fooba", "fooba", "Zm9vYmE=\n", "Zm9vYmE="},
        {"foob", "foob", "Zm9vYg==\n", "Zm9vYg=="},
        {"zero bytes", "\0\0\0"s, "AAAA\n", "AAAA"},
        {"high bytes", "\xfb\xff\xbf", "+/+/\n", "+/+/"},
        {"ends in 62 and 63", "\xfb\xff", "+/8=\n", "+/8="},
        {"48 bytes fill one line", repeat("a", 48), line48 + "\n", line48},
        {"49 bytes spill into a second line", repeat("a", 49), line48 + "\nYQ==\n", line48 + "YQ=="},
        {"96 bytes fill two lines", repeat("a", 96), line48 + "\n" + line48 + "\n", line48 + line48},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encodeBase64Wrapped(c.bytes), c.wrapped);
        EXPECT_EQ(encodeBase64Plain(c.bytes), c.plain);
        EXPECT_EQ(encoding::wrappedBase64Size(c.bytes.size()), c.wrapped.size());
        EXPECT_EQ(encoding::plainBase64Size(c.bytes.size()), c.plain.size());
    }
}

TEST(Base64Encode, WrappedSizes) {
    struct Case {
        size_t bytes;
        size_t size;
    };
    // 20 bytes is a SHA-1 digest: 28 characters and a line feed.
    const Case cases[] = {{0, 1}, {1, 5}, {3, 5}, {20, 29}, {47, 65}, {48, 65}, {49, 70}, {96, 130}, {97, 135}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(encoding::wrappedBase64Size(c.bytes), c.size);
        EXPECT_EQ(encodeBase64Wrapped(std::string(c.bytes, 'x')).size(), c.size);
    }
}

// Callers size their buffers from these; near the top of size_t the sums
// must refuse rather than wrap round to a small number.
TEST(Base64Encode, SizesNeverWrapAround) {
    using Wide = unsigned __int128;
    constexpr size_t top = std::numeric_limits<size_t>::max();
    const auto wrappedExact = [](size_t n) -> Wide {
        const Wide chars = (Wide{n} + 2) / 3 * 4;
        return chars + (chars + 63) / 64;
    };
    const auto plainExact = [](size_t n) -> Wide { return (Wide{n} + 2) / 3 * 4; };
    // The largest inputs whose sizes still fit, and their neighbours.
    size_t wrappedLimit = top / 65 * 48;
    while (wrappedExact(wrappedLimit) > top) --wrappedLimit;
    while (wrappedExact(wrappedLimit + 1) <= top) ++wrappedLimit;
    const size_t plainLimit = top / 4 * 3;
    for (size_t n : {wrappedLimit - 1, wrappedLimit, wrappedLimit + 1, wrappedLimit + 2, plainLimit - 1,
                     plainLimit, plainLimit + 1, plainLimit + 2, plainLimit + 3, top - 1, top}) {
        SCOPED_TRACE(n);
        if (wrappedExact(n) <= top) {
            EXPECT_EQ(encoding::wrappedBase64Size(n), static_cast<size_t>(wrappedExact(n)));
        } else {
            EXPECT_THROW(encoding::wrappedBase64Size(n), std::bad_alloc);
        }
        if (plainExact(n) <= top) {
            EXPECT_EQ(encoding::plainBase64Size(n), static_cast<size_t>(plainExact(n)));
        } else {
            EXPECT_THROW(encoding::plainBase64Size(n), std::bad_alloc);
        }
    }
}

TEST(Base64DecodeWrapped, Texts) {
    struct Case {
        const char* name;
        std::string text;
        int32_t code;
        std::string bytes;
    };
    const Case cases[] = {
        {"one group", "YWJj", qm::OK, "abc"},
        {"wrapped form", "YWJj\n", qm::OK, "abc"},
        {"space, CR and LF inside a group", "YW \r\nJj", qm::OK, "abc"},
        {"CR LF line ends", repeat("YWFh", 16) + "\r\nYQ==\r\n", qm::OK, repeat("a", 49)},
        {"NUL inside a group is skipped", "YW\0Jj"s, qm::OK, "abc"},
        {"one padded group ends the text", "YWJjYWI=", qm::OK, "abcab"},
        {"xx== gives one byte", "YQ==", qm::OK, "a"},
        {"text after a padded group is ignored", "YWI=YWJj", qm::OK, "ab"},
        {"even an unfinished group after padding", "YQ==YWJ", qm::OK, "a"},
        {"no text at all", "", qm::OK, ""},
        {"a lone line feed", "\n", qm::OK, ""},
        {"only bytes outside the alphabet", "*-_~", qm::OK, ""},
        // Misplaced padding: decoding ends and the result is empty, yet the
        // call succeeds, whatever came before.
        {"'=' third but not fourth", "YW=j", qm::OK, ""},
        {"'=' third but not fourth, after a group", "YWJjYW=j", qm::OK, ""},
        {"'=' first", "YWJj=WJj", qm::OK, ""},
        {"'=' second", "YWJjY=Jj", qm::OK, ""},
        {"padding only", "====", qm::OK, ""},
        // Unfinished final group: not a multiple of four significant characters.
        {"three characters", "YWJ", qm::ERR_BASE64_DECODE, ""},
        {"one character after a group", "YWJjY", qm::ERR_BASE64_DECODE, ""},
        {"two characters split by a line feed", "YWJjY\nW\n", qm::ERR_BASE64_DECODE, ""},
        {"a lone '='", "=", qm::ERR_BASE64_DECODE, ""},
        {"padding without its group", "YWJj==", qm::ERR_BASE64_DECODE, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = "stale";
        EXPECT_EQ(decodeBase64Wrapped(c.text, bytes), c.code);
        EXPECT_EQ(bytes, c.bytes);
    }
}

TEST(Base64DecodePlain, Texts) {
    struct Case {
        const char* name;
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"one group", "YWJj", "abc"},
        {"wrapped form", "YWJj\n", "abc"},
        {"space, CR and LF inside a group", "YW \r\nJj", "abc"},
        {"NUL inside a group is skipped", "YW\0Jj"s, "abc"},
        {"padded groups concatenate", "YWI=YWJj", "ababc"},
        {"one- and two-byte groups in a row", "YQ==YWI=YQ==", "aaba"},
        {"xx== gives one byte", "YQ==", "a"},
        // A group with misplaced padding is dropped and decoding goes on.
        {"'=' third but not fourth", "YW=jYWJj", "abc"},
        {"'=' first", "=WJjYWJj", "abc"},
        {"'=' second", "YWJjY=Jj", "abc"},
        // Nothing left: the callers see a failure.
        {"only a misplaced group", "YW=j", ""},
        {"padding only", "====", ""},
        {"no text at all", "", ""},
        {"only bytes outside the alphabet", "*-_~", ""},
        // Unfinished final group: the whole result is dropped.
        {"three characters", "YWJ", ""},
        {"unfinished group after good ones", "YWJjYWJ", ""},
        {"unfinished group after padding", "YQ==YWJ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeBase64Plain(c.text), c.bytes);
    }
}

TEST(Base64Decode, EveryByteOutsideTheAlphabetIsSkipped) {
    std::string junk;
    for (int v = 0; v < 256; ++v) {
        const char c = static_cast<char>(v);
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') junk += c;
    }
    ASSERT_EQ(junk.size(), 256u - 65u);
    std::string bytes = "stale";
    EXPECT_EQ(decodeBase64Wrapped(junk, bytes), qm::OK);
    EXPECT_EQ(bytes, "");
    EXPECT_EQ(decodeBase64Plain(junk), "");

    // The same bytes scattered through a text change nothing.
    const std::string text = junk + "YW" + junk + "J" + junk + "j" + junk;
    EXPECT_EQ(decodeBase64Wrapped(text, bytes), qm::OK);
    EXPECT_EQ(bytes, "abc");
    EXPECT_EQ(decodeBase64Plain(text), "abc");
}

// A stray byte at any position, whether inside a group or between groups,
// must leave the decoded bytes as they are.
TEST(Base64Decode, StrayByteAtEveryPosition) {
    const std::string bytes = allByteValues().substr(100, 40);
    const std::string plain = encodeBase64Plain(bytes);
    for (const char stray : {'\n', '\r', '\0', ' ', '*', '\xff'}) {
        for (size_t at = 0; at <= plain.size(); ++at) {
            SCOPED_TRACE(testing::Message() << "byte " << int(static_cast<unsigned char>(stray)) << " at " << at);
            std::string text = plain;
            text.insert(at, 1, stray);
            std::string decoded;
            EXPECT_EQ(decodeBase64Wrapped(text, decoded), qm::OK);
            EXPECT_EQ(decoded, bytes);
            EXPECT_EQ(decodeBase64Plain(text), bytes);
        }
    }
}

TEST(Base64RoundTrip, AllByteValues) {
    const std::string bytes = allByteValues();
    std::string decoded;
    const std::string wrapped = encodeBase64Wrapped(bytes);
    expectWrappedShape(wrapped);
    EXPECT_EQ(decodeBase64Wrapped(wrapped, decoded), qm::OK);
    EXPECT_EQ(decoded, bytes);
    EXPECT_EQ(decodeBase64Plain(encodeBase64Plain(bytes)), bytes);
}

// Every length from 0 to 200 meets each tail (none, one or two bytes) at
// every position in a line; each decoder also reads the other family's text.
TEST(Base64RoundTrip, RandomDataOfEveryLength) {
    std::mt19937 rng(20240611);
    for (size_t n = 0; n <= 200; ++n) {
        SCOPED_TRACE(n);
        const std::string bytes = randomBytes(rng, n);
        const std::string wrapped = encodeBase64Wrapped(bytes);
        const std::string plain = encodeBase64Plain(bytes);
        expectWrappedShape(wrapped);
        EXPECT_EQ(wrapped.size(), encoding::wrappedBase64Size(n));
        EXPECT_EQ(plain.size(), encoding::plainBase64Size(n));
        EXPECT_EQ(plain.find('\n'), std::string::npos);

        std::string decoded;
        EXPECT_EQ(decodeBase64Wrapped(wrapped, decoded), qm::OK);
        EXPECT_EQ(decoded, bytes);
        EXPECT_EQ(decodeBase64Wrapped(plain, decoded), qm::OK);
        EXPECT_EQ(decoded, bytes);
        // No bytes at all is the plain decoder's failure answer, so only
        // non-empty data can come back from it.
        EXPECT_EQ(decodeBase64Plain(plain), bytes);
        EXPECT_EQ(decodeBase64Plain(wrapped), bytes);
    }
}

TEST(Base64RoundTrip, LargeInput) {
    std::mt19937 rng(7);
    const std::string bytes = randomBytes(rng, 3 * 1024 * 1024 + 1);
    const std::string wrapped = encodeBase64Wrapped(bytes);
    EXPECT_EQ(wrapped.size(), encoding::wrappedBase64Size(bytes.size()));
    std::string decoded;
    EXPECT_EQ(decodeBase64Wrapped(wrapped, decoded), qm::OK);
    EXPECT_TRUE(decoded == bytes);
    EXPECT_TRUE(decodeBase64Plain(encodeBase64Plain(bytes)) == bytes);
}

// Members decode a staged text into the same buffer it came from.
TEST(Base64DecodeWrapped, TextMayViewTheResultBuffer) {
    std::string buffer = encodeBase64Wrapped(repeat("abc", 100));
    EXPECT_EQ(decodeBase64Wrapped(buffer, buffer), qm::OK);
    EXPECT_EQ(buffer, repeat("abc", 100));

    buffer = "YWJjYWJ";  // unfinished final group
    EXPECT_EQ(decodeBase64Wrapped(buffer, buffer), qm::ERR_BASE64_DECODE);
    EXPECT_EQ(buffer, "");
}

}  // namespace
