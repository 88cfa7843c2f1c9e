#include "package/form_package.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "control/state/codes.h"

namespace {

using qm::FormPackage;
using qm::PACKAGE_FAILED;
using qm::PACKAGE_OK;

using Files = std::vector<std::pair<std::string, std::string>>;

struct Contents {
    std::vector<std::string> items;
    Files files;
    bool operator==(const Contents&) const = default;
};

FormPackage build(const Contents& contents) {
    FormPackage package;
    for (const auto& item : contents.items) EXPECT_EQ(package.appendItem(item), PACKAGE_OK);
    for (const auto& [name, content] : contents.files) EXPECT_EQ(package.appendFile(name, content), PACKAGE_OK);
    return package;
}

// Read back through the copy-out calls, the way the members use them: size
// first, then into a buffer one byte longer.
Contents contentsOf(const FormPackage& package) {
    Contents contents;
    for (int32_t i = 0; i < package.itemCount(); ++i) {
        int32_t length = 0;
        EXPECT_EQ(package.itemAt(i, {}, &length), PACKAGE_OK);
        std::string item(static_cast<size_t>(length) + 1, '\0');
        EXPECT_EQ(package.itemAt(i, item, &length), PACKAGE_OK);
        item.resize(static_cast<size_t>(length));
        contents.items.push_back(item);
    }
    for (int32_t i = 0; i < package.fileCount(); ++i) {
        int32_t nameLength = 0;
        int32_t contentLength = 0;
        EXPECT_EQ(package.fileAt(i, {}, &nameLength, {}, &contentLength), PACKAGE_OK);
        std::string name(static_cast<size_t>(nameLength), '\0');
        std::string content(static_cast<size_t>(contentLength), '\0');
        EXPECT_EQ(package.fileAt(i, name, &nameLength, content, &contentLength), PACKAGE_OK);
        contents.files.emplace_back(name, content);
    }
    return contents;
}

std::string compose(const FormPackage& package) {
    int32_t length = -1;
    EXPECT_EQ(package.compose({}, &length), PACKAGE_OK);
    std::string text(static_cast<size_t>(length), '\0');
    EXPECT_EQ(package.compose(text, &length), PACKAGE_OK);
    EXPECT_EQ(text.size(), static_cast<size_t>(length));
    return text;
}

TEST(FormPackage, ComposesTheAgreedPlaintextAndReadsItBack) {
    struct Case {
        const char* name;
        Contents contents;
        std::string text;
    } cases[] = {
        {"items only", {{"ab", "xyz"}, {}}, "0000002100000002ab00000003xyz00000000"},
        {"one file", {{}, {{"a.txt", "hello"}}}, "00000000000000260000001800000005a.txthello"},
        {"item and file", {{"ab"}, {{"a.txt", "hello"}}}, "0000001000000002ab000000260000001800000005a.txthello"},
        {"one item of one byte", {{"x"}, {}}, "0000000900000001x00000000"},
        {"two files",
         {{}, {{"a", "1"}, {"bc", "23"}}},
         "00000000000000380000001000000001a10000001200000002bc23"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(compose(build(c.contents)), c.text);
        FormPackage parsed;
        ASSERT_EQ(parsed.parse(c.text), PACKAGE_OK);
        EXPECT_EQ(contentsOf(parsed), c.contents);
    }
}

TEST(FormPackage, EmptyPackageComposesToNothing) {
    FormPackage package;
    int32_t length = -1;
    EXPECT_EQ(package.compose({}, &length), PACKAGE_OK);
    EXPECT_EQ(length, 0);
}

TEST(FormPackage, OpaqueBytesRoundTrip) {
    const std::string nuls("\0a\0", 3);
    const Contents cases[] = {
        {{nuls, "00000000", "12345678", "9"}, {}},
        {{}, {{"00000005", "00000000"}, {nuls, std::string(1, '\0')}}},
        {{"00000000", std::string(300, '7')}, {{"99999999", nuls}, {"名字.txt", "内容"}}},
    };
    for (const Contents& contents : cases) {
        const std::string text = compose(build(contents));
        FormPackage parsed;
        ASSERT_EQ(parsed.parse(text), PACKAGE_OK) << text;
        EXPECT_EQ(contentsOf(parsed), contents);
        EXPECT_EQ(compose(parsed), text);
    }
}

TEST(FormPackage, ParseTakesWhatTheRulesAllow) {
    struct Case {
        const char* name;
        std::string text;
        Contents contents;
    } cases[] = {
        // The item lengths never reach the form total; the 8 bytes after the
        // item are taken for the marker whatever they hold.
        {"marker not examined", "0000002500000002abzzzzzzzz", {{"ab"}, {}}},
        {"nothing after the last item", "0000001000000002ab", {{"ab"}, {}}},
        {"bytes after the files total are ignored", "00000000000000260000001800000005a.txthellojunk",
         {{}, {{"a.txt", "hello"}}}},
        {"a zero entry length ends the files", "00000000000000400000001800000005a.txthello00000000zz",
         {{}, {{"a.txt", "hello"}}}},
        {"form section without items", "0000000800000000", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FormPackage parsed;
        ASSERT_EQ(parsed.parse(c.text), PACKAGE_OK);
        EXPECT_EQ(contentsOf(parsed), c.contents);
    }
}

TEST(FormPackage, InvalidInputLeavesNothingBehind) {
    const struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        // The marker alone: the files total after it is cut short.
        {"marker alone", "00000000"},
        // A total must be 8 digits.
        {"blank in the form total", "0000 02100000002ab00000003xyz00000000"},
        // A total may not claim more than the input holds.
        {"form total past the end", "0000009900000002ab00000000"},
        {"empty input", ""},
        // An item may not run past the end; the item before it is not kept.
        {"second item past the end", "0000002100000002ab00000020xyz00000000"},
        // After the form marker only a files total may follow.
        {"bytes after the form marker", "0000001000000002ab00000000X"},
        // A name must leave at least one byte of content.
        {"name fills the entry", "00000000000000210000001300000005a.txt"},
        // A name must have at least one byte.
        {"name length zero", "00000000000000260000001800000000a.txthello"},
        {"name length not digits", "0000000000000026000000180000000xa.txthello"},
        {"files total past the end", "00000000000000990000001800000005a.txthello"},
        {"entry past the end", "00000000000000260000002800000005a.txthello"},
        // In the form-and-files shape the files total after the items is
        // bound by the input too.
        {"files total after the items past the end", "0000001000000002ab000000990000001800000005a.txthello"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FormPackage package;
        EXPECT_EQ(package.parse(c.text), PACKAGE_FAILED);
        EXPECT_EQ(package.itemCount(), 0);
        EXPECT_EQ(package.fileCount(), 0);
    }
}

TEST(FormPackage, ReadLength) {
    const struct Case {
        const char* name;
        std::string text;
        size_t position;
        int32_t value;
    } cases[] = {
        {"zero", "00000000", 0, 0},
        {"a value", "00000123", 0, 123},
        {"the largest", "99999999", 0, 99999999},
        {"at an offset", "xx00000042yy", 2, 42},
        // Each of the 8 bytes must be an ASCII digit.
        {"blank", "0000 021", 0, 0},
        {"sign", "+0000001", 0, 0},
        {"minus", "-0000001", 0, 0},
        {"letter", "0000012a", 0, 0},
        // A field cut short by the end of the input.
        {"seven bytes", "0000012", 0, 0},
        {"past the end", "00000012", 9, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qm::readLength(c.text, c.position), c.value);
    }
}

TEST(FormPackage, MissingAndEmptyArguments) {
    FormPackage package;
    EXPECT_EQ(package.appendItem(""), qm::ERR_NO_SOURCE);
    EXPECT_EQ(package.appendItem(std::string_view()), qm::ERR_NO_SOURCE);
    EXPECT_EQ(package.appendFile("", "x"), qm::ERR_NO_SOURCE);
    EXPECT_EQ(package.appendFile("x", ""), qm::ERR_NO_SOURCE);
    EXPECT_EQ(package.itemCount(), 0);
    EXPECT_EQ(package.fileCount(), 0);
    EXPECT_EQ(package.parse(std::string_view()), qm::ERR_NO_SOURCE);

    ASSERT_EQ(package.appendItem("abc"), PACKAGE_OK);
    ASSERT_EQ(package.appendFile("n", "c"), PACKAGE_OK);
    int32_t length = 0;
    int32_t other = 0;
    EXPECT_EQ(package.itemAt(0, {}, nullptr), qm::ERR_NO_SOURCE);
    EXPECT_EQ(package.fileAt(0, {}, &length, {}, nullptr), qm::ERR_NO_SOURCE);
    EXPECT_EQ(package.compose({}, nullptr), qm::ERR_NO_SOURCE);
    EXPECT_EQ(package.itemAt(-1, {}, &length), PACKAGE_FAILED);
    EXPECT_EQ(package.itemAt(1, {}, &length), PACKAGE_FAILED);
    EXPECT_EQ(package.fileAt(1, {}, &length, {}, &other), PACKAGE_FAILED);

    // A destination that cannot hold the whole result gets nothing.
    std::string small(2, '-');
    EXPECT_EQ(package.itemAt(0, small, &length), PACKAGE_FAILED);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(package.compose(small, &length), PACKAGE_FAILED);
    EXPECT_EQ(small, "--");

    package.clear();
    EXPECT_EQ(package.itemCount(), 0);
    EXPECT_EQ(package.fileCount(), 0);
}

// An 8-digit field holds at most 99,999,999: a package that needs more is
// refused whole, never written with a ninth digit.
TEST(FormPackage, LengthsMustFitTheirFields) {
    const struct Case {
        const char* name;
        bool asFile;  // a file named "n" with that much content, else an item
        size_t size;
        int32_t length;  // the composed length, 0 when refused
    } cases[] = {
        {"form total 99,999,999", false, 99999991, 8 + 99999999 + 8},
        {"form total 100,000,000", false, 99999992, 0},
        {"files total 99,999,999", true, 99999982, 8 + 8 + 99999999},
        // The entry (99,999,993) fits, the total does not.
        {"files total 100,000,001", true, 99999984, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes(c.size, '7');
        FormPackage package;
        ASSERT_EQ(c.asFile ? package.appendFile("n", bytes) : package.appendItem(bytes), PACKAGE_OK);
        int32_t length = -1;
        EXPECT_EQ(package.compose({}, &length), c.length ? PACKAGE_OK : PACKAGE_FAILED);
        EXPECT_EQ(length, c.length);
    }
}

}  // namespace
