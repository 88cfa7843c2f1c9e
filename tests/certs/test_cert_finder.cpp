#include <gtest/gtest.h>

#include "certs/cert_chooser.h"
#include "certs/cert_finder.h"
#include "certs/cert_info.h"
#include "control_fixture.h"
#include "encoding/node_list.h"
#include "platform/codepage/codepage.h"
#include "platform/crypto/provider.h"
#include "support/test_pki.h"

using namespace testing_support;

namespace {

std::string ansi(const char* utf8) { return codepage::ansiFromUtf8(utf8); }

TEST(NodeList, KeepsItemsInOrderAndRefusesEmptyOnes) {
    qm::NodeList list;
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.append("a"), 0);
    EXPECT_EQ(list.append("bc"), 0);
    EXPECT_EQ(list.append(""), qm::LIST_NO_ITEM);
    EXPECT_EQ(list.append(std::string("A\0B", 3)), 0);
    EXPECT_EQ(list.count(), 3);
    std::string_view item;
    EXPECT_EQ(list.item(1, item), 0);
    EXPECT_EQ(item, "bc");
    EXPECT_EQ(list.item(2, item), 0);
    EXPECT_EQ(item, std::string_view("A\0B", 3));
    EXPECT_EQ(list.item(-1, item), qm::LIST_BAD_INDEX);
    EXPECT_EQ(list.item(3, item), qm::LIST_NO_ITEM);
}

class ChooserTest : public HomeTest {
protected:
    qm::NodeList candidates(std::initializer_list<std::pair<const char*, const char*>> pairs) {
        qm::NodeList list;
        for (const auto& [subject, issuer] : pairs) {
            list.append(ansi(subject));
            list.append(ansi(issuer));
            list.append(std::string("\x30\x00", 2));
        }
        return list;
    }
};

TEST_F(ChooserTest, EntriesNameIssuerThenSubject) {
    const qm::NodeList list = candidates({{"Alpha", "Root CA"}, {"张三", "Test CA"}, {"Gamma", "Test CA"}});
    home.answer("select 1");
    qm::CertChooser chooser(3, &list, std::string("请选择签名用的证书"));
    chooser.run();
    EXPECT_EQ(chooser.chosenIndex(), 5);  // 3 × 1 + 2

    ASSERT_EQ(home.ui().requests().size(), 1u);
    const auto& request = home.ui().requests()[0];
    EXPECT_EQ(request.kind, "chooser");
    EXPECT_EQ(request.dialog, 203);
    EXPECT_EQ(request.caption, "请选择签名用的证书");
    EXPECT_EQ(request.edit, "请选择证书");
    ASSERT_EQ(request.entries.size(), 3u);
    EXPECT_EQ(request.entries[0], "签发者：Root CA ，主题：Alpha");
    EXPECT_EQ(request.entries[1], "签发者：Test CA ，主题：张三");
    // The widest entry sets the drop-down's width.
    EXPECT_EQ(request.width, ui::measureText(ansi("签发者：Test CA ，主题：Gamma")));
}

TEST_F(ChooserTest, NothingSelectedOrCancelGivesMinusOne) {
    const qm::NodeList list = candidates({{"Alpha", "Root CA"}});
    for (const char* answer : {"ok", "cancel"}) {
        SCOPED_TRACE(answer);
        home.answer(answer);
        qm::CertChooser chooser(1, &list, std::nullopt);
        chooser.run();
        EXPECT_EQ(chooser.chosenIndex(), -1);
    }
    EXPECT_EQ(home.ui().requests()[0].caption, "请选择您要用的证书");  // the template's own caption
}

TEST_F(ChooserTest, ListWithoutThreeItemsPerCandidateShowsNothing) {
    qm::NodeList list = candidates({{"Alpha", "Root CA"}, {"Beta", "Root CA"}});
    list.append("stray");
    home.answer("cancel");
    qm::CertChooser chooser(2, &list, std::nullopt);
    chooser.run();
    EXPECT_TRUE(home.ui().requests()[0].entries.empty());
    EXPECT_EQ(home.ui().requests()[0].width, 0);
}

TEST_F(ChooserTest, LegacyChooserForEncryption) {
    const std::vector<std::string> subjects{"Alice", "Bob"};
    const std::vector<std::string> issuers{"Bank CA", "Bank CA"};
    home.answer("select 1");
    qm::LegacyCertChooser chooser(1, &subjects, &issuers);
    chooser.run();
    EXPECT_EQ(chooser.chosenIndex(), 1);
    const auto& request = home.ui().requests()[0];
    EXPECT_EQ(request.dialog, 104);
    EXPECT_EQ(request.caption, "选择用于加密的对方证书");
    EXPECT_EQ(request.edit, "");
    EXPECT_EQ(request.entries[0], "签发者：Bank CA, 主题：Alice");

    home.answer("cancel");
    qm::LegacyCertChooser signing(0, &subjects, &issuers);
    signing.run();
    EXPECT_EQ(signing.chosenIndex(), -1);
    EXPECT_EQ(home.ui().requests()[1].caption, "选择用于签名的本人证书");
    EXPECT_EQ(home.ui().requests()[1].edit, "请选择证书");
}

class FinderTest : public HomeTest {
protected:
    TestPki pki{home};
    std::unique_ptr<crypto::Store> my() {
        auto store = crypto::Store::openSystem("my");
        EXPECT_NE(store, nullptr);
        return store;
    }
    static std::string subjectOf(const crypto::CertPtr& cert) {
        std::string text;
        if (cert) qm::GetCertField(cert.get(), qm::CERT_FIELD_SUBJECT, text);
        return cert ? text : "<none>";
    }
};

TEST_F(FinderTest, PartialDnListsNameCertificates) {
    pki.user("Alpha").subject({{"O", "Bank"}, {"CN", "Alpha"}}).install();
    pki.user("Beta").subject({{"O", "Bank"}, {"CN", "Beta"}}).install();
    auto store = my();
    const qm::StoreSet stores{store.get()};

    // Exactly one candidate: no dialog.
    EXPECT_EQ(subjectOf(qm::FindCertByPartialDns(stores, "CN=Beta", "|")), "O=Bank, CN=Beta");
    EXPECT_TRUE(home.ui().requests().empty());

    // Two: the user chooses.
    home.answer("select 1");
    EXPECT_EQ(subjectOf(qm::FindCertByPartialDns(stores, "CN=Alpha|CN=Beta", "|")), "O=Bank, CN=Beta");
    ASSERT_EQ(home.ui().requests().size(), 1u);
    EXPECT_EQ(home.ui().requests()[0].caption, "请选择签名用的证书");
    EXPECT_EQ(home.ui().requests()[0].entries,
              (std::vector<std::string>{"签发者：Quillmark Test CA ，主题：Alpha", "签发者：Quillmark Test CA ，主题：Beta"}));

    // None: an empty list the user can only close.
    home.answer("ok");
    EXPECT_EQ(qm::FindCertByPartialDns(stores, "CN=Nobody", "|"), nullptr);
    EXPECT_TRUE(home.ui().requests()[1].entries.empty());

    // A list ending with the separator names every certificate.
    home.answer("cancel");
    EXPECT_EQ(qm::FindCertByPartialDns(stores, "CN=Alpha|", "|"), nullptr);
    EXPECT_EQ(home.ui().requests()[2].entries.size(), 2u);
}

TEST_F(FinderTest, SameSubjectTwiceReturnsTheFirst) {
    const PkiCert first = pki.user("Twin").subject({{"CN", "Twin"}}).install();
    const PkiCert second = pki.user("Twin").subject({{"CN", "Twin"}}).install();
    auto store = my();
    home.answer("select 1");
    const crypto::CertPtr found = qm::FindCertByPartialDns({store.get()}, "CN=Twin", "|");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->der(), first.der());
    EXPECT_NE(found->der(), second.der());
}

TEST_F(FinderTest, EmptyCommonNameStillGivesAChoice) {
    // An empty common name, written as an empty UTF8String.
    crypto::UniquePtr<X509_NAME> name = makeName({{"O", "Bank"}});
    crypto::UniquePtr<X509_NAME_ENTRY> empty(
        X509_NAME_ENTRY_create_by_NID(nullptr, NID_commonName, V_ASN1_UTF8STRING, nullptr, 0));
    ASSERT_TRUE(empty && X509_NAME_add_entry(name.get(), empty.get(), -1, 0) == 1);
    pki.user("Empty").subjectName(name.get()).install();
    pki.user("Other").subject({{"O", "Bank"}, {"CN", "Other"}}).install();
    auto store = my();
    home.answer("select 0");
    EXPECT_EQ(subjectOf(qm::FindCertByPartialDns({store.get()}, "O=Bank", "|")), "O=Bank, CN=");
    EXPECT_EQ(home.ui().requests()[0].entries[0], "签发者：Quillmark Test CA ，主题：O=Bank, CN=");
}

TEST(SerialList, ReadsHexPiecesLeastSignificantFirst) {
    EXPECT_EQ(qm::readSerialList("0A1B"), (std::vector<std::string>{"\x1B\x0A"}));
    EXPECT_EQ(qm::readSerialList("0a1b 01"), (std::vector<std::string>{"\x1B\x0A", "\x01"}));
    EXPECT_TRUE(qm::readSerialList("A1B").empty());   // odd length
    EXPECT_TRUE(qm::readSerialList("A1G2").empty());  // not hex
    EXPECT_EQ(qm::readSerialList("  01  ").size(), 1u);  // empty pieces
    std::string many;
    for (int i = 0; i < 25; ++i) many += "0" + std::to_string(i % 10) + " ";
    EXPECT_EQ(qm::readSerialList(many).size(), qm::MAX_SERIALS);
}

TEST_F(FinderTest, SerialNumbersWithTheirIssuer) {
    const std::string issuer = "C=CN, O=Quillmark Test, CN=Quillmark Test CA";
    pki.user("One").subject({{"CN", "One"}}).serial("00A1B2").install();
    pki.user("Two").subject({{"CN", "Two"}}).serial("0A1B").install();
    const PkiCert other = pki.ca("Other").subject({{"CN", "Other CA"}}).install();
    pki.user("Elsewhere").subject({{"CN", "Elsewhere"}}).serial("0A1B").issuedBy(other).install();
    auto store = my();
    const qm::StoreSet stores{store.get()};

    EXPECT_EQ(subjectOf(qm::FindCertBySerial(stores, "A1B2", issuer)), "CN=One");  // leading zero byte
    EXPECT_EQ(subjectOf(qm::FindCertBySerial(stores, "0a1b", issuer)), "CN=Two");
    EXPECT_EQ(subjectOf(qm::FindCertBySerial(stores, "0A1B", "CN=Other CA")), "CN=Elsewhere");
    EXPECT_EQ(qm::FindCertBySerial(stores, "0A1B", "cn=other ca"), nullptr);  // issuer compared exactly
    EXPECT_EQ(qm::FindCertBySerial(stores, "A1B A1G2", issuer), nullptr);    // nothing valid
    EXPECT_TRUE(home.ui().requests().empty());

    // Two serial numbers that both hit: the user chooses.
    home.answer("select 0");
    EXPECT_EQ(subjectOf(qm::FindCertBySerial(stores, "00A1B2 0A1B", issuer)), "CN=One");
    EXPECT_EQ(home.ui().requests().size(), 1u);
    // Two numbers, one hit: no dialog.
    EXPECT_EQ(subjectOf(qm::FindCertBySerial(stores, "0A1B 7777", issuer)), "CN=Two");
    EXPECT_EQ(home.ui().requests().size(), 1u);
}

TEST_F(ControlTest, IsCertExistsAnswersThroughItsResultOnly) {
    TestPki pki(home);
    pki.user("Test User").subject({{"O", "Bank"}, {"CN", "Test User"}}).install();
    call(control(), "QMBase64Decode", {"YWJ"});  // leaves an error that must stay
    struct Case {
        ScriptValue dn;
        uint32_t result;
    } cases[] = {
        {ScriptValue::null(), 0},
        {"O=Bank, CN=Test User", 1},
        {"test user", 1},
        {"CN=Test User", 0},
    };
    for (const Case& c : cases) {
        CallResult result = call(control(), "IsCertExists", {c.dn});
        EXPECT_EQ(result.hr, S_OK);
        EXPECT_EQ(static_cast<uint32_t>(result.number()), c.result);
    }
    EXPECT_EQ(errorNum(control()), -10002);

    // No provider handle can be had: the default container is in the way.
    // (The calls above made the container; a plain file takes its place.)
    const auto container = home.path() / "keys" / crypto::defaultContainerName();
    std::filesystem::remove_all(container);
    writeFile(container, "not a folder");
    CallResult refused = call(control(), "IsCertExists", {"O=Bank, CN=Test User"});
    EXPECT_EQ(static_cast<uint32_t>(refused.number()), 4294957277u);  // -10019
}

TEST_F(ControlTest, SubjectsByIssuers) {
    TestPki pki(home);
    const PkiCert a = pki.ca("A").subject({{"CN", "Issuer A"}}).install();
    const PkiCert b = pki.ca("B").subject({{"CN", "Issuer B"}}).install();
    pki.user("1").subject({{"CN", "One"}}).issuedBy(b).install();
    pki.user("2").subject({{"CN", "Two"}}).issuedBy(a).install();
    pki.user("3").subject({{"CN", "Three"}}).issuedBy(b).install();
    struct Case {
        const char* issuers;
        const char* subjects;
    } cases[] = {
        {"CN=Issuer A;CN=Issuer B", "CN=Two;CN=One;CN=Three"},
        {"CN=Issuer B;CN=Issuer B", "CN=One;CN=Three;CN=One;CN=Three"},
        {"CN=Issuer A;", "CN=Two"},
        {"CN=Nobody", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.issuers);
        CallResult result = call(control(), "QMEnumCertsDNByIssers", {c.issuers});
        EXPECT_EQ(result.hr, S_OK);
        EXPECT_EQ(result.text(), c.subjects);
    }
    EXPECT_EQ(call(control(), "QMEnumCertsDNByIssers", {ScriptValue::null()}).hr, S_FALSE);
}

}  // namespace
