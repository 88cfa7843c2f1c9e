// The first-generation members from a page: staged input, the confirmation
// box, results read once, and messages that the openssl command verifies
// and makes.
#include <gtest/gtest.h>


#include "encoding/base64.h"
#include "platform/codepage/codepage.h"
#include "platform/crypto/messages.h"
#include "support/host_runner.h"
#include "support/process.h"
#include "support/test_pki.h"

using namespace testing_support;

namespace {

constexpr std::string_view CREATE =
    "var q = new ActiveXObject('Quillmark.KestrinQuillmark');\n"
    "var r = new ActiveXObject('Quillmark.KestrinQuillmark');\n";

class LegacyPageTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        user = pki.user("Test User").subject({{"C", "CN"}, {"O", "Bank"}, {"OU", "Branch"}, {"CN", "Test User"}}).install();
        chain = home.path() / "chain.pem";
        writeFile(chain, pki.root().pem() + pki.intermediate().pem());
    }

    ProcessRun openssl(std::vector<std::string> args) {
        args.insert(args.begin(), "openssl");
        return runProcess(args, home.path() / "openssl");
    }

    // Verifies a legacy result (plain Base64 of DER) with openssl.
    ProcessRun opensslVerify(const std::string& base64, const std::vector<std::string>& extra = {}) {
        const auto file = home.path() / "message.der";
        writeFile(file, encoding::decodeBase64Plain(base64));
        std::vector<std::string> args{"cms",     "-verify", "-inform",       "DER",      "-in",
                                      file.string(), "-binary", "-CAfile", chain.string(), "-purpose", "any"};
        args.insert(args.end(), extra.begin(), extra.end());
        return openssl(args);
    }

    TestPki pki{home};
    PkiCert user;
    std::filesystem::path chain;
};

TEST_F(LegacyPageTest, ConfirmedAttachedSignatureVerifiesHereAndWithOpenssl) {
    const HostRun run = page(std::string(CREATE) +
                             "q.showPlainText();\n"
                             "q.addFormItem('ab');\n"
                             "q.addFormItem('中文');\n"
                             "q.defaultDN = 'CN=Test User';\n"
                             "q.makeAttachedSign();\n"
                             "var s = q.attachedSign;\n"
                             "print(q.errorNum, q.attachedSign === '');\n"
                             "print(s);\n"
                             "r.verifyAttachedSign(s, 0);\n"
                             "print(r.errorNum, r.signerDN);\n"
                             "print(r.signsPlaintextBase64);\n"
                             "print(r.signsHashBase64);\n"
                             "print(r.signsHashBase64 === '');\n",
                             "yes\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 6u) << run.out;
    const std::string plaintext = "00000022" "00000002ab" "00000004" + codepage::ansiFromUtf8("中文") + "00000000";
    EXPECT_EQ(out[0], "0 true");
    EXPECT_EQ(out[2], "0 C=CN, O=Bank, OU=Branch, CN=Test User");
    EXPECT_EQ(encoding::decodeBase64Plain(out[3]), plaintext);
    EXPECT_EQ(out[4], encoding::encodeBase64Plain(crypto::sha1(plaintext)));
    EXPECT_EQ(out[5], "true");
    ASSERT_EQ(uiLog.size(), 1u);
    EXPECT_NE(uiLog[0].find("\"caption\":\"确认签名\""), std::string::npos) << uiLog[0];
    EXPECT_NE(uiLog[0].find("请确认是否对以下信息签名:\\n\\n0000002200000002ab00000004中文00000000"), std::string::npos)
        << uiLog[0];

    const ProcessRun verified = opensslVerify(out[1]);
    ASSERT_EQ(verified.exitCode, 0) << verified.err;
    EXPECT_EQ(verified.out, plaintext);
}

TEST_F(LegacyPageTest, EnvelopeDetachedSignatureAndAStop) {
    const HostRun run = page(std::string(CREATE) +
                             "q.addFormItem('ab');\n"
                             "q.defaultDN = 'CN=Test User';\n"
                             "q.defaultDNRecv = 'CN=Test User,OU=Branch,O=Bank,C=CN';\n"
                             "q.makeSignAndEncryptEnvelop();\n"
                             "print(q.errorNum);\n"
                             "r.QMDecryptedAndVerifiedEnvelop(q.signAndEncryptEnvelop);\n"
                             "print(r.errorNum, r.QMGetPlainText(), r.QMGetReciptCertInfo(1));\n"
                             "q.plainTextForDetachedSign = '转账一百元';\n"
                             "q.makeDetachedSign();\n"
                             "print(q.errorNum);\n"
                             "print(q.detachedSign);\n"
                             "q.makeDetachedSign();\n"
                             "print(q.errorNum, q.errMsg === '');\n",
                             "ok\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 5u) << run.out;
    EXPECT_EQ(out[0], "0");
    EXPECT_EQ(out[1], "0 0000001000000002ab00000000 C=CN, O=Bank, OU=Branch, CN=Test User");
    EXPECT_EQ(out[2], "0");
    EXPECT_EQ(out[4], "-11 true");
    ASSERT_EQ(uiLog.size(), 1u);
    EXPECT_NE(uiLog[0].find("\"text\":\"未输入明文，无法进行签名！\""), std::string::npos) << uiLog[0];
    EXPECT_NE(uiLog[0].find("\"caption\":\"错误\""), std::string::npos) << uiLog[0];

    const auto content = home.path() / "content.txt";
    writeFile(content, codepage::ansiFromUtf8("转账一百元"));
    const ProcessRun verified = opensslVerify(out[3], {"-content", content.string()});
    EXPECT_EQ(verified.exitCode, 0) << verified.err;
}

TEST_F(LegacyPageTest, OpensslSignatureVerifiesWithTheLegacyMember) {
    const ExportedFiles files = pki.exportFiles(user);
    const auto content = home.path() / "content.bin";
    writeFile(content, codepage::ansiFromUtf8("对账单 2026"));
    const auto message = home.path() / "attached.der";
    const ProcessRun signedRun =
        openssl({"cms", "-sign", "-md", "sha1", "-noattr", "-binary", "-nodetach", "-outform", "DER", "-in",
                 content.string(), "-out", message.string(), "-signer", files.certPem.string(), "-inkey",
                 files.keyPem.string()});
    ASSERT_EQ(signedRun.exitCode, 0) << signedRun.err;
    const HostRun run = page(std::string(CREATE) + "r.verifyAttachedSign('" +
                             encoding::encodeBase64Plain(readFile(message)) +
                             "', 0);\n"
                             "print(r.errorNum, r.signerDN, r.signsPlaintextBase64);\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "0 C=CN, O=Bank, OU=Branch, CN=Test User " +
                           encoding::encodeBase64Plain(codepage::ansiFromUtf8("对账单 2026")) + "\n");
    EXPECT_TRUE(uiLog.empty());
}

}  // namespace
