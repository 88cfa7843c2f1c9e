#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage/codepage.h"

namespace {

using namespace std::string_literals;

// Every test here states its code page; the ANSI one is pinned to 936 so
// that a QUILLMARK_ANSI_CODEPAGE in the developer's shell changes nothing.
class Codepage : public ::testing::Test {
protected:
    void SetUp() override { codepage::setAnsiCodePage(codepage::CP_GBK); }
    void TearDown() override { codepage::setAnsiCodePage(0); }
};

uint64_t fnv1a(std::u16string_view text) {
    uint64_t hash = 0xCBF29CE484222325u;
    for (char16_t unit : text) {
        for (unsigned byte : {unit & 0xFFu, unsigned{unit} >> 8}) {
            hash ^= byte;
            hash *= 0x100000001B3u;
        }
    }
    return hash;
}

TEST_F(Codepage, Gbk936MapsTheTrickyCodesLikeWindowsBothWays) {
    struct Case {
        const char* name;
        std::string bytes;
        std::u16string wide;
    };
    const Case cases[] = {
        {"ASCII", "Az09 ~", u"Az09 ~"},
        {"Chinese", "\xD6\xD0\xCE\xC4", u"中文"},
        {"e acute is in GBK", "\xA8\xA6", u"\u00E9"},
        {"euro sign as single byte 0x80", "\x80", u"\u20AC"},
        {"0xFF, undefined in the published table", "\xFF", u"\uF8F5"},
        {"middle dot, U+30FB in GB2312 tables", "\xA1\xA4", u"\u00B7"},
        {"em dash, U+2015 in GB2312 tables", "\xA1\xAA", u"\u2014"},
        {"horizontal bar", "\xA8\x44", u"\u2015"},
        {"hyphen", "\xA9\x5C", u"\u2010"},
        {"first user-defined code AAA1", "\xAA\xA1", u"\uE000"},
        {"user-defined block F8A1", "\xF8\xA1", u"\uE234"},
        {"last code of that block", "\xFE\xFE", u"\uE4C5"},
        {"user-defined block A140", "\xA1\x40", u"\uE4C6"},
        {"last code of that block", "\xA7\xA0", u"\uE765"},
        {"A2E3, the euro sign in GB18030", "\xA2\xE3", u"\uE76C"},
        {"A8BC, U+1E3F in GB18030", "\xA8\xBC", u"\uE7C7"},
        {"FE51, outside the BMP in GB18030", "\xFE\x51", u"\uE816"},
        {"last private use code", "\xFE\xA0", u"\uE864"},
        {"trail byte in the lead byte range", "\x81\x81", u"\u4E96"},
        {"embedded NUL carried through", "a\0\xD6\xD0\0b"s, u"a\0中\0b"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codepage::toWide(c.bytes, 936), c.wide);
        EXPECT_EQ(codepage::fromWide(c.wide, 936), c.bytes);
        EXPECT_EQ(codepage::wideFromAnsi(c.bytes), c.wide);
        EXPECT_EQ(codepage::ansiFromWide(c.wide), c.bytes);
    }
}

TEST_F(Codepage, Gbk936WholeTableMatchesWindows) {
    // Every single byte that is not a lead byte, then every lead/trail pair.
    std::string all;
    for (int byte = 0; byte <= 0x80; ++byte) all += static_cast<char>(byte);
    all += '\xFF';
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (trail == 0x7F) continue;
            all += static_cast<char>(lead);
            all += static_cast<char>(trail);
        }
    }
    const std::u16string wide = codepage::toWide(all, 936);
    ASSERT_EQ(wide.size(), 130u + 126u * 190u);
    // FNV-1a over the UTF-16 units (low byte first) of Windows' table for
    // these codes in this order, taken from ICU's windows-936-2000
    // converter, whose rows agree with the vendor's published ones.
    EXPECT_EQ(fnv1a(wide), 0x4C6F88C6639DF86Cu);
    // No two codes share a character, so every one of them comes back.
    EXPECT_EQ(codepage::fromWide(wide, 936), all);
}

TEST_F(Codepage, WhatThePageCannotHoldBecomesQuestionMarks) {
    struct Case {
        const char* name;
        uint32_t codePage;
        std::u16string wide;
        std::string bytes;
    };
    const Case cases[] = {
        {"Thai is not in GBK", 936, u"A\u0E01B", "A?B"},
        {"U+0080 is not byte 0x80", 936, u"\u0080", "?"},
        {"no best fit: parenthesised one stays out", 936, u"\u3192", "?"},
        {"replacement character", 936, u"\uFFFD", "?"},
        // Each UTF-16 unit on its own, as Windows converts.
        {"character outside the BMP", 936, u"x\U0001F600y", "x??y"},
        {"unpaired high surrogate", 936, u"a"s + u'\xD800' + u"b", "a?b"},
        {"unpaired low surrogate", 936, u"a"s + u'\xDC00' + u"b", "a?b"},
        {"high surrogate at the end", 936, u"a"s + u'\xDBFF', "a?"},
        {"surrogates in the wrong order", 936, u"\xDC00\xD800"s, "??"},
        {"Chinese in 1252", 1252, u"a中", "a?"},
        {"UTF-8 keeps a pair", 65001, u"\U0001F600", "\xF0\x9F\x98\x80"},
        {"UTF-8 unpaired high surrogate", 65001, u"a"s + u'\xD800' + u"b", "a?b"},
        {"UTF-8 unpaired low surrogate", 65001, u"\xDFFF"s, "?"},
        {"UTF-8 reversed pair", 65001, u"\xDC00\xD800"s, "??"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codepage::fromWide(c.wide, c.codePage), c.bytes);
    }
}

TEST_F(Codepage, InvalidBytesNeverStopTheConversion) {
    struct Case {
        const char* name;
        uint32_t codePage;
        std::string bytes;
        std::u16string wide;
    };
    const Case cases[] = {
        // A stray lead byte becomes '?' and the byte after it stands on its own.
        {"lead byte at the end", 936, "ab\xD6", u"ab?"},
        {"lead byte before NUL", 936, "\xBF\xB4\xC7\0x"s, u"\u770B?\0x"s},
        {"lead byte before a digit", 936, "\x81" "0", u"?0"},
        {"lead byte before DEL", 936, "\x81\x7F", u"?\x7F"},
        {"lead byte before 0xFF", 936, "\x81\xFF", u"?\uF8F5"},
        {"text goes on after a broken pair", 936, "\xD6\xD0\x81 \xCE\xC4", u"中? 文"},
        // UTF-8: one U+FFFD per maximal subpart.
        {"UTF-8 C0 is never a lead byte", 65001, "\xC0", u"\uFFFD"},
        {"UTF-8 overlong two-byte form", 65001, "\xC0\xC0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"UTF-8 E0 needs A0 or more", 65001, "\xE0\xC0", u"\uFFFD\uFFFD"},
        {"UTF-8 broken by a space", 65001, "\xE0 \xC0", u"\uFFFD \uFFFD"},
        {"UTF-8 truncated three-byte sequence", 65001, "\xE6\x97" "A", u"\uFFFDA"},
        {"UTF-8 truncated at the end", 65001, "a\xF0\x9F\x98", u"a\uFFFD"},
        {"UTF-8 encoded surrogate", 65001, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"UTF-8 overlong four-byte form", 65001, "\xF0\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"UTF-8 above U+10FFFF", 65001, "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"UTF-8 five-byte form", 65001, "\xF8\xA3\xA3\xA3\xA3", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"UTF-8 lone continuation bytes", 65001, "\x80\xBF", u"\uFFFD\uFFFD"},
        {"UTF-8 NUL carried through", 65001, "a\0\xE4\xB8\xAD"s, u"a\0中"s},
        {"UTF-8 outside the BMP", 65001, "\xF0\x9F\x98\x80", u"\U0001F600"},
        // 1252: Windows maps its holes to C1 controls.
        {"1252 hole", 1252, "\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"},
        {"1252 euro and e acute", 1252, "\x80\xE9", u"\u20AC\u00E9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codepage::toWide(c.bytes, c.codePage), c.wide);
    }
}

TEST_F(Codepage, UnknownPagesFallBackToAscii) {
    // 12345 is no code page at all; glibc's CP930 is EBCDIC with shift
    // sequences, not a byte table.
    for (uint32_t codePage : {12345u, 930u}) {
        SCOPED_TRACE(codePage);
        EXPECT_EQ(codepage::toWide("Az\x80\xD6\xD0", codePage), u"Az???");
        EXPECT_EQ(codepage::fromWide(u"Az\u00E9中", codePage), "Az??");
    }
}

TEST_F(Codepage, AsciiRoundTripsInEveryPage) {
    std::string ascii;
    std::u16string wide;
    for (int byte = 0; byte < 0x80; ++byte) {
        ascii += static_cast<char>(byte);
        wide += static_cast<char16_t>(byte);
    }
    for (uint32_t codePage : {936u, 65001u, 1252u, 1250u, 932u, 12345u}) {
        SCOPED_TRACE(codePage);
        EXPECT_EQ(codepage::toWide(ascii, codePage), wide);
        EXPECT_EQ(codepage::fromWide(wide, codePage), ascii);
    }
}

TEST_F(Codepage, TheAnsiCodePageFollowsTheOverride) {
    EXPECT_EQ(codepage::ansiCodePage(), 936u);
    EXPECT_EQ(codepage::ansiFromWide(u"中"), "\xD6\xD0");
    codepage::setAnsiCodePage(codepage::CP_UTF8);
    EXPECT_EQ(codepage::ansiCodePage(), 65001u);
    EXPECT_EQ(codepage::ansiFromWide(u"中"), "\xE4\xB8\xAD");
    EXPECT_EQ(codepage::wideFromAnsi("\xE4\xB8\xAD"), u"中");
    codepage::setAnsiCodePage(1252);
    EXPECT_EQ(codepage::fromWide(u"\u20AC", codepage::CP_ACP), "\x80");
    EXPECT_EQ(codepage::gbkFromWide(u"中"), "\xD6\xD0");
    EXPECT_EQ(codepage::wideFromGbk("\xD6\xD0"), u"中");
}

TEST_F(Codepage, Utf8AndAnsiConvertThroughUtf16) {
    struct Case {
        const char* name;
        std::string ansi;
        std::string utf8;
    };
    const Case cases[] = {
        {"ASCII", "plain", "plain"},
        {"Chinese", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"euro", "\x80", "\xE2\x82\xAC"},
        {"embedded NUL", "a\0\xD6\xD0"s, "a\0\xE4\xB8\xAD"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codepage::utf8FromAnsi(c.ansi), c.utf8);
        EXPECT_EQ(codepage::ansiFromUtf8(c.utf8), c.ansi);
    }
    // One way only: what does not convert becomes '?' or U+FFFD.
    EXPECT_EQ(codepage::utf8FromAnsi("a\xD6"), "a?");
    EXPECT_EQ(codepage::ansiFromUtf8("\xE0\xB8\x81"), "?");   // Thai
    EXPECT_EQ(codepage::ansiFromUtf8("a\xC0" "b"), "a?b");    // U+FFFD is not in GBK
}

TEST_F(Codepage, LargeTextsRoundTrip) {
    // Runs of ASCII long enough for the fast paths, broken by double-byte
    // and private-use characters at every alignment.
    const std::u16string pattern = u"The quick brown fox 中文签名 \u20AC\uE000 jumps\r\n";
    std::u16string text;
    while (text.size() < (8u << 20)) {
        text += pattern;
        text += std::u16string(text.size() % 13, u'x');
    }
    for (uint32_t codePage : {936u, 65001u}) {
        SCOPED_TRACE(codePage);
        const std::string bytes = codepage::fromWide(text, codePage);
        EXPECT_GT(bytes.size(), text.size());
        EXPECT_EQ(bytes.find('?'), std::string::npos);
        EXPECT_TRUE(codepage::toWide(bytes, codePage) == text);
    }
}

TEST_F(Codepage, ThreadsBuildingOnePageAgree) {
    // 1251 is used nowhere else in this binary, so the threads race to
    // build its table.
    const std::string bytes = "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0";
    std::vector<std::u16string> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&result, &bytes] { result = codepage::toWide(bytes, 1251); });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) EXPECT_EQ(result, u"Привет, мир");
}

}  // namespace
