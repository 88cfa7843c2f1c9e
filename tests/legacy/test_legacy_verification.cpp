// Legacy verification: its own issuer lookup and checks, its small codes,
// the compressed form and saving the verified text.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "legacy_fixture.h"
#include "platform/crypto/messages.h"
#include "platform/crypto/names.h"

using namespace testing_support;

namespace {

constexpr int32_t NO_SAVE = 0;
constexpr int32_t SAVE = 1;

class LegacyVerificationTest : public LegacyTest {
protected:
    // An attached signature of `content` by `cert`, as plain Base64.
    static std::string signedBy(const PkiCert& cert, std::string_view content = "text") {
        const std::optional<std::string> message = crypto::signMessage(cert.cert, content, false);
        EXPECT_TRUE(message);
        return encoding::encodeBase64Plain(message.value_or(std::string()));
    }

    // Verifies in a control of its own; answers errorNum.
    int32_t verifyIn(IDispatch* q, const ScriptValue& text, int32_t savePlain = NO_SAVE) {
        const HRESULT hr = call(q, "verifyAttachedSign", {text, savePlain}).hr;
        const int32_t code = errorNum(q);
        EXPECT_EQ(hr, code == 0 ? S_OK : S_FALSE);
        EXPECT_EQ(errMsg(q), "");
        return code;
    }
};

TEST_F(LegacyVerificationTest, SignerCertificateChecks) {
    // "Branch CA" is looked for as a part of a subject, and the older
    // "Branch CA 2008" comes first in "CA": its key did not sign the user.
    pki.ca("Branch CA 2008").install();
    const PkiCert branch = pki.ca("Branch CA").install();
    const PkiCert revoked = pki.user("Revoked").subject({{"CN", "Revoked"}}).install();
    pki.revoke(revoked);
    struct Case {
        const char* name;
        PkiCert signer;
        int32_t code;
    } cases[] = {
        {"valid", pki.user("Valid").subject({{"O", "Bank"}, {"CN", "Valid"}}).install(), 0},
        // Expiry is tolerated.
        {"expired", pki.user("Expired").subject({{"CN", "Expired"}}).expired().install(), 0},
        {"issued by the root", pki.user("Direct").subject({{"CN", "Direct"}}).issuedBy(pki.root()).install(), 0},
        {"issuer in no store", pki.user("Orphan").subject({{"CN", "Orphan"}}).issuedBy(pki.orphanCa()).install(), -6},
        {"revoked", revoked, -9},
        {"untrusted root",
         pki.user("Untrusted").subject({{"CN", "Untrusted"}}).issuedBy(pki.untrustedRoot()).install(), -9},
        {"a broken signature in the chain", pki.user("Broken").subject({{"CN", "Broken"}}).brokenSignature().install(),
         -9},
        {"the issuer found is a namesake", pki.user("Branch").subject({{"CN", "Branch User"}}).issuedBy(branch).install(),
         -13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto receiver = newControl();
        EXPECT_EQ(verifyIn(receiver.get(), signedBy(c.signer).c_str()), c.code);
        // The signer is named whatever the checks said.
        EXPECT_EQ(get(receiver.get(), "signerDN").text(), codepage::utf8FromAnsi(*crypto::x500String(
                                                              X509_get_subject_name(c.signer.x509()))));
        const std::string plain = get(receiver.get(), "signsPlaintextBase64").text();
        EXPECT_EQ(plain, c.code == 0 ? "dGV4dA==" : "");
    }
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(LegacyVerificationTest, TextsThatHoldNoSignedMessage) {
    const PkiCert user = pki.user("User").subject({{"CN", "User"}}).install();
    const std::string detached =
        encoding::encodeBase64Plain(crypto::signMessage(user.cert, "text", true).value_or(std::string()));
    struct Case {
        const char* name;
        ScriptValue text;
        const char* box;
    } cases[] = {
        {"not a message", "YWJj", "错误！不可识别的ASN编码。"},
        // A null text is taken as an empty one: neither holds a message.
        {"empty", "", "错误！不可识别的ASN编码。"},
        {"null", ScriptValue::null(), "错误！不可识别的ASN编码。"},
        // Verified as attached, a detached signature has no content to check.
        {"a detached signature", detached.c_str(), "错误！出错代码为：0x80091001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto receiver = newControl();
        home.answer("ok");
        EXPECT_EQ(verifyIn(receiver.get(), c.text), -1);
        expectLastBox(c.box, "验证Attached方式签名");
        EXPECT_EQ(get(receiver.get(), "signerDN").text(), "");
    }
}

TEST_F(LegacyVerificationTest, StoresThatCannotBeOpened) {
    const PkiCert direct = pki.user("Direct").subject({{"CN", "Direct"}}).issuedBy(pki.root()).install();
    const PkiCert orphan = pki.user("Orphan").subject({{"CN", "Orphan"}}).issuedBy(pki.orphanCa()).install();
    const auto breakStore = [&](const char* name) {
        std::filesystem::remove_all(home.path() / "stores" / name);
        writeFile(home.path() / "stores" / name, "not a folder");
    };
    // The issuer is still found in "Root", but the chain needs "CA" too.
    breakStore("ca");
    EXPECT_EQ(verifyIn(control(), signedBy(direct).c_str()), -10);
    breakStore("root");
    EXPECT_EQ(verifyIn(control(), signedBy(orphan).c_str()), -4);
}

TEST_F(LegacyVerificationTest, CompressedAndWrappedForms) {
    const PkiCert user = pki.user("User").subject({{"CN", "User"}}).install();
    call(control(), "addFormItem", {"ab"});
    put(control(), "defaultDN", "CN=User");
    call(control(), "makeAttachedSign");
    const size_t size = messageOf(get(control(), "attachedSign").text()).size();

    // A signed message of exactly MaxCompSize bytes is compressed; one byte
    // less than the threshold is not.
    struct Case {
        int32_t maxCompSize;
        bool compressed;
    } cases[] = {{static_cast<int32_t>(size), true}, {static_cast<int32_t>(size) + 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxCompSize);
        auto page = newControl();
        put(page.get(), "MaxCompSize", c.maxCompSize);
        call(page.get(), "addFormItem", {"ab"});
        put(page.get(), "defaultDN", "CN=User");
        call(page.get(), "makeAttachedSign");
        const std::string signature = get(page.get(), "attachedSign").text();
        const std::string bytes = encoding::decodeBase64Plain(signature);
        EXPECT_EQ(bytes.starts_with("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x0B"), c.compressed);
        auto receiver = newControl();
        EXPECT_EQ(verifyIn(receiver.get(), signature.c_str()), 0);
        EXPECT_EQ(encoding::decodeBase64Plain(get(receiver.get(), "signsPlaintextBase64").text()), ITEM_AB);
    }

    // The second generation's wrapped Base64 is read too.
    call(control(), "QMSetPlainText", {"对账单"});
    const std::string wrapped = call(control(), "QMAttachedSign", {"CN=User"}).text();
    ASSERT_NE(wrapped.find('\n'), std::string::npos);
    EXPECT_EQ(verifyIn(control(), wrapped.c_str()), 0);
    EXPECT_EQ(encoding::decodeBase64Plain(get(control(), "signsPlaintextBase64").text()), gbk("对账单"));
}

TEST_F(LegacyVerificationTest, SavingTheVerifiedText) {
    const PkiCert user = pki.user("User").subject({{"CN", "User"}}).install();
    const std::string signature = signedBy(user, gbk("工资单 2026"));
    const std::string longPath = "c:\\" + std::string(256, 'x') + ".txt";  // 263 bytes
    struct Case {
        const char* name;
        std::string answer;
        int32_t code;
        const char* box;  // nullptr: none
    } cases[] = {
        {"saved", "file c:\\plain.txt", 0, nullptr},
        {"cancelled", "cancel", 0, nullptr},
        {"a folder that does not exist", "file c:\\nowhere\\plain.txt", -15, "无法打开该文件！"},
        {"a folder in place of the file", "file c:\\", -15, "无法打开该文件！"},
        // The dialog's buffer holds 260 bytes.
        {"a name the dialog cannot hold", "file " + longPath, -16, "无法打开文件对话框！"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(home.context().files().map("c:\\plain.txt"));
        auto receiver = newControl();
        home.ui().clearRequests();
        home.answer(c.answer);
        if (c.box) home.answer("ok");
        EXPECT_EQ(verifyIn(receiver.get(), signature.c_str(), SAVE), c.code);
        const auto& requests = home.ui().requests();
        ASSERT_EQ(requests.size(), c.box ? 2u : 1u);
        EXPECT_EQ(requests[0].kind, "save");
        EXPECT_EQ(requests[0].title, "验证通过，保存明文");
        EXPECT_EQ(requests[0].filter, "*.*");
        EXPECT_EQ(requests[0].flags, 0x2002u);
        if (c.box) expectLastBox(c.box, "错误");
        // The verification itself went through.
        EXPECT_EQ(get(receiver.get(), "signerDN").text(), "CN=User");
        EXPECT_FALSE(get(receiver.get(), "signsHashBase64").text().empty());
    }
    // Written as verified, not converted.
    home.answer("file c:\\plain.txt");
    verifyIn(control(), signature.c_str(), SAVE);
    EXPECT_EQ(readFile(home.context().files().map("c:\\plain.txt")), gbk("工资单 2026"));
}

}  // namespace
