// Signing from a page, checked by an independent implementation: the
// openssl command verifies what the control signed.
#include <gtest/gtest.h>


#include "encoding/base64.h"
#include "platform/codepage/codepage.h"
#include "support/host_runner.h"
#include "support/process.h"
#include "support/test_pki.h"

using namespace testing_support;

namespace {

constexpr std::string_view CREATE = "var q = new ActiveXObject('Quillmark.KestrinQuillmark');\n";

class SigningPageTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        user = pki.user("Test User")
                   .subject({{"C", "CN"}, {"O", "Bank"}, {"OU", "Branch"}, {"CN", "Test User"}})
                   .serial("0A1B")
                   .install();
        // The chain for openssl: the root and the intermediate as trusted.
        chain = home.path() / "chain.pem";
        writeFile(chain, pki.root().pem() + pki.intermediate().pem());
    }

    // Writes a Base64 text (as a page printed it) as DER and verifies it.
    ProcessRun opensslVerify(const std::string& base64, const std::vector<std::string>& extra) {
        std::string der;
        EXPECT_EQ(encoding::decodeBase64Wrapped(base64, der), 0);
        const auto file = home.path() / "message.der";
        writeFile(file, der);
        std::vector<std::string> args{"openssl", "cms",   "-verify",      "-inform", "DER", "-in", file.string(),
                                      "-binary", "-CAfile", chain.string(), "-purpose", "any"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runProcess(args, home.path() / "openssl");
    }

    TestPki pki{home};
    PkiCert user;
    std::filesystem::path chain;
};

TEST_F(SigningPageTest, DetachedSignatureVerifiesWithOpenssl) {
    const HostRun run = page(std::string(CREATE) +
                             "var s = q.QMDetachedSign('转账一百元', 'CN=Test User');\n"
                             "print(q.errorNum);\n"
                             "print(s.replace(/\\n/g, ''));\n"
                             "print(q.QMGetSignerCertInfo(1));\n"
                             "print(q.QMGetSignerCertInfo(5));\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 4u) << run.out;
    EXPECT_EQ(out[0], "0");
    EXPECT_EQ(out[2], "C=CN, O=Bank, OU=Branch, CN=Test User");
    EXPECT_EQ(out[3], "0A1B");
    EXPECT_TRUE(uiLog.empty());

    const auto content = home.path() / "content.txt";
    writeFile(content, codepage::ansiFromUtf8("转账一百元"));
    const ProcessRun verified = opensslVerify(out[1], {"-content", content.string()});
    EXPECT_EQ(verified.exitCode, 0) << verified.err;
    // One byte off and openssl refuses it.
    writeFile(content, codepage::ansiFromUtf8("转账一千元"));
    EXPECT_NE(opensslVerify(out[1], {"-content", content.string()}).exitCode, 0);
}

TEST_F(SigningPageTest, AttachedSignatureCarriesTheStagedBytes) {
    const HostRun run = page(std::string(CREATE) +
                             "q.QMSetPlainText('付款确认 100.00');\n"
                             "var s = q.QMAttachedSign('CN=Test User');\n"
                             "print(s.replace(/\\n/g, ''));\n"
                             "var again = q.QMAttachedSign('CN=Test User');\n"
                             "print(again === '', q.errorNum, q.errMsg);\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 2u) << run.out;
    EXPECT_EQ(out[1], "true -10001 源数据为空");
    const ProcessRun verified = opensslVerify(out[0], {});
    ASSERT_EQ(verified.exitCode, 0) << verified.err;
    EXPECT_EQ(verified.out, codepage::ansiFromUtf8("付款确认 100.00"));
}

TEST_F(SigningPageTest, ChooserServerModeAndMissingKey) {
    pki.user("Test User 2").subject({{"C", "CN"}, {"O", "Bank"}, {"CN", "Test User 2"}}).install();
    pki.user("Keyless").subject({{"CN", "Keyless"}}).withoutKey().install();
    const HostRun run = page(std::string(CREATE) +
                             "q.QMDetachedSign('x', 'CN=Test User');\n"
                             "print(q.errorNum, q.QMGetSignerCertInfo(1));\n"
                             "q.QMDetachedSign('x', 'CN=Test User');\n"
                             "print(q.errorNum, q.errMsg);\n"
                             "q.QMDetachedSign('x', 'CN=Keyless');\n"
                             "print(q.errorNum, q.errMsg);\n"
                             "q.QMServerMode = 1;\n"
                             "q.QMDetachedSign('x', '');\n"
                             "print(q.errorNum, q.errMsg);\n",
                             "select 1\ncancel\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "0 C=CN, O=Bank, CN=Test User 2\n"
              "-10005 签名失败\n"
              "-10015 签名失败\n"
              "-10001 必须设置默认证书DN\n");
    // Two choosers, both listing the two candidates; nothing in server mode.
    ASSERT_EQ(uiLog.size(), 2u);
    for (const std::string& request : uiLog) {
        EXPECT_NE(request.find("\"entries\":[\"签发者：Quillmark Test CA ，主题：Test User\","
                               "\"签发者：Quillmark Test CA ，主题：Test User 2\"]"),
                  std::string::npos)
            << request;
    }
}

TEST_F(SigningPageTest, SerialFormReadBack) {
    const PkiCert reru = pki.ca("RERU").subject({{"O", "DododIvori"}, {"OU", "config"}, {"CN", "RERU"}}).install();
    pki.user("Config User").subject({{"CN", "Config User"}}).serial("7E57").issuedBy(reru).install();
    const HostRun run = page(std::string(CREATE) +
                             "q.QMSetPlainText('abc');\n"
                             "q.QMAttachedSignBySN('7E57');\n"
                             "var serial = q.QMGetSignerCertInfo(5);\n"
                             "print(q.errorNum, q.QMGetSignerCertInfo(1), serial);\n"
                             "var s = q.QMDetachedSignBySN('abc', serial);\n"
                             "print(q.errorNum, s.length > 0);\n"
                             "q.QMDetachedSignBySN('abc', '0A1B');\n"
                             "print(q.errorNum, q.errMsg);\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "0 CN=Config User 7E57\n"
              "0 true\n"
              "-10005 签名失败\n");  // 0A1B is under the test CA, not the default issuer
    EXPECT_TRUE(uiLog.empty());
}

TEST_F(SigningPageTest, ImportedPkcs12SignsFromAPage) {
    // A user whose certificate and key come from a PKCS #12 file made in
    // another home, imported with the store command.
    TestHome other;
    TestPki otherPki(other);
    const PkiCert imported = otherPki.user("Imported").subject({{"CN", "Imported User"}}).inNoStore().install();
    const ExportedFiles files = otherPki.exportFiles(imported, "secret");
    const HostRun import = host({"store", "import", files.pkcs12.string(), "--password", "secret"});
    ASSERT_EQ(import.exitCode, 0) << import.err;
    const HostRun listed = host({"store", "list", "my"});
    EXPECT_NE(listed.out.find("CN=Imported User"), std::string::npos) << listed.out;

    const HostRun run = page(std::string(CREATE) + "var s = q.QMDetachedSign('abc', 'CN=Imported User');\n"
                                                   "print(q.errorNum, q.QMGetSignerCertInfo(1));\n");
    EXPECT_EQ(run.out, "0 CN=Imported User\n") << run.err;
}

}  // namespace
