// Legacy signing and the envelope: a page's flow end to end, the
// confirmation, the choosers, the stops and the platform's error boxes.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "legacy/legacy_signing.h"
#include "legacy_fixture.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/provider.h"
#include "platform/crypto/store.h"

using namespace testing_support;

namespace {

class LegacySigningTest : public LegacyTest {
protected:
    void SetUp() override {
        signer = pki.user("Signer").subject({{"O", "Bank"}, {"CN", "Signer"}}).install();
    }

    // A page that staged "ab" for the signer.
    void stageItem(IDispatch* q) {
        call(q, "addFormItem", {"ab"});
        put(q, "defaultDN", "CN=Signer");
    }

    PkiCert signer;
};

TEST_F(LegacySigningTest, PageFlowSignsAndVerifies) {
    stageItem(control());
    EXPECT_EQ(call(control(), "makeAttachedSign").hr, S_OK);
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_EQ(get(control(), "signerDN").text(), "O=Bank, CN=Signer");
    const std::string signature = get(control(), "attachedSign").text();
    EXPECT_EQ(signature.find('\n'), std::string::npos);  // plain Base64: one line
    const auto verified = crypto::verifyMessage(messageOf(signature));
    ASSERT_TRUE(verified);
    EXPECT_EQ(verified->content, ITEM_AB);
    EXPECT_EQ(verified->signer->der(), signer.der());
    EXPECT_EQ(get(control(), "attachedSign").text(), "");  // handed out once

    auto receiver = newControl();
    EXPECT_EQ(call(receiver.get(), "verifyAttachedSign", {signature.c_str(), int32_t{0}}).hr, S_OK);
    EXPECT_EQ(errorNum(receiver.get()), 0);
    EXPECT_EQ(errMsg(receiver.get()), "");
    EXPECT_EQ(get(receiver.get(), "signerDN").text(), "O=Bank, CN=Signer");
    EXPECT_EQ(get(receiver.get(), "signerDN").text(), "O=Bank, CN=Signer");  // not handed out once
    const std::string plain = encoding::decodeBase64Plain(get(receiver.get(), "signsPlaintextBase64").text());
    EXPECT_EQ(plain, ITEM_AB);
    EXPECT_EQ(get(receiver.get(), "signsHashBase64").text(), encoding::encodeBase64Plain(crypto::sha1(plain)));
    EXPECT_EQ(get(receiver.get(), "signsPlaintextBase64").text(), "");
    EXPECT_EQ(get(receiver.get(), "signsHashBase64").text(), "");
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(LegacySigningTest, DetachedSignatureOfThePlaintextProperty) {
    put(control(), "plainTextForDetachedSign", "转账一百元");
    put(control(), "defaultDN", "CN=Signer");
    call(control(), "addFormItem", {"dropped"});
    EXPECT_EQ(call(control(), "makeDetachedSign").hr, S_OK);
    EXPECT_EQ(errorNum(control()), 0);
    const std::string signature = get(control(), "detachedSign").text();
    const crypto::CertPtr detachedSigner = crypto::verifyDetachedMessage(messageOf(signature), gbk("转账一百元"));
    ASSERT_TRUE(detachedSigner);
    EXPECT_EQ(detachedSigner->der(), signer.der());
    // Both the plaintext and the staged items are consumed.
    home.answer("ok");
    call(control(), "makeDetachedSign");
    expectLastBox("未输入明文，无法进行签名！", "错误");
    home.answer("ok");
    call(control(), "makeAttachedSign");
    expectLastBox("未完成表单内容/文件名输入!", "错误");

    // An attached signing consumes the plaintext property as well.
    put(control(), "plainTextForDetachedSign", "转账");
    call(control(), "addFormItem", {"ab"});
    call(control(), "makeAttachedSign");
    EXPECT_EQ(errorNum(control()), 0);
    home.answer("ok");
    call(control(), "makeDetachedSign");
    expectLastBox("未输入明文，无法进行签名！", "错误");
}

TEST_F(LegacySigningTest, DecliningTheConfirmation) {
    pki.user("Alice").subject({{"O", "Bank"}, {"CN", "Alice"}}).install();
    struct Case {
        const char* method;
        std::function<void(IDispatch*)> stage;
        const char* prompt;
        const char* caption;
        const char* retryStop;  // staged input is gone
    } cases[] = {
        {"makeAttachedSign", [this](IDispatch* q) { stageItem(q); }, "请确认是否对以下信息签名:\n\n", "确认签名",
         "未完成表单内容/文件名输入!"},
        {"makeDetachedSign",
         [](IDispatch* q) {
             put(q, "plainTextForDetachedSign", "转账");
             put(q, "defaultDN", "CN=Signer");
         },
         "请确认是否对以下信息签名:\n\n", "确认签名", "未输入明文，无法进行签名！"},
        {"makeSignAndEncryptEnvelop",
         [this](IDispatch* q) {
             stageItem(q);
             put(q, "defaultDNRecv", "CN=Alice,O=Bank");
         },
         "请确认是否对以下信息签名并加密:\n\n", "确认签名与加密", "未完成表单内容/文件名输入!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        auto page = newControl();
        EXPECT_EQ(call(page.get(), "showPlainText").hr, S_OK);
        c.stage(page.get());
        home.answer("no");
        EXPECT_EQ(call(page.get(), c.method).hr, S_OK);
        EXPECT_EQ(errorNum(page.get()), -3);
        const std::string shown = std::string(c.method) == "makeDetachedSign" ? "转账" : std::string(ITEM_AB);
        expectLastBox(std::string(c.prompt) + shown, c.caption, "question", "yesno");
        home.answer("ok");
        call(page.get(), c.method);
        expectLastBox(c.retryStop, "错误");
    }
    // Yes signs; the question stays switched on.
    stageItem(control());
    call(control(), "showPlainText");
    home.answer("yes");
    call(control(), "makeAttachedSign");
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_EQ(signedContent(get(control(), "attachedSign").text()), ITEM_AB);
    stageItem(control());
    home.answer("yes");
    call(control(), "makeAttachedSign");
    EXPECT_EQ(home.ui().requests().back().caption, "确认签名");
}

TEST_F(LegacySigningTest, ChoosingTheSigner) {
    pki.user("Other").subject({{"O", "Bank"}, {"CN", "Other"}}).install();
    pki.user("Stranger").subject({{"O", "Elsewhere"}, {"CN", "Stranger"}}).install();
    const std::vector<std::string> all = {"签发者：Quillmark Test CA, 主题：Signer",
                                          "签发者：Quillmark Test CA, 主题：Other",
                                          "签发者：Quillmark Test CA, 主题：Stranger"};
    struct Case {
        const char* name;
        const char* dn;  // nullptr: none staged
        const char* answer;
        std::vector<std::string> entries;  // empty: no chooser
        const char* signerDN;              // nullptr: cancelled (-3)
    } cases[] = {
        {"no list: every certificate", nullptr, "select 2", all, "O=Elsewhere, CN=Stranger"},
        {"no list, cancelled", nullptr, "cancel", all, nullptr},
        {"no list, OK without a choice", nullptr, "ok", all, nullptr},
        {"one match: no chooser", "CN=Other", nullptr, {}, "O=Bank, CN=Other"},
        {"two matches: only they are listed", "O=Bank", "select 1", {all[0], all[1]}, "O=Bank, CN=Other"},
        // An empty last part matches every certificate.
        {"a list ending with the separator", "CN=Nobody|", "select 0", all, "O=Bank, CN=Signer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto page = newControl();
        call(page.get(), "addFormItem", {"ab"});
        if (c.dn) put(page.get(), "defaultDN", c.dn);
        if (c.answer) home.answer(c.answer);
        home.ui().clearRequests();
        EXPECT_EQ(call(page.get(), "makeAttachedSign").hr, S_OK);
        const auto& requests = home.ui().requests();
        if (c.entries.empty()) {
            EXPECT_TRUE(requests.empty());
        } else {
            ASSERT_EQ(requests.size(), 1u);
            EXPECT_EQ(requests[0].dialog, 104);
            EXPECT_EQ(requests[0].caption, "选择用于签名的本人证书");
            EXPECT_EQ(requests[0].edit, "请选择证书");
            EXPECT_EQ(requests[0].entries, c.entries);
        }
        if (c.signerDN) {
            EXPECT_EQ(errorNum(page.get()), 0);
            EXPECT_EQ(get(page.get(), "signerDN").text(), c.signerDN);
            EXPECT_EQ(signedContent(get(page.get(), "attachedSign").text()), ITEM_AB);
        } else {
            EXPECT_EQ(errorNum(page.get()), -3);
            EXPECT_EQ(get(page.get(), "attachedSign").text(), "");
        }
    }
}

TEST_F(LegacySigningTest, SigningStops) {
    const PkiCert alice = pki.user("Alice").subject({{"O", "Bank"}, {"CN", "Alice"}}).install();
    struct Case {
        const char* name;
        const char* method;
        std::function<void(IDispatch*)> stage;
        std::vector<const char*> answers;
        const char* message;
    } cases[] = {
        {"no detached plaintext", "makeDetachedSign", [](IDispatch* q) { put(q, "defaultDN", "CN=Signer"); },
         {"ok"}, "未输入明文，无法进行签名！"},
        // An empty chooser first, whatever the user does there.
        {"no certificate for the list", "makeAttachedSign",
         [](IDispatch* q) {
             call(q, "addFormItem", {"ab"});
             put(q, "defaultDN", "CN=Nobody");
         },
         {"ok", "ok"}, "找不到指定证书!"},
        {"no recipient for defaultDNRecv", "makeSignAndEncryptEnvelop",
         [this](IDispatch* q) {
             stageItem(q);
             put(q, "defaultDNRecv", "CN=Nobody,O=Bank");
         },
         {"ok"}, "找不到指定证书!"},
        // The subject is matched exactly: no spaces are added or removed.
        {"a recipient written with a space", "makeSignAndEncryptEnvelop",
         [this](IDispatch* q) {
             stageItem(q);
             put(q, "defaultDNRecv", "CN=Alice, O=Bank");
         },
         {"ok"}, "找不到指定证书!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto page = newControl();
        c.stage(page.get());
        for (const char* answer : c.answers) home.answer(answer);
        home.ui().clearRequests();
        EXPECT_EQ(call(page.get(), c.method).hr, S_OK);
        EXPECT_EQ(errorNum(page.get()), -11);
        EXPECT_EQ(errMsg(page.get()), "");
        expectLastBox(c.message, "错误");
        // The list that names nobody shows its empty chooser first.
        EXPECT_EQ(home.ui().requests().size(), c.answers.size());
    }
}

TEST_F(LegacySigningTest, StopsForStoresAndNames) {
    struct Case {
        const char* name;
        const char* method;
        // Prepares the case's own home; answers the PKI it got.
        std::function<void(TestHome&, TestPki&)> prepare;
        const char* message;
    } cases[] = {
        {"MY cannot be opened", "makeAttachedSign",
         [](TestHome& h, TestPki&) {
             std::filesystem::remove_all(h.path() / "stores" / "my");
             writeFile(h.path() / "stores" / "my", "not a folder");
         },
         "The \"MY\" store could not be opened."},
        {"CA cannot be opened for the recipient", "makeSignAndEncryptEnvelop",
         [](TestHome& h, TestPki& p) {
             p.user("Signer").subject({{"CN", "Signer"}}).install();
             std::filesystem::remove_all(h.path() / "stores" / "ca");
             writeFile(h.path() / "stores" / "ca", "not a folder");
         },
         "The \"CA\" store could not be opened."},
        // The chooser names certificates by CN, OU, O or E.
        {"a subject without a display name", "makeAttachedSign",
         [](TestHome&, TestPki& p) { p.user("Nameless").subject({{"C", "CN"}, {"L", "Beijing"}}).install(); },
         "证书缺少主题信息！"},
        {"an issuer without a display name", "makeAttachedSign",
         [](TestHome&, TestPki& p) {
             const PkiCert ca = p.ca("Country CA").subject({{"C", "CN"}}).install();
             p.user("Child").subject({{"CN", "Child"}}).issuedBy(ca).install();
         },
         "证书缺少签发者信息！"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestHome caseHome;
        TestPki casePki(caseHome);
        c.prepare(caseHome, casePki);
        auto page = newControl();
        call(page.get(), "addFormItem", {"ab"});
        if (std::string(c.method) == "makeSignAndEncryptEnvelop") {
            put(page.get(), "defaultDN", "CN=Signer");
            put(page.get(), "defaultDNRecv", "CN=Alice,O=Bank");
        }
        caseHome.answer("ok");
        EXPECT_EQ(call(page.get(), c.method).hr, S_OK);
        EXPECT_EQ(errorNum(page.get()), -11);
        ASSERT_EQ(caseHome.ui().requests().size(), 1u);
        EXPECT_EQ(caseHome.ui().requests()[0].text, c.message);
        EXPECT_EQ(caseHome.ui().requests()[0].caption, "错误");
    }
}

TEST_F(LegacySigningTest, PlatformFailuresShowTheirError) {
    pki.user("Keyless").subject({{"CN", "Keyless"}}).withoutKey().install();
    const PkiCert lost = pki.user("Lost").subject({{"CN", "Lost"}}).install();
    std::filesystem::remove(lost.keyFile);
    pki.user("Locked").subject({{"CN", "Locked"}}).keyPassphrase("secret").install();
    struct Case {
        const char* dn;
        std::vector<const char*> answers;  // before the box
        int32_t code;
        const char* caption;
        const char* text;
        bool plaintextKept;  // only a failing size pass consumes it
    } cases[] = {
        {"CN=Keyless", {}, -18, "获取签名包的长度",
         "该证书缺少CERT_KEY_PROV_INFO_PROP_ID 或 CERT_KEY_CONTEXT_PROP_ID 属性, 无法用于签名！", false},
        {"CN=Lost", {}, -18, "获取签名包的长度", "错误！密钥存储介质不能打开，或者不存在。", false},
        // The size pass does not unlock the key; the signing pass asks.
        {"CN=Locked", {"cancel"}, -19, "获取签名包的内容", "错误！出错代码为：0x800704c7", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dn);
        auto page = newControl();
        put(page.get(), "plainTextForDetachedSign", "x");
        put(page.get(), "defaultDN", c.dn);
        for (const char* answer : c.answers) home.answer(answer);
        home.answer("ok");
        EXPECT_EQ(call(page.get(), "makeDetachedSign").hr, S_OK);
        EXPECT_EQ(errorNum(page.get()), c.code);
        expectLastBox(c.text, c.caption);
        EXPECT_EQ(get(page.get(), "detachedSign").text(), "");

        // Signed again by a usable key, without putting the text again.
        put(page.get(), "defaultDN", "CN=Signer");
        if (!c.plaintextKept) home.answer("ok");
        call(page.get(), "makeDetachedSign");
        EXPECT_EQ(errorNum(page.get()), c.plaintextKept ? 0 : -11);
    }
}

TEST(ShowPlatformErrorText, EachKnownErrorHasItsText) {
    struct Case {
        uint32_t error;
        const char* text;
    } cases[] = {
        {crypto::NTE_KEYSET_NOT_DEF, "错误！请插入相应的密钥存储介质。"},
        {crypto::ERROR_INVALID_HANDLE, "错误！出错代码为：ERROR_INVALID_HANDLE"},
        {crypto::ERROR_MORE_DATA, "错误！出错代码为：ERROR_MORE_DATA"},
        {crypto::E_INVALIDARG, "错误！出错代码为：E_INVALIDARG"},
        {crypto::NTE_BAD_KEYSET, "错误！密钥存储介质不能打开，或者不存在。"},
        {crypto::NTE_KEYSET_ENTRY_BAD, "错误！所找到的密钥存储介质已经损坏。"},
        {crypto::CRYPT_E_NO_KEY_PROPERTY,
         "该证书缺少CERT_KEY_PROV_INFO_PROP_ID 或 CERT_KEY_CONTEXT_PROP_ID 属性, 无法用于签名！"},
        {crypto::CRYPT_E_OSS_ERROR, "错误！不可识别的ASN编码。"},
        {crypto::NTE_BAD_SIGNATURE, "错误！出错代码为：0x80090006"},
        {0, "错误！出错代码为：0x0"},
        {5, "错误！出错代码为：0x5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(qm::platformErrorText(c.error), c.text);
    }
}

class LegacyEnvelopeTest : public LegacySigningTest {
protected:
    void SetUp() override {
        LegacySigningTest::SetUp();
        // A namesake in "CA", found first by the name search but not the one
        // the page means.
        pki.user("Alice Elsewhere").subject({{"O", "Other"}, {"CN", "Alice"}}).withoutKey().inStore("ca").install();
        alice = pki.user("Alice").subject({{"O", "Bank"}, {"CN", "Alice"}}).install();
    }

    std::string seal(IDispatch* q) {
        stageItem(q);
        put(q, "defaultDNRecv", "CN=Alice,O=Bank");
        EXPECT_EQ(call(q, "makeSignAndEncryptEnvelop").hr, S_OK);
        EXPECT_EQ(errorNum(q), 0);
        return get(q, "signAndEncryptEnvelop").text();
    }

    PkiCert alice;
};

TEST_F(LegacyEnvelopeTest, OpensWithTheSecondGenerationMember) {
    const std::string envelope = seal(control());
    EXPECT_EQ(envelope.find('\n'), std::string::npos);
    EXPECT_EQ(get(control(), "signAndEncryptEnvelop").text(), "");
    EXPECT_EQ(get(control(), "signerDN").text(), "O=Bank, CN=Signer");

    // Inside: an attached signature of the legacy plaintext, for Alice.
    const auto my = crypto::Store::openSystem("my");
    const auto opened = crypto::decryptMessage({my.get()}, messageOf(envelope));
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->recipient->der(), alice.der());
    const auto inner = crypto::verifyMessage(opened->content);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->content, ITEM_AB);

    auto receiver = newControl();
    ASSERT_EQ(call(receiver.get(), "QMDecryptedAndVerifiedEnvelop", {envelope.c_str()}).hr, S_OK)
        << errMsg(receiver.get());
    EXPECT_EQ(call(receiver.get(), "QMGetPlainText").text(), ITEM_AB);
    EXPECT_EQ(call(receiver.get(), "QMGetSignerCertInfo", {1}).text(), "O=Bank, CN=Signer");
    EXPECT_EQ(call(receiver.get(), "QMGetReciptCertInfo", {1}).text(), "O=Bank, CN=Alice");
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(LegacyEnvelopeTest, ALargeEnvelopeIsCompressed) {
    put(control(), "MaxCompSize", 1000);
    const std::string envelope = seal(control());
    bool compressed = false;
    const std::string message = messageOf(envelope, &compressed);
    EXPECT_TRUE(compressed);
    // The second generation does not decompress: it finds no envelope.
    auto receiver = newControl();
    EXPECT_EQ(call(receiver.get(), "QMDecryptedAndVerifiedEnvelop", {envelope.c_str()}).hr, S_FALSE);
    EXPECT_EQ(errorNum(receiver.get()), -10007);
    EXPECT_EQ(errMsg(receiver.get()), "解密错误");
    // Expanded first, it opens.
    const std::string expanded = encoding::encodeBase64Wrapped(message);
    EXPECT_EQ(call(receiver.get(), "QMDecryptedAndVerifiedEnvelop", {expanded.c_str()}).hr, S_OK);
    EXPECT_EQ(call(receiver.get(), "QMGetPlainText").text(), ITEM_AB);

    // The threshold counts the envelope's own bytes: exactly MaxCompSize is
    // compressed, one byte under it is not.
    const auto size = static_cast<int32_t>(message.size());
    struct Case {
        int32_t maxCompSize;
        bool compressed;
    } cases[] = {{size, true}, {size + 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxCompSize);
        auto page = newControl();
        put(page.get(), "MaxCompSize", c.maxCompSize);
        bool packed = !c.compressed;
        EXPECT_EQ(messageOf(seal(page.get()), &packed).size(), message.size());
        EXPECT_EQ(packed, c.compressed);
    }
}

TEST_F(LegacyEnvelopeTest, ChoosingTheRecipient) {
    stageItem(control());
    home.answer("select 2");
    call(control(), "makeSignAndEncryptEnvelop");
    EXPECT_EQ(errorNum(control()), 0);
    const auto& chooser = home.ui().requests().back();
    EXPECT_EQ(chooser.caption, "选择用于加密的对方证书");
    EXPECT_EQ(chooser.edit, "");
    // "CA" first, then "MY".
    const std::vector<std::string> entries = {"签发者：Quillmark Test Root, 主题：Quillmark Test CA",
                                              "签发者：Quillmark Test CA, 主题：Alice",
                                              "签发者：Quillmark Test CA, 主题：Signer",
                                              "签发者：Quillmark Test CA, 主题：Alice"};
    EXPECT_EQ(chooser.entries, entries);
    const auto my = crypto::Store::openSystem("my");
    const auto opened = crypto::decryptMessage({my.get()}, messageOf(get(control(), "signAndEncryptEnvelop").text()));
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->recipient->der(), signer.der());

    stageItem(control());
    home.answer("cancel");
    call(control(), "makeSignAndEncryptEnvelop");
    EXPECT_EQ(errorNum(control()), -3);
}

TEST_F(LegacyEnvelopeTest, RecipientSubjectMatch) {
    const PkiCert full = pki.user("Full")
                             .subject({{"C", "CN"}, {"S", "Beijing"}, {"L", "Haidian"}, {"CN", "张三"},
                                       {"E", "zhang@bank.example"}})
                             .inNoStore()
                             .install();
    NameEntries many;
    for (int i = 0; i < 40; ++i) many.emplace_back("OU", "Department " + std::to_string(100 + i) + " of the bank");
    const PkiCert large = pki.user("Large").subject(many).inNoStore().install();
    std::string manyText;
    for (const auto& entry : many) manyText += (manyText.empty() ? "OU=" : ",OU=") + entry.second;

    struct Case {
        const char* name;
        const PkiCert& cert;
        std::string dn;
        bool match;
    } cases[] = {
        {"reversed order", alice, "CN=Alice,O=Bank", true},
        {"encoded order", alice, "O=Bank,CN=Alice", true},
        // Spaces are neither added nor removed.
        {"with a space", alice, "CN=Alice, O=Bank", false},
        // Byte for byte: case matters.
        {"other case", alice, "cn=Alice,O=Bank", false},
        // The whole subject is named, not a part.
        {"a part", alice, "CN=Alice", false},
        {"S, no key for L, Chinese and E", full, "C=CN,S=Beijing,Haidian,CN=张三,E=zhang@bank.example", true},
        {"reversed, Chinese", full, "E=zhang@bank.example,CN=张三,Haidian,S=Beijing,C=CN", true},
        {"a rendering of more than 1023 bytes", large, manyText, true},
        {"the same with one byte more", large, manyText + "x", false},
    };
    ASSERT_GT(manyText.size(), 1023u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qm::RecipientSubjectMatch(*c.cert.cert, gbk(c.dn.c_str())), c.match);
    }
}

}  // namespace
