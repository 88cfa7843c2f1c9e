#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/codepage/codepage.h"

namespace {

// Nothing in this binary converts before a child process sets the
// environment, so each child reads QUILLMARK_ANSI_CODEPAGE afresh.
TEST(AnsiCodePageEnvironment, IsReadOnceAndOverridable) {
    struct Case {
        const char* name;
        const char* value;  // nullptr: not set
        uint32_t expected;
    };
    const Case cases[] = {
        {"not set", nullptr, 936},
        {"Western", "1252", 1252},
        {"UTF-8", "65001", 65001},
        // Anything but a plain decimal code page leaves the default.
        {"empty", "", 936},
        {"zero", "0", 936},
        {"not a number", "gbk", 936},
        {"sign", "+1252", 936},
        {"blank", " 1252", 936},
        {"out of range", "70000", 936},
        {"overflowing", "99999999999999999999", 936},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                if (c.value) {
                    setenv("QUILLMARK_ANSI_CODEPAGE", c.value, 1);
                } else {
                    unsetenv("QUILLMARK_ANSI_CODEPAGE");
                }
                std::optional<const char*> fault;
                if (codepage::ansiCodePage() != c.expected) fault = "first read";
                // Read once: a later change of the environment is not seen.
                setenv("QUILLMARK_ANSI_CODEPAGE", "1251", 1);
                if (!fault && codepage::ansiCodePage() != c.expected) fault = "second read";
                codepage::setAnsiCodePage(950);
                if (!fault && codepage::ansiCodePage() != 950) fault = "override";
                codepage::setAnsiCodePage(0);
                if (!fault && codepage::ansiCodePage() != c.expected) fault = "back to the environment";
                if (fault) std::fprintf(stderr, "%s: got %u\n", *fault, codepage::ansiCodePage());
                std::exit(fault ? 1 : 0);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
