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

namespace {

constexpr const char* ABC_DIGEST = "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=";

TEST_F(ControlTest, DigestOfTextIsTheBareSha1InBase64) {
    CallResult abc = call(control(), "QMHashAndBase64Encode", {"abc"});
    EXPECT_EQ(abc.hr, S_OK);
    EXPECT_EQ(abc.text(), std::string(ABC_DIGEST) + "\n");
    // The two GBK bytes of each character are digested.
    EXPECT_EQ(call(control(), "QMHashAndBase64Encode", {"中文"}).text(), "jwMCNG5GrHm2O8x2Kmhy/NJC204=\n");
    EXPECT_EQ(call(control(), "QMHashAndBase64Encode", {""}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
    EXPECT_EQ(errMsg(control()), "源数据为空");
}

TEST_F(ControlTest, FirstGenerationDigestIsReadOnce) {
    EXPECT_EQ(call(control(), "hash1Base64", {"abc"}).hr, S_OK);
    EXPECT_EQ(get(control(), "hash1Base64Result").text(), ABC_DIGEST);
    EXPECT_EQ(get(control(), "hash1Base64Result").text(), "");
    // An empty text is digested as zero bytes; no text at all is refused.
    EXPECT_EQ(call(control(), "hash1Base64", {""}).hr, S_OK);
    EXPECT_EQ(get(control(), "hash1Base64Result").text(), "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
    EXPECT_EQ(call(control(), "hash1Base64", {ScriptValue::null()}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -1);
    EXPECT_EQ(errMsg(control()), "");
}

TEST_F(ControlTest, DigestOfAFile) {
    writeFile(home.path() / "drives" / "c" / "data" / "abc.bin", "abc");
    writeFile(home.path() / "drives" / "c" / "data" / "empty.bin", "");
    struct Case {
        const char* path;
        HRESULT hr;
        int32_t code;
        std::string result;
        const char* message;
    } cases[] = {
        {"c:\\data\\abc.bin", S_OK, 0, std::string(ABC_DIGEST) + "\n", ""},
        {"C:/data/abc.bin", S_OK, 0, std::string(ABC_DIGEST) + "\n", ""},
        {"a.txt", S_FALSE, -1, "", "读取文件失败"},                 // no separator in the path
        {"c:\\data\\empty.bin", S_FALSE, -1, "", "读取文件失败"},   // an empty file
        {"c:\\data\\missing.bin", S_FALSE, -1, "", "读取文件失败"},
        {"", S_FALSE, -10001, "", "源数据为空"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CallResult result = call(control(), "QMFileHashAndBase64Encode", {c.path});
        EXPECT_EQ(result.hr, c.hr);
        EXPECT_EQ(result.text(), c.result);
        EXPECT_EQ(errorNum(control()), c.code);
        EXPECT_EQ(errMsg(control()), c.message);
    }
}

}  // namespace
