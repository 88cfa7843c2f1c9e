// Token signing and verification through the control, with certificates of
// the test PKI in the software provider; messages checked byte for byte and
// by the openssl and gzip commands.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <filesystem>
#include <string>
#include <vector>

#include "encoding/base64.h"
#include "messages/signing.h"
#include "messages_fixture.h"
#include "platform/crypto/provider.h"
#include "support/process.h"
#include "token/token_message.h"
#include "token/token_signing.h"

using namespace testing_support;

namespace {

// DER by hand, independent of the encoder under test.
std::string tlv(uint8_t tag, std::string_view content) {
    std::string out(1, static_cast<char>(tag));
    const size_t n = content.size();
    if (n < 128) {
        out.push_back(static_cast<char>(n));
    } else {
        std::string octets;
        for (size_t v = n; v > 0; v >>= 8) octets.insert(octets.begin(), static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>(0x80 + octets.size()));
        out += octets;
    }
    return out + std::string(content);
}

std::string bytes(std::initializer_list<uint8_t> list) { return std::string(list.begin(), list.end()); }

const std::string OID_SHA1 = tlv(0x06, bytes({0x2B, 0x0E, 0x03, 0x02, 0x1A}));
const std::string OID_RSA = tlv(0x06, bytes({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}));
const std::string OID_DATA = tlv(0x06, bytes({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}));
const std::string OID_SIGNED_DATA = tlv(0x06, bytes({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}));

// PKCS #1 v1.5 with SHA-1 is deterministic: the signature a correct
// signer must have produced.
std::string rsaSha1(EVP_PKEY* key, std::string_view data) {
    crypto::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    size_t size = 0;
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(data.data()),
                             data.size()),
              1);
    std::string signature(size, '\0');
    EXPECT_EQ(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                             reinterpret_cast<const unsigned char*>(data.data()), data.size()),
              1);
    signature.resize(size);
    return signature;
}

class TokenSigningTest : public MessagesTest {
protected:
    TokenSigningTest() {
        chain = home.path() / "chain.pem";
        writeFile(chain, pki.root().pem() + pki.intermediate().pem());
        std::filesystem::create_directories(home.path() / "drives" / "c");
    }

    PkiCert tokenUser() {
        return pki.user("Token User").subject({{"C", "CN"}, {"O", "Bank"}, {"CN", "Token User"}}).install();
    }

    // Stages the three texts (and a file when given: its name on drive c:).
    void stage(const char* warning, const char* csp, const char* key, const char* fileName = nullptr,
               const std::string& fileData = {}) {
        ASSERT_EQ(call(control(), "QMSetWarningMsg", {warning}).hr, S_OK);
        ASSERT_EQ(call(control(), "QMSetCSPHashMsg", {csp}).hr, S_OK);
        ASSERT_EQ(call(control(), "QMSetKeyHashMsg", {key}).hr, S_OK);
        if (fileName) {
            writeFile(home.path() / "drives" / "c" / fileName, fileData);
            const std::string path = std::string("c:\\") + fileName;
            ASSERT_EQ(call(control(), "QMSetUserFileName", {path.c_str()}).hr, S_OK) << errMsg(control());
        }
    }

    CallResult sign(const char* dn = "CN=Token User") {
        return call(control(), "QMAdvFendrelAttachedSign", {dn});
    }

    // The body element the signature carries, as the staged texts make it.
    static std::string bodyOf(const char* warning, const char* csp, const char* key, const qm::Text& fileName = {},
                              const qm::Text& fileData = {}) {
        std::string message;
        EXPECT_EQ(qm::buildTokenMessage(gbk(warning), gbk(csp), gbk(key), fileName, fileData, message), 0);
        return message.substr(5 + gbk(warning).size());
    }

    ProcessRun run(const std::vector<std::string>& args) { return runProcess(args, home.path() / "process"); }

    // openssl's verdict on a DER message, against the test root and intermediate.
    ProcessRun opensslVerify(const std::string& der) {
        const auto file = home.path() / "message.der";
        writeFile(file, der);
        return run({"openssl", "cms", "-verify", "-inform", "DER", "-in", file.string(), "-binary", "-CAfile",
                    chain.string(), "-purpose", "any"});
    }

    // gzip's reading of a compressed message.
    std::string gunzip(const std::string& compressed) {
        const auto file = home.path() / "message.gz";
        writeFile(file, compressed);
        const ProcessRun unzipped = run({"gzip", "-dc", file.string()});
        EXPECT_EQ(unzipped.exitCode, 0) << unzipped.err;
        return unzipped.out;
    }

    std::string slot(IDispatch* object, int32_t type) {
        return call(object, "QMGetAdvFendrelPlainText", {type}).text();
    }

    std::filesystem::path chain;
};

TEST_F(TokenSigningTest, RoundTripGivesBackWhatWasStaged) {
    tokenUser();
    stage("请确认：转账 100 元", "CSP-摘要-1", "第一行\r\n第二行\r末尾", "statement.txt",
          gbk("转账 100 元") + std::string("\0tail", 5));
    const CallResult signature = sign();
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_TRUE(home.ui().requests().empty());  // the software provider signs without asking
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "C=CN, O=Bank, CN=Token User");

    // Wrapped Base64: lines of 64, each ended by a line feed.
    const std::string text = signature.text();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (size_t line = 0; line + 65 <= text.size(); line += 65) EXPECT_EQ(text[line + 64], '\n');

    // The carried content is the body element: no warning in it.
    const std::string body = bodyOf("请确认：转账 100 元", "CSP-摘要-1", "第一行\n第二行\r末尾", std::string("statement.txt"),
                                    gbk("转账 100 元") + std::string("\0tail", 5));
    const std::string message = der(signature);
    ASSERT_EQ(static_cast<uint8_t>(message[0]), 0x30);  // small: not compressed
    const auto verified = attached(signature);
    ASSERT_TRUE(verified.has_value());
    EXPECT_EQ(static_cast<uint8_t>(verified->content[0]), 0x11);
    EXPECT_EQ(verified->content, body);
    const ProcessRun openssl = opensslVerify(message);
    EXPECT_EQ(openssl.exitCode, 0) << openssl.err;
    EXPECT_EQ(openssl.out, body);

    // The receiving page.
    auto verifier = newControl();
    ASSERT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {text.c_str()}).hr, S_OK)
        << errMsg(verifier.get());
    EXPECT_EQ(errorNum(verifier.get()), 0);
    EXPECT_EQ(slot(verifier.get(), 1), "CSP-摘要-1");
    EXPECT_EQ(slot(verifier.get(), 2), "第一行\n第二行\r末尾");
    EXPECT_EQ(slot(verifier.get(), 3), "statement.txt");
    EXPECT_EQ(slot(verifier.get(), 4), "转账 100 元");  // cut at its first zero byte
    EXPECT_EQ(slot(verifier.get(), 1), "CSP-摘要-1");  // reading does not consume
    EXPECT_EQ(call(verifier.get(), "QMGetSignerCertInfo", {1}).text(), "C=CN, O=Bank, CN=Token User");

    // Base64 without its line feeds verifies as well.
    std::string oneLine;
    for (const char c : text) {
        if (c != '\n') oneLine.push_back(c);
    }
    EXPECT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {oneLine.c_str()}).hr, S_OK);
}

TEST_F(TokenSigningTest, TheSignedDataIsExactlyTheAgreedStructure) {
    // A serial whose leading 00 is part of its encoding.
    const PkiCert user = pki.user("Token User")
                             .subject({{"C", "CN"}, {"O", "Bank"}, {"CN", "Token User"}})
                             .serial("00A20F3B44")
                             .install();
    stage("W", "C", "K");
    const CallResult signature = sign();
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());

    const std::string body = bodyOf("W", "C", "K");
    const std::string sha1NoParameters = tlv(0x30, OID_SHA1);
    const std::string signerInfo =
        tlv(0x30, bytes({0x02, 0x01, 0x01}) + tlv(0x30, user.cert->issuerDer() + tlv(0x02, user.cert->serialNumber())) +
                      sha1NoParameters + tlv(0x30, OID_RSA) + tlv(0x04, rsaSha1(user.key.get(), body)));
    const std::string signedData =
        tlv(0x30, bytes({0x02, 0x01, 0x01}) + tlv(0x31, tlv(0x30, OID_SHA1 + bytes({0x05, 0x00}))) +
                      tlv(0x30, OID_DATA + tlv(0xA0, tlv(0x04, body))) + tlv(0xA0, user.der()) + tlv(0x31, signerInfo));
    EXPECT_EQ(der(signature), tlv(0x30, OID_SIGNED_DATA + tlv(0xA0, signedData)));
}

TEST_F(TokenSigningTest, AssemblyNeedsAWholeWarningElement) {
    const PkiCert user = tokenUser();
    struct Case {
        const char* name;
        std::string message;
    };
    const std::vector<Case> cases = {
        // Shorter than an element header.
        {"four bytes", std::string("\x10\x00\x00\x00", 4)},
        // The warning's length reaches past the message.
        {"warning past the end", std::string("\x10\x00\x00\x00\x09" "abc", 8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string output = "stale";
        EXPECT_EQ(qm::assembleSignedData(c.message, *user.cert, std::string(256, '\x01'), output),
                  qm::ERR_TOKEN_ASSEMBLY);
        EXPECT_TRUE(output.empty());
    }
    // A warning that takes the whole message leaves an empty content.
    std::string output;
    EXPECT_EQ(qm::assembleSignedData(std::string("\x10\x00\x00\x00\x01W", 6), *user.cert, "sig", output), qm::OK);
}

TEST_F(TokenSigningTest, MessagesOfAtLeastMaxCompSizeAreCompressed) {
    tokenUser();
    // The assembled size of one fixed message: the signature is
    // deterministic, so every signing of it has this size.
    stage("W", "C", "K");
    put(control(), "MaxCompSize", 10000000);
    const std::string plain = der(sign());
    ASSERT_EQ(static_cast<uint8_t>(plain[0]), 0x30);
    const auto size = static_cast<int32_t>(plain.size());

    struct Case {
        const char* name;
        int32_t maxCompSize;
        bool compressed;
    };
    for (const Case& c : std::vector<Case>{{"one byte above", size + 1, false},
                                          {"exactly the size", size, true},
                                          {"small threshold", 100, true}}) {
        SCOPED_TRACE(c.name);
        put(control(), "MaxCompSize", c.maxCompSize);
        stage("W", "C", "K");
        const CallResult signature = sign();
        ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
        const std::string message = der(signature);
        if (!c.compressed) {
            EXPECT_EQ(message, plain);
            continue;
        }
        ASSERT_EQ(message.substr(0, 3), bytes({0x1F, 0x8B, 0x08}));
        const std::string unzipped = gunzip(message);
        EXPECT_EQ(unzipped, plain);
        EXPECT_EQ(opensslVerify(unzipped).exitCode, 0);
        auto verifier = newControl();
        EXPECT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {signature.text().c_str()}).hr, S_OK);
        EXPECT_EQ(slot(verifier.get(), 2), "K");
    }
}

TEST_F(TokenSigningTest, ALargeFileIsCompressedAtTheDefaultThreshold) {
    tokenUser();
    std::string data;
    for (int i = 0; data.size() < 60000; ++i) data += "line " + std::to_string(i) + " of the statement\n";
    stage("W", "C", "K", "big.txt", data);
    const CallResult signature = sign();
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
    const std::string message = der(signature);
    ASSERT_EQ(message.substr(0, 2), bytes({0x1F, 0x8B}));
    const ProcessRun openssl = opensslVerify(gunzip(message));
    EXPECT_EQ(openssl.exitCode, 0) << openssl.err;
    auto verifier = newControl();
    ASSERT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {signature.text().c_str()}).hr, S_OK);
    EXPECT_EQ(slot(verifier.get(), 4), data);
}

TEST_F(TokenSigningTest, ALargeCertificateGrowsTheResultBeyondTheBound) {
    // The size pass promises a bound for the message before the signer is
    // known; a certificate this large does not fit it, and the text grows.
    NameEntries name{{"C", "CN"}, {"O", "Bank"}};
    for (int i = 0; i < 100; ++i) name.push_back({"OU", "Department " + std::to_string(i) + std::string(40, '.')});
    name.push_back({"CN", "Token User"});
    pki.user("Token User").subject(name).install();
    stage("W", "C", "K");
    const CallResult signature = sign();
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
    std::string message;
    EXPECT_EQ(qm::buildTokenMessage(std::string("W"), std::string("C"), std::string("K"), {}, {}, message), 0);
    EXPECT_GT(signature.text().size(), qm::signOutputBound(message.size()));
    EXPECT_EQ(opensslVerify(der(signature)).exitCode, 0);
}

TEST_F(TokenSigningTest, DnChecksComeBeforeServerMode) {
    tokenUser();
    struct Case {
        const char* name;
        bool serverMode;
        bool separator;
        const char* dn;
        int32_t code;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"server mode", true, true, "CN=Token User", -10001, "该接口不支持server端运行"},
        {"server mode, no list", true, true, "", -10001, "该接口不支持server端运行"},
        // A list needs a separator.
        {"no separator", false, false, "CN=Token User", -10024, "未设置DN分隔符"},
        {"no separator, server mode", true, false, "CN=Token User", -10024, "未设置DN分隔符"},
        // At most five partial DNs.
        {"six partial DNs", false, true, "a|b|c|d|e|CN=Token User", -10025, "设置DN分隔符错误"},
        {"six partial DNs, server mode", true, true, "a|b|c|d|e|f", -10025, "设置DN分隔符错误"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        put(control(), "QMServerMode", c.serverMode ? 1 : 0);
        put(control(), "DNspliter", c.separator ? ScriptValue("|") : ScriptValue::null());
        stage("W", "C", "K");
        const CallResult signature = sign(c.dn);
        EXPECT_EQ(signature.hr, S_FALSE);
        EXPECT_EQ(signature.text(), "");
        EXPECT_EQ(errorNum(control()), c.code);
        EXPECT_EQ(errMsg(control()), c.message);
        // Whatever failed, the staged texts are gone.
        put(control(), "QMServerMode", 0);
        put(control(), "DNspliter", "|");
        EXPECT_EQ(sign().hr, S_FALSE);
        EXPECT_EQ(errMsg(control()), "组包失败");
    }
    EXPECT_TRUE(home.ui().requests().empty());

    // No list skips the separator check and lets the user choose.
    put(control(), "DNspliter", ScriptValue::null());
    stage("W", "C", "K");
    home.answer("cancel");
    EXPECT_EQ(sign("").hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10005);
    EXPECT_EQ(errMsg(control()), "签名失败");
    ASSERT_EQ(home.ui().requests().size(), 1u);
    EXPECT_EQ(home.ui().requests()[0].kind, "chooser");
}

TEST_F(TokenSigningTest, EveryCallConsumesTheStagedFields) {
    tokenUser();
    // Nothing but the CSP hash, the key hash, a file and a plaintext.
    writeFile(home.path() / "drives" / "c" / "f.txt", "file");
    ASSERT_EQ(call(control(), "QMSetCSPHashMsg", {"C"}).hr, S_OK);
    ASSERT_EQ(call(control(), "QMSetKeyHashMsg", {"K"}).hr, S_OK);
    ASSERT_EQ(call(control(), "QMSetUserFileName", {"c:\\f.txt"}).hr, S_OK);
    ASSERT_EQ(call(control(), "QMSetPlainText", {"pending"}).hr, S_OK);
    CallResult failed = sign();
    EXPECT_EQ(failed.hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
    EXPECT_EQ(errMsg(control()), "组包失败");
    EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "");

    // The other fields went with it: a warning alone does not make a message.
    ASSERT_EQ(call(control(), "QMSetWarningMsg", {"W"}).hr, S_OK);
    EXPECT_EQ(sign().hr, S_FALSE);
    EXPECT_EQ(errMsg(control()), "组包失败");
    // ... and so did the plaintext.
    EXPECT_EQ(call(control(), "QMAttachedSign", {"CN=Token User"}).hr, S_FALSE);
    EXPECT_EQ(errMsg(control()), "源数据为空");

    // A success consumes them too, file included.
    stage("W", "C", "K", "f.txt", "file");
    ASSERT_EQ(call(control(), "QMSetPlainText", {"pending"}).hr, S_OK);
    ASSERT_EQ(sign().hr, S_OK);
    EXPECT_EQ(call(control(), "QMAttachedSign", {"CN=Token User"}).hr, S_FALSE);
    stage("W", "C", "K");
    const CallResult withoutFile = sign();
    ASSERT_EQ(withoutFile.hr, S_OK);
    EXPECT_EQ(attached(withoutFile)->content, bodyOf("W", "C", "K"));
}

// The signer details a page reads after a failure must not be those of an
// earlier signature on the same object: every failure empties all five.
TEST_F(TokenSigningTest, AFailedSigningLeavesNoEarlierSigner) {
    tokenUser();
    struct Case {
        const char* name;
        bool staged;
        bool serverMode;
        const char* dn;
        int32_t code;
    };
    const std::vector<Case> cases = {
        // Nothing staged: the message cannot be built.
        {"no message", false, false, "CN=Token User", -10001},
        {"server mode", true, true, "CN=Token User", -10001},
        // The user closes the chooser without a choice.
        {"no certificate chosen", true, false, "", -10005},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stage("W", "C", "K");
        ASSERT_EQ(sign().hr, S_OK) << errMsg(control());
        ASSERT_EQ(call(control(), "QMGetSignerCertInfo", {1}).text(), "C=CN, O=Bank, CN=Token User");

        if (c.staged) stage("W", "C", "K");
        put(control(), "QMServerMode", c.serverMode ? 1 : 0);
        if (!c.serverMode && *c.dn == '\0') home.answer("cancel");
        EXPECT_EQ(sign(c.dn).hr, S_FALSE);
        EXPECT_EQ(errorNum(control()), c.code);
        for (int32_t type = 1; type <= 5; ++type) {
            EXPECT_EQ(call(control(), "QMGetSignerCertInfo", {type}).text(), "") << type;
        }
        put(control(), "QMServerMode", 0);
    }
}

TEST_F(TokenSigningTest, WhereTheKeyCannotBeReached) {
    struct Case {
        const char* name;
        void (*spoil)(const PkiCert&);
        int32_t code;
    };
    const std::vector<Case> cases = {
        {"no key-provider property", [](const PkiCert& user) { std::filesystem::remove(user.keyProvFile); }, -10031},
        {"provider nobody registered",
         [](const PkiCert& user) {
             writeFile(user.keyProvFile, crypto::formatKeyProvInfo({"Quillmark Absent Token", 1, user.container, 1}));
         },
         -10019},
        {"container gone", [](const PkiCert& user) { std::filesystem::remove_all(user.keyFile.parent_path()); },
         -10019},
        {"key file gone", [](const PkiCert& user) { std::filesystem::remove(user.keyFile); }, -10031},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string cn = "Key Case " + std::to_string(++n);
        const PkiCert user = pki.user(cn).subject({{"CN", cn}}).install();
        c.spoil(user);
        stage("W", "C", "K");
        EXPECT_EQ(sign(("CN=" + cn).c_str()).hr, S_FALSE);
        EXPECT_EQ(errorNum(control()), c.code);
        EXPECT_EQ(errMsg(control()), "签名失败");
    }
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(TokenSigningTest, TheDefaultContainerThatCannotBeOpened) {
    tokenUser();
    // Something that is not a container stands where the default one
    // belongs: it exists, and no context can be had on it.
    std::filesystem::create_directories(home.path() / "keys");
    writeFile(home.path() / "keys" / crypto::defaultContainerName(), "not a folder");
    stage("W", "C", "K");
    home.answer("ok");
    EXPECT_EQ(sign().hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10019);
    EXPECT_EQ(errMsg(control()), "签名失败");
    ASSERT_EQ(home.ui().requests().size(), 1u);
    const auto& box = home.ui().requests()[0];
    EXPECT_EQ(box.kind, "box");
    EXPECT_EQ(box.text, "Get Enhanced prov failed!");
    EXPECT_EQ(box.caption, "Err");
    EXPECT_EQ(box.buttons, "ok");
    EXPECT_EQ(box.icon, "");  // a plain box: no icon
    EXPECT_EQ(box.owner, "none");
}

TEST_F(TokenSigningTest, AnExpiredSignerVerifiesHereButNotAsAnOrdinaryMessage) {
    pki.user("Old").subject({{"CN", "Old"}}).expired().install();
    stage("W", "C", "K");
    const CallResult signature = sign("CN=Old");
    ASSERT_EQ(signature.hr, S_OK) << errMsg(control());
    auto verifier = newControl();
    EXPECT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {signature.text().c_str()}).hr, S_OK)
        << errMsg(verifier.get());
    EXPECT_EQ(slot(verifier.get(), 1), "C");
    EXPECT_EQ(call(verifier.get(), "QMAttachedVerify", {signature.text().c_str()}).hr, S_FALSE);
    EXPECT_EQ(errorNum(verifier.get()), -10011);
}

TEST_F(TokenSigningTest, TheBodyWalk) {
    const PkiCert user = tokenUser();
    auto element = [](uint8_t tag, std::string_view value) {
        std::string out(1, static_cast<char>(tag));
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value.size() >> shift) & 0xFF));
        return out + std::string(value);
    };
    const std::string header("\x11\x00\x00\x00\x00", 5);  // not looked at
    struct Case {
        const char* name;
        std::string content;
        int32_t code;
        std::vector<std::string> slots;  // 1 to 4 afterwards
    };
    const std::vector<Case> cases = {
        {"a whole body, padding and a nested body skipped",
         header + element(0x21, "csp") + element(0x25, "000") + element(0x11, element(0x21, "inner")) +
             element(0x23, "name") + element(0x24, std::string("da\0ta", 5)) + element(0x22, "key"),
         0, {"csp", "key", "name", "da"}},
        {"just the header", header, 0, {"", "", "", ""}},
        // Not a token body at all.
        {"ordinary text", "ordinary signed text", -10009, {"", "", "", ""}},
        // Shorter than the body's header.
        {"three bytes", "abc", -10009, {"", "", "", ""}},
        // 0x26 is no body element; what came before it stays.
        {"unknown tag", header + element(0x21, "ab") + element(0x26, "x"), -10009, {"ab", "", "", ""}},
        // The warning does not belong in a body.
        {"warning inside", header + element(0x10, "w"), -10009, {"", "", "", ""}},
        // A length that reaches past the content.
        {"value past the end", header + element(0x21, "ab") + std::string("\x22\x00\x00\x00\x09x", 6), -10009,
         {"ab", "", "", ""}},
        // A header cut short.
        {"header cut short", header + element(0x22, "k") + std::string("\x21\x00\x00", 3), -10009, {"", "k", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto message = crypto::signMessage(user.cert, c.content, false);
        ASSERT_TRUE(message.has_value());
        const std::string text = encoding::encodeBase64Wrapped(*message);
        auto verifier = newControl();
        const HRESULT hr = call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {text.c_str()}).hr;
        EXPECT_EQ(hr, c.code == 0 ? S_OK : S_FALSE);
        EXPECT_EQ(errorNum(verifier.get()), c.code);
        EXPECT_EQ(errMsg(verifier.get()), "");
        EXPECT_EQ(call(verifier.get(), "QMGetSignerCertInfo", {1}).text(),
                  c.code == 0 ? "C=CN, O=Bank, CN=Token User" : "");
        for (int32_t type = 1; type <= 4; ++type) EXPECT_EQ(slot(verifier.get(), type), c.slots[type - 1]) << type;
    }
}

TEST_F(TokenSigningTest, MessagesThatDoNotVerify) {
    const PkiCert user = tokenUser();
    pki.user("Orphan").subject({{"CN", "Orphan"}}).issuedBy(pki.orphanCa()).install();
    stage("W", "C", "K");
    const std::string good = der(sign());
    stage("W", "C", "K");
    const std::string orphan = der(sign("CN=Orphan"));
    std::string tampered = good;
    tampered[tampered.find(std::string(40, '0'))] = '1';  // one padding byte of the content

    struct Case {
        const char* name;
        ScriptValue message;
        int32_t code;
        const char* errMsg;
    };
    const std::vector<Case> cases = {
        {"null", ScriptValue::null(), -10001, "源数据为空"},
        {"empty", "", -10001, "源数据为空"},
        // Base64 that ends inside a group.
        {"broken Base64", "QUJD\nQQ", -10002, "验证错误"},
        // Decodes, but to no message.
        {"not DER", "QUJDREVG\n", -10007, "验证错误"},
        {"content changed", encoding::encodeBase64Wrapped(tampered).c_str(), -10010, "验证错误"},
        // The signer's issuer is in no store.
        {"issuer unknown", encoding::encodeBase64Wrapped(orphan).c_str(), -10014, "验证错误"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto verifier = newControl();
        EXPECT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {c.message}).hr, S_FALSE);
        EXPECT_EQ(errorNum(verifier.get()), c.code);
        EXPECT_EQ(errMsg(verifier.get()), c.errMsg);
    }
}

// A failed verification on an object that verified before: the signer read
// back is not the earlier one, while the slots keep what the earlier
// message left (they are only ever replaced by an element that occurs).
TEST_F(TokenSigningTest, AFailedVerificationLeavesNoEarlierSigner) {
    const PkiCert user = tokenUser();
    stage("W", "C", "K", "f.txt", "file");
    const std::string good = sign().text();
    const auto ordinary = crypto::signMessage(user.cert, "ordinary signed text", false);
    ASSERT_TRUE(ordinary.has_value());

    struct Case {
        const char* name;
        ScriptValue message;
        int32_t code;
    };
    const std::vector<Case> cases = {
        {"null", ScriptValue::null(), -10001},
        // Base64 that ends inside a group.
        {"broken Base64", "QUJD\nQQ", -10002},
        // Verifies, but carries no token body.
        {"not a token body", encoding::encodeBase64Wrapped(*ordinary).c_str(), -10009},
    };
    auto verifier = newControl();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {good.c_str()}).hr, S_OK);
        ASSERT_EQ(call(verifier.get(), "QMGetSignerCertInfo", {1}).text(), "C=CN, O=Bank, CN=Token User");

        EXPECT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {c.message}).hr, S_FALSE);
        EXPECT_EQ(errorNum(verifier.get()), c.code);
        for (int32_t type = 1; type <= 5; ++type) {
            EXPECT_EQ(call(verifier.get(), "QMGetSignerCertInfo", {type}).text(), "") << type;
        }
        EXPECT_EQ(slot(verifier.get(), 1), "C");
        EXPECT_EQ(slot(verifier.get(), 4), "file");
    }
}

TEST_F(TokenSigningTest, PlainTextSlotsAndTheirTypes) {
    tokenUser();
    auto verifier = newControl();
    for (const int32_t type : {0, 5}) {
        SCOPED_TRACE(type);
        const CallResult result = call(verifier.get(), "QMGetAdvFendrelPlainText", {type});
        EXPECT_EQ(result.hr, S_FALSE);
        EXPECT_EQ(result.text(), "");
        EXPECT_EQ(errorNum(verifier.get()), -10008);
        EXPECT_EQ(errMsg(verifier.get()), "类型错误，没有该类型的值");
    }
    EXPECT_EQ(call(verifier.get(), "QMGetAdvFendrelPlainText", {3}).hr, S_OK);
    EXPECT_EQ(errorNum(verifier.get()), 0);
    EXPECT_EQ(slot(verifier.get(), 3), "");  // a new object

    stage("W", "C1", "K1", "first.txt", "one");
    const CallResult withFile = sign();
    stage("W", "C2", "K2");
    const CallResult withoutFile = sign();
    ASSERT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {withFile.text().c_str()}).hr, S_OK);
    ASSERT_EQ(call(verifier.get(), "QMAdvFendrelAfterwardsVerify", {withoutFile.text().c_str()}).hr, S_OK);
    // The file slots keep what the earlier message left.
    EXPECT_EQ(slot(verifier.get(), 1), "C2");
    EXPECT_EQ(slot(verifier.get(), 3), "first.txt");
    EXPECT_EQ(slot(verifier.get(), 4), "one");
}

}  // namespace
