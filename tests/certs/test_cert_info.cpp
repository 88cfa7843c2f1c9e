#include <gtest/gtest.h>

#include "certs/cert_info.h"
#include "certs/cert_match.h"
#include "control/state/codes.h"
#include "control_fixture.h"
#include "platform/codepage/codepage.h"
#include "support/test_pki.h"

using namespace testing_support;

namespace {

std::string utf8(const std::string& ansi) { return codepage::utf8FromAnsi(ansi); }

crypto::Seconds at(int year, int month, int day, int hour, int minute = 0) {
    using namespace std::chrono;
    return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute};
}

TEST(CertInfo, SerialFormGroupsFourDigits) {
    struct Case {
        std::string bytes;
        const char* text;
    } cases[] = {
        {"\x01\xA2\x0F\x3B\x44", "01A2 0F3B 44"},
        {"\x0F", "0F"},
        {"\x01\x02", "0102"},
        {"\x01\x02\x03", "0102 03"},
        {std::string("\x00\xA1\xB2", 3), "00A1 B2"},  // a leading 00 is kept
        {std::string(20, '\xAB'), "ABAB ABAB ABAB ABAB ABAB ABAB ABAB ABAB ABAB ABAB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(qm::formatSerial(c.bytes), c.text);
        const size_t n = c.bytes.size();
        EXPECT_EQ(qm::formatSerial(c.bytes).size(), 2 * n + (n - 1) / 2);
    }
    // Longer than any fixed buffer would hold.
    EXPECT_EQ(qm::formatSerial(std::string(200, '\x11')).size(), 400u + 99u);
}

TEST(CertInfo, TimeFormInUtc) {
    EXPECT_EQ(utf8(qm::formatCertTime({2008, 5, 27, 8, 30, 0})), "2008年05月27日 08:30:00(格林威治时间)");
    EXPECT_EQ(qm::formatCertTime({2008, 5, 27, 8, 30, 0}).size(), 19u + 9u * 2u);  // nine GBK characters
    EXPECT_EQ(qm::formatCertTime({2008, 13, 1, 0, 0, 0}), "");
}

class CertInfoTest : public HomeTest {
protected:
    TestPki pki{home};
};

TEST_F(CertInfoTest, FieldsOfACertificate) {
    // Valid from midnight Beijing time, which is 16:00 UTC the day before.
    const PkiCert user = pki.user("Test User")
                             .subject({{"C", "CN"}, {"O", "Bank"}, {"OU", "Branch"}, {"CN", "Test User"}})
                             .serial("01A20F3B44")
                             .validity(at(2019, 12, 31, 16), at(2030, 1, 1, 0))
                             .install();
    qm::CertInfoRecord record;
    ASSERT_EQ(qm::FillCertInfo(*user.cert, record), 0);
    EXPECT_EQ(record.texts[0], "C=CN, O=Bank, OU=Branch, CN=Test User");
    EXPECT_EQ(record.texts[1], "C=CN, O=Quillmark Test, CN=Quillmark Test CA");
    EXPECT_EQ(utf8(*record.texts[2]), "2019年12月31日 16:00:00(格林威治时间)");
    EXPECT_EQ(utf8(*record.texts[3]), "2030年01月01日 00:00:00(格林威治时间)");
    EXPECT_EQ(record.texts[4], "01A2 0F3B 44");

    std::string text = "stale";
    EXPECT_EQ(qm::GetCertField(user.cert.get(), 6, text), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(qm::GetCertField(nullptr, 1, text), qm::ERR_NO_SOURCE);
}

TEST_F(CertInfoTest, ExistenceMatch) {
    pki.user("Test User").subject({{"O", "Bank"}, {"CN", "Test User"}}).install();
    auto store = crypto::Store::openSystem("my");
    ASSERT_NE(store, nullptr);
    struct Case {
        const char* text;
        bool exists;
    } cases[] = {
        {"O=Bank, CN=Test User", true},
        {"O=Bank,CN=Test User", true},  // comma spacing is applied to the text
        {"CN=Test User", false},         // strict: the whole subject must be this text
        {"O=BANK, CN=Test User", false}, // strict comparison keeps case
        {"test", true},                  // no marker: any subject that holds it, in any case
        {"nobody", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(qm::findExistingCertificate(*store, c.text) != nullptr, c.exists);
    }
}

TEST_F(CertInfoTest, IssuerListMatch) {
    const PkiCert other = pki.ca("Other CA").subject({{"CN", "Other CA"}}).install();
    pki.user("A").subject({{"CN", "A"}}).install();
    pki.user("B").subject({{"CN", "B"}}).issuedBy(other).install();
    pki.user("C").subject({{"CN", "C"}}).install();
    auto store = crypto::Store::openSystem("my");
    ASSERT_NE(store, nullptr);
    auto names = [&](std::string_view issuer) {
        std::string joined;
        for (const auto& cert : qm::certificatesIssuedBy(*store, issuer)) {
            std::string subject;
            qm::GetCertField(cert.get(), qm::CERT_FIELD_SUBJECT, subject);
            joined += subject + ";";
        }
        return joined;
    };
    EXPECT_EQ(names("C=CN,O=Quillmark Test,CN=Quillmark Test CA"), "CN=A;CN=C;");
    EXPECT_EQ(names("CN=Quillmark Test CA"), "");  // the whole issuer, not a part of it
    EXPECT_EQ(names("CN=Other CA"), "CN=B;");
    EXPECT_EQ(names("cn=Other CA"), "");  // exact, case included
    EXPECT_EQ(names("Other CA"), "");     // no loose form here
}

TEST_F(ControlTest, InformationTypesOutsideTheRange) {
    for (const char* member : {"QMGetSignerCertInfo", "QMGetReciptCertInfo"}) {
        SCOPED_TRACE(member);
        for (int32_t type : {0, 6}) {
            CallResult result = call(control(), member, {type});
            EXPECT_EQ(result.hr, S_FALSE);
            EXPECT_EQ(result.text(), "");
            EXPECT_EQ(errorNum(control()), -10008);
            EXPECT_EQ(errMsg(control()), "类型错误，没有该类型的值");
        }
        for (int32_t type = 1; type <= 5; ++type) {
            CallResult result = call(control(), member, {type});
            EXPECT_EQ(result.hr, S_OK);
            EXPECT_EQ(result.text(), "");
            EXPECT_EQ(errorNum(control()), 0);
            EXPECT_EQ(errMsg(control()), "");
        }
    }
}

}  // namespace
