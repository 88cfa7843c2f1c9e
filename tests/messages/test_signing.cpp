#include <gtest/gtest.h>

#include "messages/signing.h"
#include "messages_fixture.h"

using namespace testing_support;

namespace {

class SigningTest : public MessagesTest {
protected:
    PkiCert bankUser() {
        return pki.user("Test User")
            .subject({{"C", "CN"}, {"O", "Bank"}, {"OU", "Branch"}, {"CN", "Test User"}})
            .serial("01A20F3B44")
            .install();
    }
};

TEST_F(SigningTest, DetachedSignatureWithTheOneMatchingCertificate) {
    const PkiCert user = bankUser();
    pki.user("Other").subject({{"CN", "Someone Else"}}).install();
    CallResult signature = call(control(), "QMDetachedSign", {"转账一百元", "CN=Test User"});
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_TRUE(home.ui().requests().empty());
    // Wrapped Base64 of a SignedData over the GBK bytes, signer included.
    EXPECT_EQ(signature.text().back(), '\n');
    const crypto::CertPtr signer = detachedSigner(signature, gbk("转账一百元"));
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(signer->der(), user.der());
    EXPECT_FALSE(attached(signature).has_value());  // no content inside

    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "C=CN, O=Bank, OU=Branch, CN=Test User");
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {2}).text(), "C=CN, O=Quillmark Test, CN=Quillmark Test CA");
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {5}).text(), "01A2 0F3B 44");
}

TEST_F(SigningTest, AttachedSignatureConsumesTheStagedText) {
    bankUser();
    ASSERT_EQ(call(control(), "QMSetPlainText", {"付款确认"}).hr, S_OK);
    CallResult signature = call(control(), "QMAttachedSign", {"CN=Test User"});
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
    const auto verified = attached(signature);
    ASSERT_TRUE(verified.has_value());
    EXPECT_EQ(verified->content, gbk("付款确认"));

    // The staged text is gone: sign again and there is nothing to sign.
    CallResult again = call(control(), "QMAttachedSign", {"CN=Test User"});
    EXPECT_EQ(again.hr, S_FALSE);
    EXPECT_EQ(again.text(), "");
    EXPECT_EQ(errorNum(control()), -10001);
    EXPECT_EQ(errMsg(control()), "源数据为空");
    // ... and every failure clears the signer's information.
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "");
}

TEST_F(SigningTest, TheUserChoosesAmongSeveral) {
    pki.user("First").subject({{"O", "Bank"}, {"CN", "First"}}).install();
    const PkiCert second = pki.user("Second").subject({{"O", "Bank"}, {"CN", "Second"}}).install();
    home.answer("select 1");
    CallResult chosen = call(control(), "QMDetachedSign", {"text", "O=Bank"});
    ASSERT_EQ(chosen.hr, S_OK);
    EXPECT_EQ(detachedSigner(chosen, "text")->der(), second.der());
    ASSERT_EQ(home.ui().requests().size(), 1u);
    EXPECT_EQ(home.ui().requests()[0].entries,
              (std::vector<std::string>{"签发者：Quillmark Test CA ，主题：First", "签发者：Quillmark Test CA ，主题：Second"}));

    home.answer("cancel");
    CallResult cancelled = call(control(), "QMDetachedSign", {"text", "O=Bank"});
    EXPECT_EQ(cancelled.hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10005);
    EXPECT_EQ(errMsg(control()), "签名失败");
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "");
}

TEST_F(SigningTest, ListsThatCannotBeUsed) {
    bankUser();
    // Six partial DNs: the box, then on as without a list (the chooser).
    home.answer("ok");
    home.answer("cancel");
    call(control(), "QMDetachedSign", {"text", "a|b|c|d|e|f"});
    ASSERT_EQ(home.ui().requests().size(), 2u);
    EXPECT_EQ(home.ui().requests()[0].text, "部分DN最多为5个");
    EXPECT_EQ(home.ui().requests()[0].caption, "DN设置失败");
    EXPECT_EQ(home.ui().requests()[1].kind, "chooser");
    EXPECT_EQ(home.ui().requests()[1].entries.size(), 1u);  // every certificate of MY

    // In server mode no chooser may open.
    put(control(), "QMServerMode", 1);
    EXPECT_EQ(call(control(), "QMDetachedSign", {"text", ""}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
    EXPECT_EQ(errMsg(control()), "必须设置默认证书DN");
    EXPECT_EQ(home.ui().requests().size(), 2u);

    // No separator: that box, even in server mode.
    put(control(), "DNspliter", "");
    home.answer("ok");
    call(control(), "QMDetachedSign", {"text", "CN=Test User"});
    EXPECT_EQ(home.ui().requests().back().text, "未设置DN分隔符");
    EXPECT_EQ(home.ui().requests().back().caption, "设置分隔符");
    EXPECT_EQ(errMsg(control()), "必须设置默认证书DN");
}

TEST_F(SigningTest, BySerialNumberUnderAnIssuer) {
    const PkiCert reru = pki.ca("RERU").subject({{"O", "DododIvori"}, {"OU", "config"}, {"CN", "RERU"}}).install();
    const PkiCert user = pki.user("Serial User").subject({{"CN", "Serial User"}}).serial("0A1B").issuedBy(reru).install();
    pki.user("Same Serial").subject({{"CN", "Same Serial"}}).serial("7F01").install();

    ASSERT_EQ(call(control(), "QMSetPlainText", {"abc"}).hr, S_OK);
    CallResult bySerial = call(control(), "QMAttachedSignBySN", {"0a1b"});
    ASSERT_EQ(bySerial.hr, S_OK) << errMsg(control());
    EXPECT_EQ(attached(bySerial)->signer->der(), user.der());
    EXPECT_TRUE(home.ui().requests().empty());

    // The serial form reads back as one serial number per group.
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {5}).text(), "0A1B");
    CallResult again = call(control(), "QMDetachedSignBySN", {"abc", "0A1B"});
    EXPECT_EQ(again.hr, S_OK);

    // A serial number under another issuer is not found.
    CallResult elsewhere = call(control(), "QMDetachedSignBySN", {"abc", "7F01"});
    EXPECT_EQ(elsewhere.hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10005);
    EXPECT_EQ(errMsg(control()), "签名失败");
    CallResult named = call(control(), "QMDetachedSignByIssuerSN",
                            {"abc", "7F01", "C=CN,O=Quillmark Test,CN=Quillmark Test CA"});
    EXPECT_EQ(named.hr, S_OK) << errMsg(control());
    // An empty issuer is the default one.
    EXPECT_EQ(call(control(), "QMDetachedSignByIssuerSN", {"abc", "0A1B", ""}).hr, S_OK);

    // Server mode without a serial number.
    put(control(), "QMServerMode", 1);
    EXPECT_EQ(call(control(), "QMDetachedSignBySN", {"abc", ""}).hr, S_FALSE);
    EXPECT_EQ(errMsg(control()), "源数据为空");
}

TEST_F(SigningTest, StagedTextRules) {
    bankUser();
    call(control(), "QMSetPlainText", {"staged"});
    // QMDetachedSign leaves the staged text alone ...
    ASSERT_EQ(call(control(), "QMDetachedSign", {"x", "CN=Test User"}).hr, S_OK);
    ASSERT_EQ(call(control(), "QMAttachedSign", {"CN=Test User"}).hr, S_OK);
    // ... the by-serial detached members release it, failing or not.
    call(control(), "QMSetPlainText", {"staged"});
    EXPECT_EQ(call(control(), "QMDetachedSignBySN", {"x", "99"}).hr, S_FALSE);
    EXPECT_EQ(call(control(), "QMAttachedSign", {"CN=Test User"}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
}

TEST_F(SigningTest, KeyProblemsGiveTheirCodes) {
    pki.user("No Key").subject({{"CN", "No Key"}}).withoutKey().install();
    EXPECT_EQ(call(control(), "QMDetachedSign", {"x", "CN=No Key"}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10015);
    EXPECT_EQ(errMsg(control()), "签名失败");

    // A key container that has gone: the size pass fails with the platform's
    // NTE_BAD_KEYSET, which signing by partial DN passes on as it is and
    // signing by serial number maps to -10020.
    const PkiCert lost = pki.user("Lost").subject({{"CN", "Lost"}}).serial("5A5A").install();
    std::filesystem::remove_all(home.path() / "keys" / lost.container);
    call(control(), "QMDetachedSign", {"x", "CN=Lost"});
    EXPECT_EQ(errorNum(control()), -2146893802);
    EXPECT_EQ(errMsg(control()), "签名失败");
    call(control(), "QMDetachedSignByIssuerSN", {"x", "5A5A", "C=CN, O=Quillmark Test, CN=Quillmark Test CA"});
    EXPECT_EQ(errorNum(control()), -10020);
}

TEST_F(SigningTest, ACertificateLargerThanTheBoundStillSigns) {
    // Enough subject to push the message past 4q + q/16 + 1004 for one byte.
    std::vector<std::pair<std::string, std::string>> subject;
    for (int i = 0; i < 40; ++i) subject.push_back({"OU", std::string(60, static_cast<char>('a' + i % 26))});
    subject.push_back({"CN", "Large"});
    const PkiCert large = pki.user("Large").subject(subject).install();
    CallResult signature = call(control(), "QMDetachedSign", {"x", "CN=Large"});
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
    EXPECT_GT(signature.text().size(), qm::signOutputBound(1));
    EXPECT_EQ(detachedSigner(signature, "x")->der(), large.der());
}

TEST(SignOutputBound, FollowsItsFormula) {
    EXPECT_EQ(qm::signOutputBound(0), 4u * 666u + 666u / 16u + 1004u);  // 3709
    EXPECT_EQ(qm::signOutputBound(0), 3709u);
    EXPECT_EQ(qm::signOutputBound(1000), 4u * 1000u + 1000u / 16u + 1004u);
}

}  // namespace
