#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "token/der_encoder.h"

using qm::DerArg;

namespace {

std::string hex(std::string_view bytes) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        if (!text.empty()) text.push_back(' ');
        text.push_back(DIGITS[static_cast<uint8_t>(c) >> 4]);
        text.push_back(DIGITS[static_cast<uint8_t>(c) & 0x0F]);
    }
    return text;
}

std::string repeated(std::string_view piece, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) text += piece;
    return text;
}

struct Encoded {
    int32_t result = 0;
    std::string bytes;
    int32_t length = 0;
};

Encoded encode(std::string_view templateText, const std::vector<DerArg>& args) {
    auto encoder = qm::newDerEncoder();
    EXPECT_NE(encoder, nullptr);
    Encoded out;
    out.result = qm::encodeTemplate(*encoder, templateText, args);
    out.length = encoder->length;
    if (out.result >= 0) out.bytes = std::string(qm::encodedBytes(*encoder));
    qm::freeDerEncoder(std::move(encoder));
    return out;
}

const std::vector<int32_t> SHA1_ARCS{1, 3, 14, 3, 2, 26};
const std::vector<int32_t> ONE_ARC{1};
const std::vector<int32_t> MANY_ARCS(51, 1);
const std::vector<int32_t> FIFTY_ARCS(50, 1);
const std::vector<int32_t> FIRST_ARC_3{3, 1};
const std::vector<int32_t> SECOND_ARC_40{1, 40};
const std::vector<int32_t> NEGATIVE_LATER_ARC{1, 2, -1};
const std::vector<int32_t> LARGE_ARCS{2, 39, 0, 128, 16383, 2147483647};

std::span<const int32_t> arcs(const std::vector<int32_t>& list) { return list; }

TEST(DerEncoderTest, Elements) {
    const std::string pair("\x05\x00", 2);
    struct Case {
        const char* name;
        std::string templateText;
        std::vector<DerArg> args;
        std::string expected;  // hex
    };
    const std::vector<Case> cases = {
        {"digest algorithms", "[{On}]", {arcs(SHA1_ARCS)}, "31 0B 30 09 06 05 2B 0E 03 02 1A 05 00"},
        {"version", "i", {int32_t{1}}, "02 01 01"},
        {"explicit wrapper", "(A)", {int32_t{0}, std::string_view(pair)}, "A0 02 05 00"},
        {"integer 0", "i", {int32_t{0}}, "02 01 00"},
        {"integer 127", "i", {int32_t{127}}, "02 01 7F"},
        {"integer 128", "i", {int32_t{128}}, "02 02 00 80"},
        {"integer 256", "i", {int32_t{256}}, "02 02 01 00"},
        {"integer -1", "i", {int32_t{-1}}, "02 01 FF"},
        {"integer -128", "i", {int32_t{-128}}, "02 01 80"},
        {"integer -129", "i", {int32_t{-129}}, "02 02 FF 7F"},
        {"integer min", "i", {int32_t{INT32_MIN}}, "02 04 80 00 00 00"},
        {"enumerated", "e", {int32_t{3}}, "0A 01 03"},
        {"boolean true", "b", {int32_t{7}}, "01 01 FF"},
        {"boolean false", "b", {int32_t{0}}, "01 01 00"},
        {"null", "n", {}, "05 00"},
        {"high tag number", "tn", {int32_t{40}}, "1F 28 00"},
        {"high tag number, two groups", "tn", {int32_t{200}}, "1F 81 48 00"},
        {"context tag, then the default again", "Toi", {int32_t{3}, int32_t{0x80}, std::string_view("abc"), int32_t{5}},
         "83 03 61 62 63 02 01 05"},
        {"class value uses its low byte", "Tn", {int32_t{1}, int32_t{0x140}}, "41 00"},
        {"tag holds for one directive only", "tnn", {int32_t{9}}, "09 00 05 00"},
        {"hex integer, odd digits", "I", {std::string_view("1A2"), int32_t{3}}, "02 02 01 A2"},
        {"hex integer, lower case", "I", {std::string_view("00ff"), int32_t{4}}, "02 02 00 FF"},
        {"bit string", "B", {std::string_view("\xFF\xFF"), int32_t{12}}, "03 03 04 FF F0"},
        {"bit string, whole octets", "B", {std::string_view("\xA5"), int32_t{8}}, "03 02 00 A5"},
        {"bit string, no bits", "B", {std::string_view(""), int32_t{0}}, "03 01 00"},
        {"object identifier, large arcs", "O", {arcs(LARGE_ARCS)}, "06 0B 77 00 81 00 FF 7F 87 FF FF FF 7F"},
        {"fifty arcs", "O", {arcs(FIFTY_ARCS)}, "06 31 29" + repeated(" 01", 48)},
        {"strings", "PMa6Umug",
         {std::string_view("P"), std::string_view("M"), std::string_view("a"), std::string_view("6"),
          std::string_view("U"), std::string_view("m"), std::string_view("u"), std::string_view("g")},
         "13 01 50 14 01 4D 16 01 61 14 01 36 1C 01 55 1E 01 6D 17 01 75 18 01 67"},
        {"nested and context-specific", "{(i)[]}", {int32_t{2}, int32_t{1}}, "30 07 A2 03 02 01 01 31 00"},
        {"context class on a constructed element", "T{}", {int32_t{1}, int32_t{0x80}}, "A1 00"},
        {"empty template", "", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Encoded out = encode(c.templateText, c.args);
        EXPECT_EQ(out.result, static_cast<int32_t>(out.bytes.size()));
        EXPECT_EQ(out.length, out.result);
        EXPECT_EQ(hex(out.bytes), c.expected);
    }
}

TEST(DerEncoderTest, LengthsTakeTheFewestOctetsAndTheBufferGrows) {
    struct Case {
        size_t size;
        std::string header;
    };
    for (const Case& c : std::vector<Case>{{127, "04 7F"}, {128, "04 81 80"}, {200, "04 81 C8"},
                                          {256, "04 82 01 00"}, {70000, "04 83 01 11 70"}}) {
        SCOPED_TRACE(c.size);
        std::string content(c.size, '\0');
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
        const Encoded out = encode("o", {std::string_view(content)});
        const size_t headerSize = (c.header.size() + 1) / 3;
        ASSERT_EQ(out.result, static_cast<int32_t>(headerSize + c.size));
        EXPECT_EQ(hex(out.bytes.substr(0, headerSize)), c.header);
        EXPECT_EQ(out.bytes.substr(headerSize), content);
    }

    // A large element inside open ones: every level gets its length, and the
    // content arrives whole behind the headers.
    const std::string big(20000, 'x');
    const Encoded nested = encode("{[o]n}", {std::string_view(big)});
    ASSERT_EQ(nested.result, static_cast<int32_t>(nested.bytes.size()));
    EXPECT_EQ(hex(nested.bytes.substr(0, 12)), "30 82 4E 2A 31 82 4E 24 04 82 4E 20");
    EXPECT_EQ(nested.bytes.substr(12, big.size()), big);
    EXPECT_EQ(hex(nested.bytes.substr(12 + big.size())), "05 00");
}

TEST(DerEncoderTest, ManyOpeningsGrowTheBuffer) {
    // Each opening keeps its gap; 2000 of them outgrow the first 8192 bytes.
    const std::string opens(2000, '{');
    const std::string closes(2000, '}');
    const Encoded out = encode(opens + "n" + closes, {});
    ASSERT_GT(out.result, 0);
    EXPECT_EQ(out.result, static_cast<int32_t>(out.bytes.size()));
    EXPECT_EQ(out.bytes.substr(out.bytes.size() - 4), std::string("\x30\x02\x05\x00", 4));
}

TEST(DerEncoderTest, Failures) {
    const std::string hex256(256, 'F');
    const std::string hex257(257, 'F');
    struct Case {
        const char* name;
        std::string templateText;
        std::vector<DerArg> args;
    };
    const std::vector<Case> cases = {
        // Arcs: 2 to 50 of them.
        {"one arc", "O", {arcs(ONE_ARC)}},
        {"51 arcs", "O", {arcs(MANY_ARCS)}},
        // The first arc is 0 to 2, the second 0 to 39, later ones not negative.
        {"first arc 3", "O", {arcs(FIRST_ARC_3)}},
        {"second arc 40", "O", {arcs(SECOND_ARC_40)}},
        {"negative later arc", "O", {arcs(NEGATIVE_LATER_ARC)}},
        // Hex digits only, and the length given must be the text's.
        {"hex integer with G", "I", {std::string_view("1G"), int32_t{2}}},
        {"hex integer, length differs", "I", {std::string_view("1A2"), int32_t{2}}},
        {"hex integer, negative length", "I", {std::string_view("1A2"), int32_t{-1}}},
        // No digits would make an INTEGER without content.
        {"hex integer, empty", "I", {std::string_view(""), int32_t{0}}},
        // More than 128 content bytes.
        {"hex integer, 257 digits", "I", {std::string_view(hex257), int32_t{257}}},
        // Every character is a directive; a blank is not one.
        {"blank", "i i", {int32_t{1}, int32_t{2}}},
        {"unknown directive", "x", {}},
        {"negative tag number", "tn", {int32_t{-2}}},
        {"negative tag number on an opening", "t{}", {int32_t{-5}}},
        {"( with -1", "(n)", {int32_t{-1}}},
        {"close with nothing open", "}", {}},
        {"close more than opened", "{}]", {}},
        {"negative bit count", "B", {std::string_view("\xFF"), int32_t{-1}}},
        // The bits must be there for the count.
        {"bit count beyond the bytes", "B", {std::string_view("\xFF"), int32_t{9}}},
        // Template and arguments must agree.
        {"missing argument", "i", {}},
        {"argument of the wrong kind", "o", {int32_t{4}}},
        {"argument left over", "n", {int32_t{4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encode(c.templateText, c.args).result, -1);
    }

    // The longest hex integer still fits.
    const Encoded longest = encode("I", {std::string_view(hex256), int32_t{256}});
    EXPECT_EQ(longest.result, 131);
    EXPECT_EQ(hex(longest.bytes.substr(0, 3)), "02 81 80");
}

TEST(DerEncoderTest, AnUnclosedElementIsNotCountedInTheLength) {
    // The total counts what was written; the encoder's length only what is
    // finished at the top level.
    auto encoder = qm::newDerEncoder();
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(qm::encodeTemplate(*encoder, "n{n", {}), 4);
    EXPECT_EQ(encoder->length, 2);
    EXPECT_EQ(encoder->openElements.size(), 1u);
    qm::freeDerEncoder(std::move(encoder));
    qm::freeDerEncoder(nullptr);
}

}  // namespace
