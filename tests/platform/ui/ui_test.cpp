#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/ui/ui.h"

namespace {

using Kind = ui::ScriptedAnswer::Kind;

TEST(ParseScriptedAnswer, ReadsTheAnswersFileForms) {
    struct Case {
        const char* name;
        std::string line;
        std::optional<Kind> kind;  // nullopt: the line is refused
        int index = 0;
        std::string text = {};
    };
    const Case cases[] = {
        {"ok", "ok", Kind::Ok},
        {"cancel with blanks around", " \tcancel  ", Kind::Cancel},
        {"yes with a CR LF ending", "yes\r\n", Kind::Yes},
        {"no", "no", Kind::No},
        {"first entry", "select 0", Kind::Select, 0},
        {"nothing selected", "select -1", Kind::Select, -1},
        {"several digits", "select  12", Kind::Select, 12},
        {"path with spaces", "file /tmp/my dir/out file.p7", Kind::File, 0, "/tmp/my dir/out file.p7"},
        {"UTF-8 Windows path", "file c:\\目录\\签名.p7 ", Kind::File, 0, "c:\\目录\\签名.p7"},
        {"pin with inner blanks", "pin  12 34  ", Kind::Pin, 0, "12 34"},
        // Not an answer at all.
        {"empty line", "", std::nullopt},
        {"blank line", " \t ", std::nullopt},
        {"unknown word", "maybe", std::nullopt},
        // Keywords are lower case.
        {"upper case", "OK", std::nullopt},
        // A keyword without an argument takes nothing after it.
        {"ok with trailing words", "ok then", std::nullopt},
        {"keyword glued to more letters", "okay", std::nullopt},
        // select needs one decimal number, -1 or more.
        {"select without a number", "select", std::nullopt},
        {"select with a word", "select first", std::nullopt},
        {"select below -1", "select -2", std::nullopt},
        {"select with a sign", "select +1", std::nullopt},
        {"select with two numbers", "select 1 2", std::nullopt},
        {"select beyond int", "select 99999999999", std::nullopt},
        // file and pin need their argument.
        {"file without a path", "file   ", std::nullopt},
        {"pin without text", "pin", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto answer = ui::parseScriptedAnswer(c.line);
        ASSERT_EQ(answer.has_value(), c.kind.has_value());
        if (!answer) continue;
        EXPECT_EQ(answer->kind, *c.kind);
        if (answer->kind == Kind::Select) {
            EXPECT_EQ(answer->index, c.index);
        }
        EXPECT_EQ(answer->text, c.text);
    }
}

TEST(Measure, SixUnitsPerAnsiByteAndSafeDefaults) {
    EXPECT_EQ(ui::measureText(""), 0);
    EXPECT_EQ(ui::measureText("CN=a"), 24);
    EXPECT_EQ(ui::measureText("\xd6\xd0\xce\xc4"), 24);  // two GBK characters, four bytes

    EXPECT_EQ(ui::safeDefault({"t", "c", ui::Buttons::Ok}), ui::Button::Ok);
    EXPECT_EQ(ui::safeDefault({"t", "c", ui::Buttons::YesNo, ui::Icon::Question}), ui::Button::No);
}

}  // namespace
