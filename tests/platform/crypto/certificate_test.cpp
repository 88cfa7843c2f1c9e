#include "platform/crypto/certificate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/crypto/errors.h"
#include "support/test_pki.h"

using namespace crypto;
using namespace std::chrono;
using testing_support::TestPki;

namespace {

std::string hex(std::string_view bytes) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (const char b : bytes) {
        out += DIGITS[static_cast<uint8_t>(b) >> 4];
        out += DIGITS[static_cast<uint8_t>(b) & 0x0F];
    }
    return out;
}

std::string reversedHex(std::string_view hexText) {
    std::string out;
    for (size_t i = hexText.size(); i >= 2; i -= 2) out += hexText.substr(i - 2, 2);
    return out;
}

class CertificateTest : public testing_support::HomeTest {
protected:
    TestPki pki{home};
};

TEST_F(CertificateTest, RejectsWhatIsNotACertificate) {
    const std::string der = pki.root().der();
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", ""},
        {"not DER at all", "hello"},
        {"truncated", der.substr(0, der.size() - 10)},
        {"PEM given as DER", pki.root().pem()},
        {"a SEQUENCE that is no certificate", std::string("\x30\x03\x02\x01\x05", 5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setLastError(0);
        EXPECT_EQ(Certificate::fromDer(c.bytes), nullptr);
        EXPECT_EQ(getLastError(), CRYPT_E_OSS_ERROR);
    }
    setLastError(0);
    EXPECT_EQ(Certificate::fromPem("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"), nullptr);
    EXPECT_EQ(getLastError(), CRYPT_E_OSS_ERROR);
    setLastError(0);
    EXPECT_EQ(Certificate::fromPem("no PEM here"), nullptr);
    EXPECT_EQ(getLastError(), CRYPT_E_OSS_ERROR);
}

TEST_F(CertificateTest, KeepsExactlyTheCertificateBytes) {
    const auto& user = pki.user("Test User").install();
    const auto withTrailer = Certificate::fromDer(user.der() + "trailer");
    ASSERT_NE(withTrailer, nullptr);
    EXPECT_EQ(withTrailer->der(), user.der());

    // A key block in front of the certificate, as some tools write them.
    const auto fromPem = Certificate::fromPem(user.keyPem() + user.pem());
    ASSERT_NE(fromPem, nullptr);
    EXPECT_EQ(fromPem->der(), user.der());
    EXPECT_EQ(fromPem->subjectDer(), encodeDer(i2d_X509_NAME, X509_get_subject_name(user.x509())));
    EXPECT_EQ(fromPem->issuerDer(), pki.intermediate().cert->subjectDer());
    EXPECT_TRUE(fromPem->storeName().empty());
    EXPECT_FALSE(fromPem->keyProvInfo().has_value());
}

TEST_F(CertificateTest, SerialNumberBytesAsEncoded) {
    struct Case {
        const char* name;
        const char* serial;  // content bytes, most significant first
    };
    const Case cases[] = {
        {"one byte", "05"},
        {"two bytes", "0102"},
        {"three bytes", "01A20F"},
        {"leading 00 kept", "00A20F3B44"},
        {"twenty bytes", "7F0102030405060708090A0B0C0D0E0F10111213"},
        {"twenty bytes with sign byte", "00FF0102030405060708090A0B0C0D0E0F101112"},
        {"negative", "FF7F"},
        {"negative one byte", "80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto cert = pki.user(c.name).serial(c.serial).sameKeyAs(pki.intermediate()).withoutKey().install();
        EXPECT_EQ(hex(cert.cert->serialNumber()), c.serial);
        EXPECT_EQ(hex(cert.cert->serialBlob()), reversedHex(c.serial));
        EXPECT_EQ(hex(integerContent(X509_get0_serialNumber(cert.x509()))), c.serial);
    }
}

TEST(CompareIntegerBlob, ComparesAsIntegers) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string a;  // least significant byte first
        std::string b;
        bool equal;
    };
    const Case cases[] = {
        {"same bytes", "\x01\x02"s, "\x01\x02"s, true},
        {"zero padding of a positive number", "\x01\x02"s, "\x01\x02\x00\x00"s, true},
        {"sign byte of a positive number", "\xA2\x00"s, "\xA2"s, false},  // A2 alone is negative
        {"FF padding of a negative number", "\x80\xFF"s, "\x80"s, true},
        {"FF that is not padding", "\x7F\xFF"s, "\x7F"s, false},  // -129 and 127
        {"zero and empty", "\x00"s, ""s, true},
        {"zero and long zero", "\x00\x00\x00"s, "\x00"s, true},
        {"minus one", "\xFF\xFF"s, "\xFF"s, true},
        {"different values", "\x01\x02"s, "\x02\x01"s, false},
        {"different lengths of significance", "\x01\x02\x03"s, "\x01\x02"s, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(compareIntegerBlob(c.a, c.b), c.equal);
        EXPECT_EQ(compareIntegerBlob(c.b, c.a), c.equal);
    }
}

TEST(IntegerFromContent, RefusesEncodingsThatAreNotDer) {
    using namespace std::string_literals;
    EXPECT_NE(integerFromContent("\x00\xA2"s), nullptr);
    EXPECT_NE(integerFromContent(std::string(200, '\x11')), nullptr);  // long-form length
    EXPECT_EQ(integerFromContent(""), nullptr);           // an INTEGER has at least one byte
    EXPECT_EQ(integerFromContent("\x00\x01"s), nullptr);  // padding that changes nothing
    EXPECT_EQ(integerFromContent("\xFF\x80"s), nullptr);  // same, negative
    EXPECT_EQ(hex(integerContent(integerFromContent(std::string(200, '\x11')).get())), hex(std::string(200, '\x11')));
}

TEST_F(CertificateTest, TimesAsCalendarFieldsAndTimePoints) {
    const auto defaults = pki.user("Default").sameKeyAs(pki.root()).withoutKey().install();
    EXPECT_EQ(defaults.cert->notBefore(), (UtcFields{2020, 1, 1, 0, 0, 0}));
    EXPECT_EQ(defaults.cert->notAfter(), (UtcFields{2049, 12, 31, 23, 59, 59}));
    EXPECT_EQ(defaults.cert->notBeforeTime(), sys_days{2020y / 1 / 1});

    // GeneralizedTime from 2050 on, up to the "never expires" of 9999.
    const Seconds from = sys_days{1999y / 7 / 4} + 12h + 30min + 15s;
    const Seconds to = sys_days{9999y / 12 / 31} + 23h + 59min + 59s;
    const auto longLived = pki.user("Long").validity(from, to).sameKeyAs(pki.root()).withoutKey().install();
    EXPECT_EQ(longLived.cert->notBefore(), (UtcFields{1999, 7, 4, 12, 30, 15}));
    EXPECT_EQ(longLived.cert->notAfter(), (UtcFields{9999, 12, 31, 23, 59, 59}));
    EXPECT_EQ(longLived.cert->notBeforeTime(), from);
    EXPECT_EQ(longLived.cert->notAfterTime(), to);
    EXPECT_GT(longLived.cert->notAfterTime(), floor<seconds>(system_clock::now()));
}

TEST(KeyProvInfoFile, ReadsWhatItWritesAndRefusesDamage) {
    const KeyProvInfo info{"Microsoft Enhanced Cryptographic Provider v1.0", 1, "Test User", AT_KEYEXCHANGE};
    EXPECT_EQ(formatKeyProvInfo(info),
              "provider=Microsoft Enhanced Cryptographic Provider v1.0\ntype=1\ncontainer=Test User\nkeyspec=1\n");
    EXPECT_EQ(parseKeyProvInfo(formatKeyProvInfo(info)), info);

    struct Case {
        const char* name;
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"CRLF, comments, blank lines, unknown names",
         "# written by hand\r\nprovider=P\r\n\r\ntype=24\r\nflags=0\r\ncontainer= spaced = name \r\nkeyspec=2\r\n", true},
        {"no final line feed", "provider=P\ntype=1\ncontainer=C\nkeyspec=1", true},
        {"empty provider name", "provider=\ntype=1\ncontainer=C\nkeyspec=1\n", true},
        // Each of these breaks one rule of the format.
        {"container missing", "provider=P\ntype=1\nkeyspec=1\n", false},
        {"empty container", "provider=P\ntype=1\ncontainer=\nkeyspec=1\n", false},
        {"key spec out of range", "provider=P\ntype=1\ncontainer=C\nkeyspec=3\n", false},
        {"type not a number", "provider=P\ntype=one\ncontainer=C\nkeyspec=1\n", false},
        {"type negative", "provider=P\ntype=-1\ncontainer=C\nkeyspec=1\n", false},
        {"line without '='", "provider=P\ntype=1\ncontainer=C\nkeyspec=1\ngarbage\n", false},
        {"empty file", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parseKeyProvInfo(c.text).has_value(), c.valid);
    }
    const auto spaced = parseKeyProvInfo(cases[0].text);
    ASSERT_TRUE(spaced);
    EXPECT_EQ(*spaced, (KeyProvInfo{"P", 24, " spaced = name ", AT_SIGNATURE}));

    EXPECT_FALSE(isWritableKeyProvInfo({"P", 1, "two\nlines", 1}));  // would read back as another property
    EXPECT_FALSE(isWritableKeyProvInfo({"P", 1, "", 1}));           // no container
    EXPECT_FALSE(isWritableKeyProvInfo({"P", 1, "C", 0}));          // no key spec
}

}  // namespace
