// Verification and envelopes from a page, against messages the openssl
// command made and opens.
#include <gtest/gtest.h>

#include "encoding/base64.h"
#include "platform/codepage/codepage.h"
#include "platform/crypto/store.h"
#include "support/host_runner.h"
#include "support/process.h"
#include "support/test_pki.h"

using namespace testing_support;

namespace {

constexpr std::string_view CREATE = "var q = new ActiveXObject('Quillmark.KestrinQuillmark');\n";

class InteropPageTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        user = pki.user("Receiver").subject({{"O", "Bank"}, {"CN", "Receiver"}}).install();
        crypto::Store::openSystem("addressbook")->add(user.der());
        files = pki.exportFiles(user);
        content = home.path() / "content.bin";
        writeFile(content, codepage::ansiFromUtf8("中文内容 and ASCII"));
    }

    ProcessRun openssl(std::vector<std::string> args) {
        args.insert(args.begin(), "openssl");
        return runProcess(args, home.path() / "openssl");
    }

    // A file's bytes as wrapped Base64, written as a script string literal.
    std::string base64Literal(const std::filesystem::path& file) {
        std::string literal = "'";
        for (char c : encoding::encodeBase64Wrapped(readFile(file))) literal += c == '\n' ? "\\n" : std::string(1, c);
        return literal + "'";
    }

    TestPki pki{home};
    PkiCert user;
    ExportedFiles files;
    std::filesystem::path content;
};

TEST_F(InteropPageTest, TheirSignaturesVerifyHere) {
    const auto attached = home.path() / "attached.der";
    const auto detached = home.path() / "detached.der";
    for (const auto& [file, extra] : {std::pair{attached, std::string("-nodetach")}, std::pair{detached, std::string()}}) {
        std::vector<std::string> args{"cms",      "-sign",    "-md",    "sha1",  "-noattr",          "-binary",
                                      "-outform", "DER",      "-in",    content.string(), "-out", file.string(),
                                      "-signer",  files.certPem.string(), "-inkey", files.keyPem.string()};
        if (!extra.empty()) args.push_back(extra);
        const ProcessRun signedRun = openssl(args);
        ASSERT_EQ(signedRun.exitCode, 0) << signedRun.err;
    }
    const HostRun run = page(std::string(CREATE) +
                             "q.QMAttachedVerify(" + base64Literal(attached) + ");\n"
                             "print(q.errorNum, q.QMGetPlainText(), q.QMGetSignerCertInfo(1));\n"
                             "q.QMDetachedVerify(" + base64Literal(detached) + ", '中文内容 and ASCII');\n"
                             "print(q.errorNum);\n"
                             "q.QMAttachedVerify('MIIBAgMEBQ==');\n"
                             "print(q.errorNum, q.errMsg);\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "0 中文内容 and ASCII O=Bank, CN=Receiver\n0\n-10007 验证错误\n");
}

TEST_F(InteropPageTest, EnvelopesBothWays) {
    // Theirs, opened here.
    const auto theirs = home.path() / "theirs.der";
    const ProcessRun sealed =
        openssl({"smime", "-encrypt", "-rc4", "-binary", "-outform", "DER", "-in", content.string(), "-out",
                 theirs.string(), "-provider", "legacy", "-provider", "default", files.certPem.string()});
    ASSERT_EQ(sealed.exitCode, 0) << sealed.err;
    const HostRun opened = page(std::string(CREATE) + "q.QMDecryptEnvelop(" + base64Literal(theirs) +
                                ");\nprint(q.errorNum, q.QMGetPlainText());\n"
                                "q.QMSetPlainText('我们的信封');\n"
                                "print(q.QMEncryptedEnvelop('CN=Receiver').replace(/\\n/g, ''));\n");
    ASSERT_EQ(opened.exitCode, 0) << opened.err;
    const auto newline = opened.out.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(opened.out.substr(0, newline), "0 中文内容 and ASCII");

    // Ours, opened there.
    std::string ours;
    ASSERT_EQ(encoding::decodeBase64Wrapped(opened.out.substr(newline + 1), ours), 0);
    const auto oursFile = home.path() / "ours.der";
    writeFile(oursFile, ours);
    const ProcessRun decrypted =
        openssl({"smime", "-decrypt", "-binary", "-inform", "DER", "-in", oursFile.string(), "-recip",
                 files.certPem.string(), "-inkey", files.keyPem.string(), "-provider", "legacy", "-provider",
                 "default"});
    ASSERT_EQ(decrypted.exitCode, 0) << decrypted.err;
    EXPECT_EQ(decrypted.out, codepage::ansiFromUtf8("我们的信封"));
}

}  // namespace
