#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/state/boundary.h"
#include "control/state/codes.h"
#include "platform/codepage/codepage.h"
#include "support/test_home.h"
#include "token/token_message.h"

using namespace testing_support;

namespace {

std::string be32(uint32_t value) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
    return bytes;
}

std::string element(uint8_t tag, std::string_view value) {
    return std::string(1, static_cast<char>(tag)) + be32(static_cast<uint32_t>(value.size())) + std::string(value);
}

std::string build(const qm::Text& warning, const qm::Text& csp, const qm::Text& key, const qm::Text& name,
                  const qm::Text& data) {
    std::string message;
    EXPECT_EQ(qm::buildTokenMessage(warning, csp, key, name, data, message), qm::OK);
    return message;
}

TEST(TokenMessageTest, TheSmallestMessage) {
    const std::string message = build("W", "C", "K", std::nullopt, std::nullopt);
    const std::string expected = std::string("\x10\x00\x00\x00\x01W", 6) + std::string("\x11\x00\x00\x00\x3C", 5) +
                                 std::string("\x21\x00\x00\x00\x01" "C", 6) + std::string("\x25\x00\x00\x00\x2B", 5) +
                                 std::string(43, '0') + std::string("\x22\x00\x00\x00\x01K", 6);
    EXPECT_EQ(message.size(), 71u);
    EXPECT_EQ(message, expected);
}

TEST(TokenMessageTest, Layouts) {
    struct Case {
        const char* name;
        qm::Text csp, fileName, fileData;
        uint32_t padding;
        bool fileElements;
    };
    const std::string csp44(44, 'c');
    const std::vector<Case> cases = {
        // C + 20 = 64: a whole block of padding rather than none.
        {"padding 64, not 0", csp44, std::nullopt, std::nullopt, 64, false},
        {"with a file", std::string("C"), std::string("a.txt"), std::string("data"), 64 - (1 + 5 + 4 + 30) % 64, true},
        {"file name without data", std::string("C"), std::string("a.txt"), std::nullopt, 43, false},
        {"file data without a name", std::string("C"), std::nullopt, std::string("data"), 43, false},
        {"file filling the block", std::string(24, 'c'), std::string("n"), std::string(9, 'd'), 64, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = build(std::string("warn"), c.csp, std::string("key\nhash"), c.fileName, c.fileData);
        std::string body = element(0x21, *c.csp);
        if (c.fileElements) body += element(0x23, *c.fileName) + element(0x24, *c.fileData);
        body += element(0x25, std::string(c.padding, '0')) + element(0x22, "key\nhash");
        EXPECT_EQ(message, element(0x10, "warn") + element(0x11, body));
    }
}

TEST(TokenMessageTest, TheKeyHashAlwaysStartsOnA64ByteBoundary) {
    for (size_t c = 0; c < 200; c += 7) {
        for (const bool withFile : {false, true}) {
            SCOPED_TRACE(testing::Message() << "C = " << c << (withFile ? " with a file" : ""));
            const qm::Text name = withFile ? qm::Text(std::string(c % 5 + 1, 'n')) : std::nullopt;
            const qm::Text data = withFile ? qm::Text(std::string(c * 3 + 1, 'd')) : std::nullopt;
            const std::string message = build(std::string("w"), std::string(c, 'c'), std::string("KEY"), name, data);
            const size_t body = 6;  // behind the one-byte warning element
            const size_t keyValue = message.size() - 3;
            EXPECT_EQ((keyValue - body) % 64, 0u);
            const uint32_t p = qm::tokenPaddingLength(
                c, withFile ? std::optional<uint64_t>(name->size() + data->size()) : std::nullopt);
            EXPECT_GE(p, 1u);
            EXPECT_LE(p, 64u);
        }
    }
}

TEST(TokenMessageTest, TheThreeTextsAreRequired) {
    const qm::Text some = std::string("x");
    struct Case {
        const char* name;
        qm::Text warning, csp, key;
    };
    for (const Case& c : std::vector<Case>{{"no warning", std::nullopt, some, some},
                                          {"no CSP hash message", some, std::nullopt, some},
                                          {"no key hash message", some, some, std::nullopt}}) {
        SCOPED_TRACE(c.name);
        std::string message = "left over";
        EXPECT_EQ(qm::buildTokenMessage(c.warning, c.csp, c.key, some, some, message), qm::ERR_NO_SOURCE);
        EXPECT_TRUE(message.empty());
    }
}

// The setters, on the object's state directly: what they stage is not
// visible through the interface until a signature carries it.
class TokenSettersTest : public HomeTest {
protected:
    qm::ControlState state;

    static com::Bstr text(std::u16string_view value) { return com::Bstr(value); }
    // errMsg in UTF-8, "(null)" when there is none.
    std::string errMsg() const {
        return state.errMsg.isNull() ? "(null)" : codepage::utf8FromWide(state.errMsg.view());
    }
    std::filesystem::path driveC() const { return home.path() / "drives" / "c"; }
};

TEST_F(TokenSettersTest, TextsAreStagedAsAnsiAndReplaced) {
    ASSERT_EQ(qm::members::QMSetWarningMsg(state, text(u"请确认转账").get()), S_OK);
    ASSERT_EQ(qm::members::QMSetWarningMsg(state, text(u"第二次").get()), S_OK);
    EXPECT_EQ(state.warningMsg, qm::ansiFromUtf8("第二次"));
    EXPECT_EQ(state.errorNum, 0);
    EXPECT_TRUE(state.errMsg.isNull());

    ASSERT_EQ(qm::members::QMSetCSPHashMsg(state, text(u"csp 摘要").get()), S_OK);
    EXPECT_EQ(state.cspHashMsg, qm::ansiFromUtf8("csp 摘要"));
}

TEST_F(TokenSettersTest, KeyHashMessageLosesTheCrOfEachCrLf) {
    struct Case {
        const char* name;
        std::u16string given;
        std::string staged;
    };
    for (const Case& c : std::vector<Case>{{"mixed", u"a\r\nb\rc", "a\nb\rc"},
                                          {"pairs in a row", u"\r\n\r\n", "\n\n"},
                                          {"CR at the end stays", u"x\r", "x\r"},
                                          {"CR CR LF", u"\r\r\n", "\r\n"},
                                          {"nothing to change", u"line", "line"}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(qm::members::QMSetKeyHashMsg(state, text(c.given).get()), S_OK);
        EXPECT_EQ(state.keyHashMsg, c.staged);
    }
}

TEST_F(TokenSettersTest, AMissingTextFailsAndKeepsTheEarlierOne) {
    using Setter = HRESULT (*)(qm::ControlState&, BSTR);
    struct Case {
        const char* name;
        Setter setter;
        qm::Text qm::ControlState::*field;
    };
    const std::vector<Case> cases = {{"warning", qm::members::QMSetWarningMsg, &qm::ControlState::warningMsg},
                                     {"CSP hash", qm::members::QMSetCSPHashMsg, &qm::ControlState::cspHashMsg},
                                     {"key hash", qm::members::QMSetKeyHashMsg, &qm::ControlState::keyHashMsg}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.setter(state, text(u"kept").get()), S_OK);
        EXPECT_EQ(c.setter(state, text(u"").get()), S_FALSE);
        EXPECT_EQ(state.errorNum, qm::ERR_NO_SOURCE);
        EXPECT_EQ(errMsg(), "警告信息为空");
        EXPECT_EQ(c.setter(state, nullptr), S_FALSE);
        EXPECT_EQ(state.errorNum, qm::ERR_NO_SOURCE);
        EXPECT_EQ(state.*c.field, "kept");
    }
}

TEST_F(TokenSettersTest, UserFileByPathOrDialog) {
    std::filesystem::create_directories(driveC() / "in");
    writeFile(driveC() / "in" / "statement.bin", std::string("abc\0def", 7));
    ASSERT_EQ(qm::members::QMSetUserFileName(state, text(u"c:\\in\\statement.bin").get()), S_OK);
    EXPECT_EQ(state.userFileName, "statement.bin");
    EXPECT_EQ(state.userFileData, std::string("abc\0def", 7));

    // A failed read keeps what was staged.
    EXPECT_EQ(qm::members::QMSetUserFileName(state, text(u"c:\\in\\missing.bin").get()), S_FALSE);
    EXPECT_EQ(state.errorNum, qm::ERR_FILE_READ);
    EXPECT_EQ(errMsg(), "读取文件失败");
    EXPECT_EQ(state.userFileName, "statement.bin");

    home.answer("cancel");
    EXPECT_EQ(qm::members::QMSetUserFileName(state, text(u"").get()), S_FALSE);
    EXPECT_EQ(state.errorNum, qm::ERR_NO_FILE);
    EXPECT_EQ(errMsg(), "没有选择文件或者文件没有找到");
    EXPECT_EQ(state.userFileData, std::string("abc\0def", 7));

    // No name opens the dialog, server mode or not.
    state.serverMode = 1;
    writeFile(home.path() / "chosen.txt", "chosen");
    home.answer("file " + (home.path() / "chosen.txt").string());
    ASSERT_EQ(qm::members::QMSetUserFileName(state, nullptr), S_OK);
    EXPECT_EQ(state.userFileName, "chosen.txt");
    EXPECT_EQ(state.userFileData, "chosen");
    ASSERT_EQ(home.ui().requests().size(), 2u);
    EXPECT_EQ(home.ui().requests()[1].kind, "open");
    EXPECT_EQ(home.ui().requests()[1].title, "选择文件");
    EXPECT_EQ(home.ui().requests()[1].filter, "*.*");
}

}  // namespace
