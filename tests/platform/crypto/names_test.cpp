#include "platform/crypto/names.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <string>
#include <vector>

#include "platform/codepage/codepage.h"
#include "platform/crypto/errors.h"
#include "support/test_pki.h"

using namespace crypto;
using namespace std::string_literals;

namespace {

// One attribute as a certificate would carry it: OID, ASN.1 type and the
// value's bytes (for a SEQUENCE, its whole DER).
struct Attr {
    const char* oid;
    int type;
    std::string bytes;
    bool joinPrevious = false;
};

// Builds the name and sends it through DER and back, so that the tests see
// exactly what a parsed certificate holds.
UniquePtr<X509_NAME> nameOf(const std::vector<Attr>& attributes) {
    UniquePtr<X509_NAME> name(X509_NAME_new());
    for (const Attr& a : attributes) {
        UniquePtr<ASN1_OBJECT> object(OBJ_txt2obj(a.oid, 1));
        EXPECT_EQ(X509_NAME_add_entry_by_OBJ(name.get(), object.get(), a.type,
                                             reinterpret_cast<const unsigned char*>(a.bytes.data()),
                                             static_cast<int>(a.bytes.size()), -1, a.joinPrevious ? -1 : 0),
                  1)
            << a.oid;
    }
    const std::string der = encodeDer(i2d_X509_NAME, name.get());
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    UniquePtr<X509_NAME> parsed(d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_NE(parsed, nullptr);
    return parsed;
}

constexpr const char* CN = "2.5.4.3";
constexpr const char* O = "2.5.4.10";
constexpr const char* OU = "2.5.4.11";
constexpr const char* C = "2.5.4.6";
constexpr const char* E = "1.2.840.113549.1.9.1";
constexpr int UTF8 = V_ASN1_UTF8STRING;
constexpr int PRINTABLE = V_ASN1_PRINTABLESTRING;

const std::string CHINESE_UTF8 = "\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7";  // 测试用户
const std::string CHINESE_GBK = "\xB2\xE2\xCA\xD4\xD3\xC3\xBB\xA7";
const std::string CHINESE_BMP = "\x6D\x4B\x8B\xD5\x75\x28\x62\x37";
const std::string CHINESE_UNIVERSAL = "\x00\x00\x6D\x4B\x00\x00\x8B\xD5\x00\x00\x75\x28\x00\x00\x62\x37"s;

class NamesTest : public testing_support::HomeTest {
protected:
    void SetUp() override { codepage::setAnsiCodePage(codepage::CP_GBK); }
    void TearDown() override { codepage::setAnsiCodePage(0); }
};

TEST_F(NamesTest, X500AndSimpleStrings) {
    struct Case {
        const char* name;
        std::vector<Attr> attributes;
        std::string x500;    // ANSI (GBK)
        std::string simple;
    };
    const Case cases[] = {
        {"the bank's example",
         {{C, PRINTABLE, "CN"}, {O, UTF8, "Bank"}, {OU, UTF8, "Branch"}, {CN, UTF8, "Test User"}},
         "C=CN, O=Bank, OU=Branch, CN=Test User",
         "CN, Bank, Branch, Test User"},
        {"every key",
         {{"2.5.4.4", UTF8, "sn"},       {"2.5.4.5", PRINTABLE, "42"},    {"2.5.4.7", UTF8, "l"},
          {"2.5.4.8", UTF8, "s"},        {"2.5.4.9", UTF8, "street"},     {"2.5.4.12", UTF8, "t"},
          {"2.5.4.13", UTF8, "d"},       {"2.5.4.17", UTF8, "100000"},    {"2.5.4.42", UTF8, "g"},
          {"2.5.4.43", UTF8, "i"},       {E, V_ASN1_IA5STRING, "a@b.cn"}, {"0.9.2342.19200300.100.1.25", V_ASN1_IA5STRING, "cn"}},
         "SN=sn, SERIALNUMBER=42, L=l, S=s, STREET=street, T=t, Description=d, PostalCode=100000, G=g, I=i, "
         "E=a@b.cn, DC=cn",
         "sn, 42, l, s, street, t, d, 100000, g, i, a@b.cn, cn"},
        {"unknown attribute", {{"1.2.3.4.5", UTF8, "x"}}, "OID.1.2.3.4.5=x", "x"},
        {"multi-valued RDN",
         {{O, UTF8, "Bank"}, {OU, UTF8, "Branch"}, {CN, UTF8, "Test User", true}},
         "O=Bank, OU=Branch + CN=Test User",
         "Bank, Branch + Test User"},
        {"empty value", {{CN, UTF8, ""}, {O, UTF8, "Bank"}}, "CN=, O=Bank", ", Bank"},
        {"Chinese CN in UTF8String", {{CN, UTF8, CHINESE_UTF8}}, "CN=" + CHINESE_GBK, CHINESE_GBK},
        {"Chinese CN in BMPString", {{CN, V_ASN1_BMPSTRING, CHINESE_BMP}}, "CN=" + CHINESE_GBK, CHINESE_GBK},
        {"Chinese CN in UniversalString", {{CN, V_ASN1_UNIVERSALSTRING, CHINESE_UNIVERSAL}}, "CN=" + CHINESE_GBK, CHINESE_GBK},
        {"T61String read as Latin-1", {{CN, V_ASN1_T61STRING, "caf\xE9"}}, "CN=caf\xA8\xA6", "caf\xA8\xA6"},
        {"what GBK cannot hold", {{CN, UTF8, "\xE0\xB8\x81"}}, "CN=?", "?"},  // U+0E01
        {"non-string value",
         {{"1.2.3.4", V_ASN1_SEQUENCE, "\x30\x03\x02\x01\x05"s}, {CN, UTF8, "x"}},
         "OID.1.2.3.4=#3003020105, CN=x",
         "#3003020105, x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto name = nameOf(c.attributes);
        EXPECT_EQ(x500String(name.get()), c.x500);
        EXPECT_EQ(simpleString(name.get()), c.simple);
    }
}

TEST_F(NamesTest, Quoting) {
    struct Case {
        const char* value;
        const char* written;
    };
    const Case cases[] = {
        {"Smith, John", "\"Smith, John\""},
        {"a+b", "\"a+b\""},
        {"a=b", "\"a=b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"<a>", "\"<a>\""},
        {"#1", "\"#1\""},
        {"a;b", "\"a;b\""},
        {"two\nlines", "\"two\nlines\""},
        {" leading", "\" leading\""},
        {"trailing ", "\"trailing \""},
        {"\ttab", "\"\ttab\""},
        {"in ner", "in ner"},
        {"O'Brien (Ltd.) & Co/HQ", "O'Brien (Ltd.) & Co/HQ"},
        {"back\\slash", "back\\slash"},
        {"carriage\rreturn", "carriage\rreturn"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const auto name = nameOf({{CN, UTF8, c.value}});
        EXPECT_EQ(x500String(name.get()), std::string("CN=") + c.written);
        EXPECT_EQ(simpleString(name.get()), c.written);
    }
}

TEST_F(NamesTest, NullNameIsAnError) {
    setLastError(0);
    EXPECT_EQ(x500String(nullptr), std::nullopt);
    EXPECT_EQ(getLastError(), E_INVALIDARG);
    setLastError(0);
    EXPECT_EQ(simpleString(nullptr), std::nullopt);
    EXPECT_EQ(getLastError(), E_INVALIDARG);
    EXPECT_TRUE(nameAttributes(nullptr).empty());
}

TEST_F(NamesTest, AttributesInEncodedOrder) {
    const auto name = nameOf({{C, PRINTABLE, "CN"},
                              {OU, V_ASN1_BMPSTRING, CHINESE_BMP},
                              {CN, UTF8, "Test User", true},
                              {"1.2.3.4", V_ASN1_SEQUENCE, "\x30\x00"s}});
    const std::vector<Rdn> expected = {
        {{"2.5.4.6", V_ASN1_PRINTABLESTRING, "CN"}},
        {{"2.5.4.11", V_ASN1_BMPSTRING, CHINESE_BMP}, {"2.5.4.3", V_ASN1_UTF8STRING, "Test User"}},
        {{"1.2.3.4", V_ASN1_SEQUENCE, "\x30\x00"s}},
    };
    EXPECT_EQ(nameAttributes(name.get()), expected);
    EXPECT_EQ(decodeNameValue(V_ASN1_BMPSTRING, CHINESE_BMP), u"\u6D4B\u8BD5\u7528\u6237");
    EXPECT_EQ(decodeNameValue(V_ASN1_UNIVERSALSTRING, "\x00\x01\xF6\x00"s), u"\U0001F600");
    EXPECT_EQ(decodeNameValue(V_ASN1_SEQUENCE, "\x30\x00"s), std::nullopt);
}

TEST_F(NamesTest, MalformedTextIsReplacedNotRefused) {
    struct Case {
        const char* name;
        int type;
        std::string bytes;
        std::u16string text;
    };
    const Case cases[] = {
        {"bad UTF-8", V_ASN1_UTF8STRING, "a\xFF" "b", u"a\uFFFD" "b"},
        {"odd byte of a BMPString", V_ASN1_BMPSTRING, "\x00" "a\x00"s, u"a\uFFFD"},
        {"code point beyond U+10FFFF", V_ASN1_UNIVERSALSTRING, "\x00\x11\x00\x00"s, u"\uFFFD"},
        {"surrogate in a UniversalString", V_ASN1_UNIVERSALSTRING, "\x00\x00\xD8\x00"s, u"\uFFFD"},
        {"short UniversalString", V_ASN1_UNIVERSALSTRING, "\x00\x00\x00\x41\x00"s, u"A\uFFFD"},
        {"Latin-1 bytes in an IA5String", V_ASN1_IA5STRING, "\xE9", u"\u00E9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeNameValue(c.type, c.bytes), c.text);
    }
}

TEST_F(NamesTest, SimpleDisplayName) {
    testing_support::TestPki pki(home);
    struct Case {
        const char* name;
        testing_support::NameEntries subject;
        std::string display;
    };
    const Case cases[] = {
        {"first CN", {{"O", "Bank"}, {"CN", "First"}, {"CN", "Second"}}, "First"},
        {"OU without CN", {{"O", "Bank"}, {"OU", "Branch"}, {"OU", "Desk"}}, "Branch"},
        {"O without CN or OU", {{"C", "CN"}, {"O", "Bank"}, {"E", "a@b.cn"}}, "Bank"},
        {"E alone", {{"C", "CN"}, {"E", "a@b.cn"}}, "a@b.cn"},
        {"none of them", {{"C", "CN"}, {"L", "Beijing"}}, ""},
        {"CN in a multi-valued RDN, not quoted", {{"OU", "Branch"}, {"+CN", "Smith, John"}}, "Smith, John"},
        {"Chinese CN", {{"CN", CHINESE_UTF8}}, CHINESE_GBK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto cert = pki.user(c.name).subject(c.subject).sameKeyAs(pki.root()).withoutKey().inNoStore().install();
        EXPECT_EQ(simpleDisplayName(*cert.cert, false), c.display);
        EXPECT_EQ(simpleDisplayName(*cert.cert, true), "Quillmark Test CA");
    }
}

}  // namespace
