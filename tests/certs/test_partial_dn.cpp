#include "certs/partial_dn.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/codepage/codepage.h"

namespace {

using qm::DN_LIST_NO_SEPARATOR;
using qm::DN_LIST_OK;
using qm::DN_LIST_TOO_MANY_PARTS;
using qm::DnKeySource;

// GBK bytes. 0x7C ("|") is the second byte of 瑋 and 東.
const std::string CHEN = "\xea\x90";  // 陳
const std::string WEI = "\xac\x7c";   // 瑋
const std::string DONG = "\x96\x7c";  // 東
const std::string CESHI = "\xb2\xe2\xca\xd4";  // 测试

const std::string ALPHA = "C=CN, O=Bank, CN=Alpha";
const std::string BETA = "C=CN, O=Bank, CN=Beta";
const std::string TEST_USER = "C=CN, O=Bank, OU=Branch, CN=Test User";

std::string repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// The rules are defined on GBK text; each test says which code page it reads.
class PartialDnTest : public ::testing::Test {
protected:
    void SetUp() override { codepage::setAnsiCodePage(codepage::CP_GBK); }
    void TearDown() override { codepage::setAnsiCodePage(0); }
};

TEST_F(PartialDnTest, ListNamesCertificatesBySubstring) {
    struct Case {
        const char* name;
        std::string list;
        std::string separator;
        std::string subject;
        bool named;
    };
    const Case cases[] = {
        {"exact end of subject", "CN=Test User", "|", "C=CN, O=Bank, CN=Test User", true},
        {"prefix of a longer name", "CN=Test User", "|", "C=CN, O=Bank, CN=Test User2", true},
        // Case matters: "cn=" is not "CN=".
        {"lower-case attribute", "cn=Test User", "|", "C=CN, O=Bank, CN=Test User", false},
        {"lower-case attribute, longer name", "cn=Test User", "|", "C=CN, O=Bank, CN=Test User2", false},
        {"lower-case value", "CN=test user", "|", "C=CN, O=Bank, CN=Test User", false},
        {"comma spaced before comparing", "O=Bank,OU=Branch", "|", TEST_USER, true},
        // The certificate's order of names is kept; the list must follow it.
        {"names in another order", "OU=Branch, O=Bank", "|", TEST_USER, false},
        // Two spaces after a comma stay two, and no name string has them.
        {"two spaces after a comma", "O=Bank,  OU=Branch", "|", TEST_USER, false},
        {"first of two", "CN=Alpha|CN=Beta", "|", ALPHA, true},
        {"second of two", "CN=Alpha|CN=Beta", "|", BETA, true},
        {"neither of two", "CN=Alpha|CN=Beta", "|", TEST_USER, false},
        {"trailing separator names everyone", "CN=Alpha|", "|", TEST_USER, true},
        {"leading separator names everyone", "|CN=Alpha", "|", TEST_USER, true},
        // Spaces around a separator are part of the pieces: "CN=Alpha " does
        // not occur at the end of a name.
        {"space before separator kept", "CN=Alpha |CN=Gamma", "|", ALPHA, false},
        {"space after separator kept", "CN=Gamma| CN=Beta", "|", BETA, true},
        {"space after separator at start of name", "CN=Gamma| C=CN", "|", ALPHA, false},
        // "||" is matched as a whole: "CN=Alpha|CN=Beta" is one piece.
        {"multi-character separator, one piece", "CN=Alpha|CN=Beta", "||", ALPHA, false},
        {"multi-character separator, two pieces", "CN=Gamma||CN=Alpha", "||", ALPHA, true},
        // With "," as separator the second piece keeps the space that comma
        // spacing put in front of it.
        {"comma separator, first", "CN=Alpha,CN=Beta", ",", "C=CN, CN=Alpha", true},
        {"comma separator, second after a comma", "CN=Gamma,CN=Beta", ",", BETA, true},
        {"comma separator, second at start", "CN=Gamma,CN=Beta", ",", "CN=Beta, C=CN", false},
        {"Chinese name", "CN=" + CESHI, "|", "C=CN, CN=" + CESHI, true},
        {"Chinese name whose last byte is 0x7C", "CN=" + CHEN + WEI, "|", "C=CN, CN=" + CHEN + WEI, true},
        // Not a split piece: "CN=陳" plus a dangling lead byte, then nothing.
        {"0x7C inside a character separates nothing", "CN=" + CHEN + WEI, "|", TEST_USER, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(qm::checkPartialDnList(c.list, c.separator), DN_LIST_OK);
        const auto pieces = qm::splitPartialDns(c.list, c.separator);
        EXPECT_EQ(qm::matchesPartialDns(c.subject, pieces), c.named);
    }
}

TEST_F(PartialDnTest, WithoutNameStringNothingMatches) {
    // The empty piece occurs in every name, but a certificate without a name
    // string takes no part in the search.
    const std::vector<std::string> everyone = {""};
    EXPECT_TRUE(qm::matchesPartialDns("CN=x", everyone));
    EXPECT_FALSE(qm::matchesPartialDns("", everyone));
    EXPECT_FALSE(qm::matchesPartialDns("CN=x", std::vector<std::string>{}));
}

TEST_F(PartialDnTest, SplitKeepsEveryPieceAsWritten) {
    struct Case {
        const char* name;
        std::string list;
        std::string separator;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"one piece", "CN=Alpha", "|", {"CN=Alpha"}},
        {"two pieces", "CN=Alpha|CN=Beta", "|", {"CN=Alpha", "CN=Beta"}},
        {"five pieces", "a|b|c|d|e", "|", {"a", "b", "c", "d", "e"}},
        {"empty list", "", "|", {""}},
        {"only the separator", "|", "|", {"", ""}},
        {"empty pieces kept", "|a||b|", "|", {"", "a", "", "b", ""}},
        {"not trimmed", " a | b ", "|", {" a ", " b "}},
        {"comma spacing first", "O=Bank,OU=Branch|CN=X,O=Y", "|", {"O=Bank, OU=Branch", "CN=X, O=Y"}},
        {"multi-character separator", "a||b|c", "||", {"a", "b|c"}},
        // Occurrences do not overlap: "|||" is one "||" and a "|".
        {"three bars, two-bar separator", "a|||b", "||", {"a", "|b"}},
        {"comma separator", "CN=Alpha,CN=Beta", ",", {"CN=Alpha", " CN=Beta"}},
        {"comma-space separator, spacing adds a cut", "a,b", ", ", {"a", "b"}},
        // Nothing to cut at.
        {"empty separator", "a|b", "", {"a|b"}},
        {"0x7C inside characters", "CN=" + CHEN + WEI + "|CN=" + DONG, "|", {"CN=" + CHEN + WEI, "CN=" + DONG}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qm::splitPartialDns(c.list, c.separator), c.pieces);
    }
}

TEST_F(PartialDnTest, CommaSpacing) {
    struct Case {
        const char* name;
        std::string text;
        std::string spaced;
    };
    const Case cases[] = {
        {"no comma", "CN=Test User", "CN=Test User"},
        {"empty", "", ""},
        {"comma without space", "O=Bank,OU=Branch", "O=Bank, OU=Branch"},
        {"comma with space", "O=Bank, OU=Branch", "O=Bank, OU=Branch"},
        {"comma with two spaces", "O=Bank,  OU=Branch", "O=Bank,  OU=Branch"},
        {"several commas", "C=CN,O=Bank,CN=x", "C=CN, O=Bank, CN=x"},
        // The character after a comma is copied unexamined, so the second
        // comma of a pair gets no space of its own.
        {"two commas", "a,,b", "a, ,b"},
        {"three commas", "a,,,b", "a, ,, b"},
        {"only commas", ",,,", ", ,, "},
        {"comma, space, comma", "a, ,b", "a, , b"},
        {"leading comma", ",a", ", a"},
        {"trailing comma", "a,", "a, "},
        {"trailing comma and space", "a, ", "a, "},
        {"tab after comma", "a,\tb", "a, \tb"},
        {"Chinese after comma", "O=" + CESHI + ",CN=" + CESHI, "O=" + CESHI + ", CN=" + CESHI},
        {"Chinese right after comma", "a," + WEI, "a, " + WEI},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qm::normalizeDnText(c.text), c.spaced);
    }
}

TEST_F(PartialDnTest, CommaSpacingHasNoRoomLimit) {
    // More than 511 commas without a space each need a byte more than the
    // text had; every one of them gets it.
    const std::string pairs = repeat("a,", 2000);
    EXPECT_EQ(qm::normalizeDnText(pairs), repeat("a, ", 2000));

    const std::string commas(1025, ',');
    const std::string spaced = qm::normalizeDnText(commas);
    // Pairs ",," become ", ," and the odd last comma gets its trailing space.
    EXPECT_EQ(spaced, repeat(", ,", 512) + ", ");

    const auto pieces = qm::splitPartialDns(repeat("CN=x,", 600) + "|CN=y", "|");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], repeat("CN=x, ", 600));
    EXPECT_EQ(pieces[1], "CN=y");
}

TEST_F(PartialDnTest, ListCheck) {
    struct Case {
        const char* name;
        std::string list;
        std::optional<std::string> separator;
        qm::DnListCheck result;
    };
    const Case cases[] = {
        {"no separator in list", "CN=Alpha", "|", DN_LIST_OK},
        {"four separators", "a|b|c|d|e", "|", DN_LIST_OK},
        {"four separators, empty pieces", "||||", "|", DN_LIST_OK},
        // More than five partial DNs.
        {"five separators", "a|b|c|d|e|f", "|", DN_LIST_TOO_MANY_PARTS},
        {"five separators, empty pieces", "|||||", "|", DN_LIST_TOO_MANY_PARTS},
        {"many separators", std::string(1000, '|'), "|", DN_LIST_TOO_MANY_PARTS},
        // The separator must be set.
        {"empty separator", "CN=Alpha", "", DN_LIST_NO_SEPARATOR},
        {"empty separator, list of five", "a|b|c|d|e|f", "", DN_LIST_NO_SEPARATOR},
        {"null separator", "CN=Alpha", std::nullopt, DN_LIST_NO_SEPARATOR},
        {"two-bar separator, four", "a||b||c||d||e", "||", DN_LIST_OK},
        {"two-bar separator, five", "a||b||c||d||e||f", "||", DN_LIST_TOO_MANY_PARTS},
        {"two-bar separator, single bars do not count", "a|b|c|d|e|f", "||", DN_LIST_OK},
        // Nine bars hold four non-overlapping "||", ten hold five.
        {"two-bar separator, nine bars", std::string(9, '|'), "||", DN_LIST_OK},
        {"two-bar separator, ten bars", std::string(10, '|'), "||", DN_LIST_TOO_MANY_PARTS},
        {"comma separator", "CN=Alpha,CN=Beta", ",", DN_LIST_OK},
        {"comma separator, six names", "C=CN,O=Bank,OU=a,OU=b,OU=c,CN=x", ",", DN_LIST_TOO_MANY_PARTS},
        // Counted as written: the spaces comma spacing adds are not there yet.
        {"comma-space separator, before spacing", "a,b,c,d,e,f", ", ", DN_LIST_OK},
        {"0x7C inside characters", DONG + DONG + DONG + DONG + DONG + DONG, "|", DN_LIST_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qm::checkPartialDnList(c.list, c.separator), c.result);
    }
}

TEST_F(PartialDnTest, SingleByteCodePageSplitsAtEveryBar) {
    // Where 0xAC is a character of its own, the 0x7C after it is a separator.
    codepage::setAnsiCodePage(1252);
    const std::string list = "CN=" + CHEN + WEI + "x";
    EXPECT_EQ(qm::splitPartialDns(list, "|"), (std::vector<std::string>{"CN=" + CHEN + "\xac", "x"}));
    EXPECT_EQ(qm::checkPartialDnList(std::string(5, DONG[0]) + "|||||", "|"), DN_LIST_TOO_MANY_PARTS);
}

TEST_F(PartialDnTest, KeyValue) {
    struct Case {
        const char* name;
        std::string text;
        std::string value;
        DnKeySource source;
    };
    const Case cases[] = {
        {"common name", "C=CN, O=Bank, OU=Branch, CN=Test User", "Test User", DnKeySource::CommonName},
        {"common name first in text", "CN=Test User, O=Bank", "Test User", DnKeySource::CommonName},
        {"first of two common names", "CN=a, CN=b", "a", DnKeySource::CommonName},
        {"unit without common name", "C=CN, O=Bank, OU=Branch", "Branch", DnKeySource::OrganizationalUnit},
        {"organisation only", "C=CN, O=Bank", "Bank", DnKeySource::Organization},
        {"value to the end", "CN=Test", "Test", DnKeySource::CommonName},
        {"empty value", "CN=, O=Bank", "", DnKeySource::CommonName},
        {"value up to an unspaced comma", "CN=x,O=y", "x", DnKeySource::CommonName},
        // Markers are found anywhere, with no regard for attribute bounds.
        {"marker inside a value", "O=Bank, OU=xCN=y", "y", DnKeySource::CommonName},
        {"O= inside an attribute name", "INFO=z", "z", DnKeySource::Organization},
        {"Chinese value", "C=CN, CN=" + CESHI, CESHI, DnKeySource::CommonName},
        {"Chinese value with 0x7C", "CN=" + CHEN + WEI + ", O=x", CHEN + WEI, DnKeySource::CommonName},
        // No marker: the whole text stands in.
        {"no marker", "Test", "Test", DnKeySource::WholeText},
        {"lower-case markers", "cn=a, ou=b, o=c", "cn=a, ou=b, o=c", DnKeySource::WholeText},
        {"C= alone", "C=CN", "C=CN", DnKeySource::WholeText},
        {"empty text", "", "", DnKeySource::WholeText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qm::DnKey key = qm::dnKeyValue(c.text);
        EXPECT_EQ(key.value, c.value);
        EXPECT_EQ(key.source, c.source);
        EXPECT_EQ(key.hasMarker(), c.source != DnKeySource::WholeText);
    }
}

TEST_F(PartialDnTest, IssuerTextEqualsOnlyWhole) {
    struct Case {
        const char* name;
        std::string issuerText;
        bool equal;
    };
    const std::string issuer = "C=CN, O=Bank, CN=Bank CA";
    const Case cases[] = {
        {"same text", "C=CN, O=Bank, CN=Bank CA", true},
        {"unspaced commas", "C=CN,O=Bank,CN=Bank CA", true},
        // Exact: a part of the name is not the name.
        {"part of the name", "O=Bank, CN=Bank CA", false},
        {"longer", "C=CN, O=Bank, CN=Bank CA2", false},
        {"other case", "C=CN, O=Bank, CN=bank ca", false},
        {"two spaces kept", "C=CN,  O=Bank, CN=Bank CA", false},
        {"trailing comma gets a space", "C=CN, O=Bank, CN=Bank CA,", false},
        {"key value alone", "Bank CA", false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qm::issuerTextEquals(issuer, c.issuerText), c.equal);
    }
}

}  // namespace
