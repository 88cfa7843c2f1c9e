// Token signing from a page through a SoftHSM2 token: the page stages the
// parts, the token signs after the user saw the warning with the PIN
// request, and the receiving side gets every part back. openssl checks the
// signed message.
#include <gtest/gtest.h>

#include "encoding/base64.h"
#include "encoding/compression.h"
#include "support/host_runner.h"
#include "support/process.h"
#include "support/softhsm.h"
#include "support/test_pki.h"

using namespace testing_support;

namespace {

class TokenPageTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        user = pki.user("Token User").subject({{"O", "Bank"}, {"CN", "Token User"}}).inNoStore().install();
        hsm.initToken("Page Token");
        hsm.importKey("Page Token", user, "token key", "01");
        hsm.registerProvider("Page Token CSP", {.token = "Page Token"});
        installTokenCertificate(user, "Page Token CSP", "token key");
        hostEnvironment.push_back(hsm.environment());
        // A user file with a zero byte inside.
        writeFile(home.path() / "drives" / "c" / "in" / "note.bin", std::string("first\0second", 12));
    }

    TestPki pki{home};
    SoftHsm hsm{home};
    PkiCert user;
};

TEST_F(TokenPageTest, StagedPartsComeBackAndOpensslVerifies) {
    const HostRun run = page(
        "var q = new ActiveXObject('Quillmark.KestrinQuillmark');\n"
        "q.QMSetWarningMsg('请确认: 转账 100 元');\n"
        "q.QMSetCSPHashMsg('csp hash');\n"
        "q.QMSetKeyHashMsg('key\\r\\nhash');\n"
        "q.QMSetUserFileName('c:\\\\in\\\\note.bin');\n"
        "var s = q.QMAdvFendrelAttachedSign('CN=Token User');\n"
        "print(q.errorNum, q.QMGetSignerCertInfo(1));\n"
        "print(s.replace(/\\n/g, ''));\n"
        "var r = new ActiveXObject('Quillmark.KestrinQuillmark');\n"
        "r.QMAdvFendrelAfterwardsVerify(s);\n"
        "print(r.errorNum);\n"
        "for (var t = 1; t <= 4; ++t) print(escape(r.QMGetAdvFendrelPlainText(t)));\n",
        "pin 1234\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> out;
    for (size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(run.out.substr(start, end - start));
    }
    ASSERT_EQ(out.size(), 7u) << run.out;
    EXPECT_EQ(out[0], "0 O=Bank, CN=Token User");
    EXPECT_EQ(out[2], "0");
    EXPECT_EQ(out[3], "csp%20hash");
    EXPECT_EQ(out[4], "key%0Ahash");   // CR LF turned into LF
    EXPECT_EQ(out[5], "note.bin");
    EXPECT_EQ(out[6], "first");        // the file data up to its first zero byte

    // The PIN request showed the warning, on the token's behalf.
    ASSERT_EQ(uiLog.size(), 1u);
    EXPECT_NE(uiLog[0].find("\"kind\":\"pin\""), std::string::npos);
    EXPECT_NE(uiLog[0].find("请确认: 转账 100 元"), std::string::npos);
    EXPECT_NE(uiLog[0].find("\"title\":\"Page Token\""), std::string::npos);

    std::string message;
    ASSERT_EQ(encoding::decodeBase64Wrapped(out[1], message), 0);
    qm::decompressMessage(message);
    const auto file = home.path() / "token.der";
    writeFile(file, message);
    const auto chain = home.path() / "chain.pem";
    writeFile(chain, pki.root().pem() + pki.intermediate().pem());
    const ProcessRun verified = runProcess({"openssl", "cms", "-verify", "-inform", "DER", "-in", file.string(),
                                            "-binary", "-CAfile", chain.string(), "-purpose", "any"},
                                           home.path() / "openssl");
    ASSERT_EQ(verified.exitCode, 0) << verified.err;
    ASSERT_FALSE(verified.out.empty());
    EXPECT_EQ(static_cast<unsigned char>(verified.out[0]), 0x11);  // the body element, without the warning
}

TEST_F(TokenPageTest, AbsentTokenAndCancelledPin) {
    hsm.registerProvider("Gone CSP", {.token = "No Such Token"});
    const PkiCert other = pki.user("Other").subject({{"CN", "Other"}}).inNoStore().install();
    installTokenCertificate(other, "Gone CSP", "token key");
    const std::string stage =
        "q.QMSetWarningMsg('w'); q.QMSetCSPHashMsg('c'); q.QMSetKeyHashMsg('k');\n";
    const HostRun run = page("var q = new ActiveXObject('Quillmark.KestrinQuillmark');\n" + stage +
                                 "q.QMAdvFendrelAttachedSign('CN=Other');\n"
                                 "print(q.errorNum, q.errMsg);\n" +
                                 stage +
                                 "q.QMAdvFendrelAttachedSign('CN=Token User');\n"
                                 "print(q.errorNum, q.errMsg);\n",
                             "cancel\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "-10019 签名失败\n-10031 签名失败\n");
}

}  // namespace
