#include "script_text.h"

#include <gtest/gtest.h>

namespace {

TEST(ScriptText, EngineStringsBecomeUtf16) {
    struct Case {
        const char* name;
        std::string bytes;
        std::u16string expected;
    };
    const Case cases[] = {
        {"ASCII", "abc", u"abc"},
        {"Chinese", "\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587"},
        // Duktape's own form of a non-BMP character: two surrogates, three bytes each.
        {"CESU-8 pair", "\xED\xA0\xBD\xED\xB8\x80", u"\xD83D\xDE00"},
        {"UTF-8 four-byte sequence", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"lone surrogate", "\xED\xA0\x80x", u"\xD800x"},
        {"NUL inside", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        // Invalid: a continuation byte with no lead.
        {"stray continuation", "a\x80z", u"a\xFFFDz"},
        // Invalid: a lead byte whose sequence is cut short.
        {"truncated sequence", "a\xE4\xB8", u"a\xFFFD\xFFFD"},
        // Invalid: an overlong form of '/'.
        {"overlong", "\xC0\xAF", u"\xFFFD\xFFFD"},
        // Invalid: past U+10FFFF (the engine's prefix for hidden keys).
        {"beyond Unicode", "\xFF" "k", u"\xFFFDk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(host::utf16FromScript(c.bytes), c.expected);
    }
}

TEST(ScriptText, Utf16GoesBackAsTheEngineKeepsItAndOutAsUtf8) {
    struct Case {
        const char* name;
        std::u16string text;
        std::string engine;
        std::string utf8;
    };
    const Case cases[] = {
        {"Chinese", u"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"pair", u"\xD83D\xDE00", "\xED\xA0\xBD\xED\xB8\x80", "\xF0\x9F\x98\x80"},
        // UTF-8 cannot carry a lone surrogate; the engine can.
        {"lone high surrogate", u"x\xD800", "x\xED\xA0\x80", "x\xEF\xBF\xBD"},
        {"low before high", u"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(host::scriptFromUtf16(c.text), c.engine);
        EXPECT_EQ(host::utf8FromUtf16(c.text), c.utf8);
        EXPECT_EQ(host::utf16FromScript(host::scriptFromUtf16(c.text)), c.text);
    }
}

}  // namespace
