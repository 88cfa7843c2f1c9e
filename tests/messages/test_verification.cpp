#include <gtest/gtest.h>

#include "messages/envelopes.h"
#include "messages/verification.h"
#include "messages_fixture.h"

using namespace testing_support;

namespace {

class VerificationTest : public MessagesTest {
protected:
    // An attached and a detached signature of `text` made by the control.
    std::string signAttached(const char* text, const char* dn) {
        EXPECT_EQ(call(control(), "QMSetPlainText", {text}).hr, S_OK);
        CallResult signature = call(control(), "QMAttachedSign", {dn});
        EXPECT_EQ(signature.hr, S_OK) << errMsg(control());
        return signature.text();
    }
    std::string signDetached(const char* text, const char* dn) {
        CallResult signature = call(control(), "QMDetachedSign", {text, dn});
        EXPECT_EQ(signature.hr, S_OK) << errMsg(control());
        return signature.text();
    }
};

TEST_F(VerificationTest, RoundTripsAttachedAndDetached) {
    pki.user("Signer").subject({{"O", "Bank"}, {"CN", "Signer"}}).install();
    const std::string attached = signAttached("对账单 2026", "CN=Signer");
    const std::string detached = signDetached("对账单 2026", "CN=Signer");
    auto verifier = newControl();  // the receiving page: a control of its own

    EXPECT_EQ(call(verifier.get(), "QMAttachedVerify", {attached.c_str()}).hr, S_OK);
    EXPECT_EQ(errorNum(verifier.get()), 0);
    EXPECT_EQ(call(verifier.get(), "QMGetPlainText").text(), "对账单 2026");
    EXPECT_EQ(call(verifier.get(), "QMGetPlainText").text(), "对账单 2026");  // not consumed
    EXPECT_EQ(call(verifier.get(), "QMGetSignerCertInfo", {1}).text(), "O=Bank, CN=Signer");

    EXPECT_EQ(call(verifier.get(), "QMDetachedVerify", {detached.c_str(), "对账单 2026"}).hr, S_OK);
    // A different text: the signature does not match, the signer is forgotten,
    // and what the attached verification extracted stays.
    EXPECT_EQ(call(verifier.get(), "QMDetachedVerify", {detached.c_str(), "对账单 2027"}).hr, S_FALSE);
    EXPECT_EQ(errorNum(verifier.get()), -10010);
    EXPECT_EQ(errMsg(verifier.get()), "验证错误");
    EXPECT_EQ(call(verifier.get(), "QMGetSignerCertInfo", {1}).text(), "");
    EXPECT_EQ(call(verifier.get(), "QMGetPlainText").text(), "对账单 2026");

    // An attached message verifies as it stands, whatever detached text comes with it.
    EXPECT_EQ(call(verifier.get(), "QMDetachedVerify", {attached.c_str(), "anything"}).hr, S_OK);
    // A detached one given to the attached member is tried over an empty area.
    EXPECT_EQ(call(verifier.get(), "QMAttachedVerify", {detached.c_str()}).hr, S_FALSE);
    EXPECT_EQ(errorNum(verifier.get()), -10010);
    EXPECT_EQ(call(verifier.get(), "QMGetPlainText").text(), "对账单 2026");
}

TEST_F(VerificationTest, InputThatIsNotAMessage) {
    struct Case {
        const char* name;
        ScriptValue message;
        ScriptValue plain;
        int32_t code;
        const char* text;
    } cases[] = {
        {"no message", "", "x", -10001, "源数据为空"},
        {"no plaintext", "MIIB", ScriptValue::null(), -10001, "源数据为空"},
        {"not Base64", "YWJ", "x", -10002, "验证错误"},
        {"not ASN.1", "YWJjZGVm", "x", -10007, "验证错误"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(call(control(), "QMDetachedVerify", {c.message, c.plain}).hr, S_FALSE);
        EXPECT_EQ(errorNum(control()), c.code);
        EXPECT_EQ(errMsg(control()), c.text);
    }
}

TEST_F(VerificationTest, SignerCertificateChecks) {
    const PkiCert broken = pki.user("Broken").subject({{"CN", "Broken"}}).brokenSignature().install();
    const PkiCert expired = pki.user("Expired").subject({{"CN", "Expired"}}).expired().install();
    const PkiCert revoked = pki.user("Revoked").subject({{"CN", "Revoked"}}).install();
    pki.revoke(revoked);
    pki.user("Orphan").subject({{"CN", "Orphan"}}).issuedBy(pki.orphanCa()).install();
    pki.user("Untrusted").subject({{"CN", "Untrusted"}}).issuedBy(pki.untrustedRoot()).install();
    pki.user("Valid").subject({{"CN", "Valid"}}).install();  // its CA has a CRL now; it is not on it
    struct Case {
        const char* dn;
        int32_t code;
    } cases[] = {
        {"CN=Valid", 0},        {"CN=Orphan", -10014},    {"CN=Expired", -10011},
        {"CN=Revoked", -10012}, {"CN=Broken", -10017},    {"CN=Untrusted", -10013},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dn);
        const std::string signature = signDetached("text", c.dn);
        call(control(), "QMDetachedVerify", {signature.c_str(), "text"});
        EXPECT_EQ(errorNum(control()), c.code);
    }
    // Without any revocation list the check passes.
    pki.user("No CRL").subject({{"CN", "No CRL"}}).issuedBy(pki.root()).install();
    const std::string signature = signDetached("text", "CN=No CRL");
    call(control(), "QMDetachedVerify", {signature.c_str(), "text"});
    EXPECT_EQ(errorNum(control()), 0);
}

TEST_F(VerificationTest, EnvelopesRoundTrip) {
    const PkiCert user = pki.user("Receiver").subject({{"O", "Bank"}, {"CN", "Receiver"}}).install();
    crypto::Store::openSystem("addressbook")->add(user.der());
    ASSERT_EQ(call(control(), "QMSetPlainText", {"机密: 账户余额"}).hr, S_OK);
    CallResult envelope = call(control(), "QMEncryptedEnvelop", {"CN=Receiver"});
    ASSERT_EQ(envelope.hr, S_OK) << errMsg(control());
    const std::string serial = call(control(), "QMGetReciptCertInfo", {5}).text();
    EXPECT_FALSE(serial.empty());
    // The staged text was consumed.
    EXPECT_EQ(call(control(), "QMEncryptedEnvelop", {"CN=Receiver"}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
    EXPECT_EQ(call(control(), "QMGetReciptCertInfo", {5}).text(), "");

    auto receiver = newControl();
    ASSERT_EQ(call(receiver.get(), "QMDecryptEnvelop", {envelope.text().c_str()}).hr, S_OK)
        << errMsg(receiver.get());
    EXPECT_EQ(call(receiver.get(), "QMGetPlainText").text(), "机密: 账户余额");
    EXPECT_EQ(call(receiver.get(), "QMGetReciptCertInfo", {5}).text(), serial);

    // Signed and encrypted: both certificates described on both sides.
    pki.user("Sender").subject({{"O", "Bank"}, {"CN", "Sender"}}).install();
    call(control(), "QMSetPlainText", {"签名并加密"});
    CallResult sealed = call(control(), "QMSignedAndEncryptedEnvelop", {"CN=Sender", "CN=Receiver"});
    ASSERT_EQ(sealed.hr, S_OK) << errMsg(control());
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "O=Bank, CN=Sender");
    EXPECT_EQ(call(control(), "QMGetReciptCertInfo", {1}).text(), "O=Bank, CN=Receiver");
    ASSERT_EQ(call(receiver.get(), "QMDecryptedAndVerifiedEnvelop", {sealed.text().c_str()}).hr, S_OK)
        << errMsg(receiver.get());
    EXPECT_EQ(call(receiver.get(), "QMGetPlainText").text(), "签名并加密");
    EXPECT_EQ(call(receiver.get(), "QMGetSignerCertInfo", {1}).text(), "O=Bank, CN=Sender");
    EXPECT_EQ(call(receiver.get(), "QMGetReciptCertInfo", {1}).text(), "O=Bank, CN=Receiver");
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(VerificationTest, EnvelopeFailures) {
    const PkiCert keyless = pki.user("Keyless").subject({{"CN", "Keyless"}}).withoutKey().install();
    crypto::Store::openSystem("addressbook")->add(keyless.der());
    const PkiCert expired = pki.user("Expired").subject({{"CN", "Expired"}}).expired().install();
    crypto::Store::openSystem("addressbook")->add(expired.der());

    EXPECT_EQ(call(control(), "QMEncryptedEnvelop", {"CN=Keyless"}).hr, S_FALSE);  // nothing staged
    EXPECT_EQ(errorNum(control()), -10001);

    // Sealed for a certificate whose key is not in MY: nobody here can open it.
    call(control(), "QMSetPlainText", {"x"});
    CallResult envelope = call(control(), "QMEncryptedEnvelop", {"CN=Keyless"});
    ASSERT_EQ(envelope.hr, S_OK);
    call(control(), "QMSetPlainText", {"earlier"});
    call(control(), "QMAttachedSign", {"CN=Expired"});
    EXPECT_EQ(call(control(), "QMDecryptEnvelop", {envelope.text().c_str()}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10015);
    EXPECT_EQ(errMsg(control()), "解密错误");

    // Signed by an expired certificate.
    call(control(), "QMSetPlainText", {"x"});
    CallResult sealed = call(control(), "QMSignedAndEncryptedEnvelop", {"CN=Expired", "CN=Expired"});
    ASSERT_EQ(sealed.hr, S_OK) << errMsg(control());
    EXPECT_EQ(call(control(), "QMDecryptedAndVerifiedEnvelop", {sealed.text().c_str()}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10011);
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "");

    // The chooser for a list of six, then cancel.
    home.answer("ok");
    home.answer("cancel");
    call(control(), "QMSetPlainText", {"x"});
    EXPECT_EQ(call(control(), "QMEncryptedEnvelop", {"a|b|c|d|e|f"}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10005);
    EXPECT_EQ(errMsg(control()), "加密失败");
    ASSERT_EQ(home.ui().requests().size(), 2u);
    EXPECT_EQ(home.ui().requests()[0].text, "部分DN最多为5个");
    EXPECT_EQ(home.ui().requests()[1].caption, "请选择加密用的证书");

    // Server mode: a list for each certificate it needs.
    put(control(), "QMServerMode", 1);
    call(control(), "QMSetPlainText", {"x"});
    EXPECT_EQ(call(control(), "QMSignedAndEncryptedEnvelop", {"", "CN=Expired"}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
    home.answer("ok");
    call(control(), "QMSetPlainText", {"x"});
    EXPECT_EQ(call(control(), "QMSignedAndEncryptedEnvelop", {"a|b|c|d|e|f", "CN=Expired"}).hr, S_FALSE);
    EXPECT_EQ(home.ui().requests().back().text, "指定签名部分DN最多为5个");
}

TEST(EnvelopeBounds, SizePassesReportTheirBounds) {
    uint64_t length = 0;
    EXPECT_EQ(qm::SealEnvelope("", std::nullopt, "|", nullptr, length, nullptr), 0);
    EXPECT_EQ(length, 3709u);
    EXPECT_EQ(qm::OpenEnvelope("abcdef", nullptr, length, nullptr), 0);
    EXPECT_EQ(length, 6u);
}

}  // namespace
