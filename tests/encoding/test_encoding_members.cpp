#include <gtest/gtest.h>

#include "control_fixture.h"

using namespace testing_support;

namespace {

TEST_F(ControlTest, Base64MembersUseTheAnsiBytes) {
    struct Case {
        const char* input;
        const char* encoded;
    } cases[] = {
        {"abc", "YWJj\n"},
        {"中文", "1tDOxA==\n"},  // the GBK bytes D6 D0 CE C4
        {"ab", "YWI=\n"},
        {"0123456789abcdef0123456789abcdef0123456789abcdef",
         "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWYwMTIzNDU2Nzg5YWJjZGVm\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        CallResult encoded = call(control(), "QMBase64Encode", {c.input});
        EXPECT_EQ(encoded.hr, S_OK);
        EXPECT_EQ(encoded.text(), c.encoded);
        CallResult decoded = call(control(), "QMBase64Decode", {c.encoded});
        EXPECT_EQ(decoded.hr, S_OK);
        EXPECT_EQ(decoded.text(), c.input);
        EXPECT_EQ(errorNum(control()), 0);
    }
}

TEST_F(ControlTest, Base64DecodeOutcomes) {
    struct Case {
        const char* name;
        const char* text;
        HRESULT hr;
        int32_t code;
        const char* result;
        const char* message;
    } cases[] = {
        {"without the line feed", "YWJj", S_OK, 0, "abc", ""},
        {"unfinished group", "YWJ", S_FALSE, -10002, "", "Base64解码失败"},
        {"nothing of the alphabet", "!!!!", S_OK, 0, "", ""},
        {"ends at the first NUL byte", "YQBi", S_OK, 0, "a", ""},
        {"empty", "", S_FALSE, -10001, "", "源数据为空"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CallResult decoded = call(control(), "QMBase64Decode", {c.text});
        EXPECT_EQ(decoded.hr, c.hr);
        EXPECT_EQ(decoded.text(), c.result);
        EXPECT_EQ(errorNum(control()), c.code);
        EXPECT_EQ(errMsg(control()), c.message);
    }
}

TEST_F(ControlTest, FirstGenerationBase64HandsItsResultOutOnce) {
    ASSERT_EQ(put(control(), "base64In", "中文"), S_OK);
    ASSERT_EQ(call(control(), "Base64Encode").hr, S_OK);
    EXPECT_EQ(get(control(), "base64Out").text(), "1tDOxA==");
    EXPECT_EQ(get(control(), "base64Out").text(), "");

    // The plain decoder goes on past padding.
    ASSERT_EQ(put(control(), "base64In", "YWI=YWJj"), S_OK);
    ASSERT_EQ(call(control(), "Base64Decode").hr, S_OK);
    EXPECT_EQ(get(control(), "base64Out").text(), "ababc");

    ASSERT_EQ(put(control(), "base64In", ""), S_OK);
    EXPECT_EQ(call(control(), "Base64Decode").hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -14);
    EXPECT_EQ(get(control(), "base64Out").text(), "");
    // The first generation leaves errMsg alone.
    EXPECT_EQ(errMsg(control()), "");

    // base64Out released the input too: there is nothing left to encode.
    EXPECT_EQ(call(control(), "Base64Encode").hr, S_FALSE);
}

TEST_F(ControlTest, NullBase64InputWarns) {
    home.answer("ok");
    EXPECT_EQ(put(control(), "base64In", ScriptValue::null()), S_FALSE);
    ASSERT_EQ(home.ui().requests().size(), 1u);
    const auto& box = home.ui().requests()[0];
    EXPECT_EQ(box.kind, "box");
    EXPECT_EQ(box.text, "BASE64变换的输入内容为空!");
    EXPECT_EQ(box.caption, "错误");
    EXPECT_EQ(box.icon, "warning");
    EXPECT_EQ(box.owner, "none");
    EXPECT_EQ(errorNum(control()), 0);
}

TEST_F(ControlTest, VersionLeavesTheLastFailureText) {
    call(control(), "QMBase64Decode", {"YWJ"});
    CallResult version = call(control(), "getVersion");
    EXPECT_EQ(version.hr, S_OK);
    EXPECT_EQ(version.text(), "KestrinQuillmark 1.0.44.1");
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_EQ(errMsg(control()), "Base64解码失败");
}

}  // namespace
