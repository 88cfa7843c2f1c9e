// A form signed with a file on one page and taken apart on another: the
// road a typical request takes, from QMAddFormItem to the saved file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/codepage/codepage.h"
#include "support/host_runner.h"
#include "support/test_pki.h"

using namespace testing_support;

namespace {

constexpr std::string_view CREATE = "var q = new ActiveXObject('Quillmark.KestrinQuillmark');\n";

// The receiving page: verify, then every item, then every file, then the
// signer. One line per step.
constexpr std::string_view RECEIVE =
    "q.QMAttachedVerify(signed);\n"
    "print('verify ' + q.errorNum);\n"
    "for (var item = q.QMGetFormItem(); item !== ''; item = q.QMGetFormItem()) print('item ' + item);\n"
    "print('items done ' + q.errorNum);\n"
    "for (var name = q.QMGetFile(); name !== ''; name = q.QMGetFile()) print('file ' + name);\n"
    "print('files done ' + q.errorNum + ' ' + q.errMsg);\n"
    "print('signer ' + q.QMGetSignerCertInfo(1));\n";

class PackagePageTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        pki.user("Sender").subject({{"O", "Bank"}, {"CN", "Sender"}}).install();
        writeFile(home.path() / "drives" / "c" / "demo" / "statement.txt", statement);
        writeFile(home.path() / "drives" / "c" / "demo" / "回单.txt", codepage::ansiFromUtf8("回单内容"));
    }

    // Signs the form and returns the signature as a script string literal.
    std::string signForm() {
        const HostRun run = page(std::string(CREATE) +
                                 "q.QMAddFormItem('payee=张三');\n"
                                 "q.QMAddFormItem('amount=1000.00');\n"
                                 "q.QMAddFile('c:\\\\demo\\\\statement.txt');\n"
                                 "q.QMAddFile('c:/demo/回单.txt');\n"
                                 "var s = q.QMAttachedSign('CN=Sender');\n"
                                 "print(q.errorNum);\n"
                                 "print(s.replace(/\\n/g, '\\\\n'));\n");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto out = lines(run.out);
        EXPECT_EQ(out.size(), 2u) << run.out;
        if (out.size() != 2) return "''";
        EXPECT_EQ(out[0], "0");
        return "'" + out[1] + "'";
    }

    const std::string statement = "Quillmark statement\nbalance 1000.00\n";
    TestPki pki{home};
};

const std::vector<std::string> EXPECTED = {
    "verify 0",
    "item payee=张三",
    "item amount=1000.00",
    "items done 0",
    "file statement.txt",
    "file 回单.txt",
    "files done -10032 原文为空",
    "signer O=Bank, CN=Sender",
};

TEST_F(PackagePageTest, ServerModeSavesIntoTheStubPathFolder) {
    const std::string signature = signForm();
    const HostRun run = page(std::string(CREATE) + "q.QMServerMode = 1;\nvar signed = " + signature + ";\n" +
                             std::string(RECEIVE));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(lines(run.out), EXPECTED);
    EXPECT_TRUE(uiLog.empty());
    // Registration made the registered folder; the files went there.
    const auto stub = home.path() / "drives" / "c" / "quillmarkStub";
    EXPECT_EQ(readFile(stub / "statement.txt"), statement);
    EXPECT_EQ(readFile(stub / "回单.txt"), codepage::ansiFromUtf8("回单内容"));
}

TEST_F(PackagePageTest, SaveDialogAsksForEveryFile) {
    const std::string signature = signForm();
    const auto saved = home.path() / "saved";
    std::filesystem::create_directories(saved);
    const HostRun run = page(std::string(CREATE) + "var signed = " + signature + ";\n" + std::string(RECEIVE),
                             "file " + (saved / "first.txt").string() + "\nfile " + (saved / "second.txt").string() +
                                 "\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(lines(run.out), EXPECTED);
    ASSERT_EQ(uiLog.size(), 2u);
    EXPECT_NE(uiLog[0].find("\"kind\":\"save\""), std::string::npos) << uiLog[0];
    EXPECT_NE(uiLog[0].find("\"name\":\"statement.txt\""), std::string::npos) << uiLog[0];
    EXPECT_NE(uiLog[1].find("\"name\":\"回单.txt\""), std::string::npos) << uiLog[1];
    EXPECT_EQ(readFile(saved / "first.txt"), statement);
    EXPECT_EQ(readFile(saved / "second.txt"), codepage::ansiFromUtf8("回单内容"));
}

}  // namespace
