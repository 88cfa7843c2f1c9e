// The PKCS #11 token provider against SoftHSM2: a token made for each test
// in its home, a key imported onto it from the test PKI, and a provider
// entry in the home's registry that points at it.

#include "platform/crypto/token_provider.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/messages.h"
#include "platform/crypto/provider.h"
#include "platform/crypto/store.h"
#include "fake_pkcs11.h"
#include "support/softhsm.h"
#include "support/test_pki.h"

using namespace crypto;
using testing_support::PkiCert;
using testing_support::SoftHsm;
using testing_support::TestHome;
using testing_support::TestPki;
using testing_support::TokenProviderEntry;

namespace {

constexpr char TOKEN[] = "Quillmark Token";
constexpr char PROVIDER[] = "Quillmark Token CSP";
constexpr char KEY_LABEL[] = "signing key";

std::string element(char tag, std::string_view value) {
    const auto n = static_cast<uint32_t>(value.size());
    std::string out{tag, static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
    return out.append(value);
}

std::string digestOf(std::string_view name, std::string_view data) {
    UniquePtr<EVP_MD> md(EVP_MD_fetch(libraryContext(), std::string(name).c_str(), nullptr));
    std::string digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), reinterpret_cast<unsigned char*>(digest.data()), &length, md.get(),
                         nullptr),
              1);
    digest.resize(length);
    return digest;
}

// Whether `signature` (most significant byte first) is the PKCS #1 v1.5
// signature of `digest` (made with `mdName`) under the certificate's key.
bool verifiesWith(const PkiCert& cert, std::string_view mdName, std::string_view digest, std::string_view signature) {
    UniquePtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(libraryContext(), X509_get0_pubkey(cert.x509()), nullptr));
    UniquePtr<EVP_MD> md(EVP_MD_fetch(libraryContext(), std::string(mdName).c_str(), nullptr));
    return context && md && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), md.get()) == 1 &&
           EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                           reinterpret_cast<const unsigned char*>(digest.data()), digest.size()) == 1;
}

std::string encryptTo(const PkiCert& cert, std::string_view plain) {
    UniquePtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(libraryContext(), X509_get0_pubkey(cert.x509()), nullptr));
    size_t length = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(plain.data());
    EXPECT_TRUE(context && EVP_PKEY_encrypt_init(context.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_encrypt(context.get(), nullptr, &length, in, plain.size()) == 1);
    std::string encrypted(length, '\0');
    EXPECT_EQ(EVP_PKEY_encrypt(context.get(), reinterpret_cast<unsigned char*>(encrypted.data()), &length, in,
                               plain.size()),
              1);
    encrypted.resize(length);
    return encrypted;
}

std::string reversed(std::string bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

class TokenProviderTest : public testing_support::HomeTest {
protected:
    TestPki pki{home};
    SoftHsm hsm{home};
    unsigned long slot = hsm.initToken(TOKEN);
    PkiCert user = pki.user("Token User").withoutKey().inNoStore().install();

    void SetUp() override {
        hsm.importKey(TOKEN, user, KEY_LABEL, "01");
        hsm.registerProvider(PROVIDER, {.token = TOKEN});
    }

    static std::unique_ptr<ProviderContext> acquire(const std::optional<std::string>& container = KEY_LABEL,
                                                    uint32_t flags = 0, std::string_view provider = PROVIDER) {
        return ProviderContext::acquire(container, provider, PROV_RSA_FULL, flags);
    }

    // The one PIN request made since the last call, checked for what the
    // user is shown.
    void expectPinRequest(std::string_view warning) {
        const auto& requests = home.ui().requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].kind, "pin");
        EXPECT_EQ(requests[0].title, TOKEN);
        EXPECT_EQ(requests[0].caption, "PIN");
        EXPECT_EQ(requests[0].text, warning);
        home.ui().clearRequests();
    }
};

TEST_F(TokenProviderTest, ContainersAreKeysByLabelOrId) {
    struct Case {
        const char* name;
        std::optional<std::string> container;
        uint32_t flags;
        uint32_t error;          // 0: acquired
        std::string containerName;
    };
    const Case cases[] = {
        {"label", KEY_LABEL, 0, 0, KEY_LABEL},
        {"id in hex", "01", 0, 0, "01"},
        {"default container", std::nullopt, 0, 0, KEY_LABEL},
        {"silent", KEY_LABEL, CRYPT_SILENT, 0, KEY_LABEL},
        // No object of that label, and not hex for an id.
        {"unknown label", "no such key", 0, NTE_BAD_KEYSET, ""},
        // Hex, but no object has that id.
        {"unknown id", "02", 0, NTE_BAD_KEYSET, ""},
        // A label or id is never empty.
        {"empty name", "", 0, NTE_BAD_KEYSET_PARAM, ""},
        // Keys are not made on a token: there already ...
        {"new key set that exists", KEY_LABEL, CRYPT_NEWKEYSET, NTE_EXISTS, ""},
        // ... or not to be made here.
        {"new key set", "new key", CRYPT_NEWKEYSET, NTE_PERM, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setLastError(0);
        const auto context = acquire(c.container, c.flags);
        if (c.error != 0) {
            EXPECT_EQ(context, nullptr);
            EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
            continue;
        }
        ASSERT_NE(context, nullptr) << std::hex << getLastError();
        EXPECT_EQ(context->providerName(), PROVIDER);
        EXPECT_EQ(context->containerName(), c.containerName);
        // One key answers to both key specs; the lookup needs no PIN.
        EXPECT_TRUE(context->hasKey(AT_SIGNATURE)) << std::hex << getLastError();
        EXPECT_TRUE(context->hasKey(AT_KEYEXCHANGE)) << std::hex << getLastError();
        EXPECT_FALSE(context->hasKey(3));
        EXPECT_EQ(getLastError(), NTE_BAD_KEY);
    }
    // The provider name is the registry's, in any case.
    EXPECT_NE(acquire(KEY_LABEL, 0, "quillmark token csp"), nullptr);

    // Hashing only: the token, no key.
    const auto verify = acquire(std::nullopt, CRYPT_VERIFYCONTEXT);
    ASSERT_NE(verify, nullptr) << std::hex << getLastError();
    EXPECT_EQ(verify->containerName(), "");
    EXPECT_FALSE(verify->hasKey(AT_SIGNATURE));
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);
    const auto hash = verify->createHash(OID_SHA1);
    ASSERT_NE(hash, nullptr);
    ASSERT_TRUE(hash->hashData("abc"));
    EXPECT_EQ(hash->hashValue(), digestOf("SHA1", "abc"));
    EXPECT_EQ(hash->signHash(AT_SIGNATURE), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);
    EXPECT_EQ(verify->createHash("1.2.840.113549.2.5"), nullptr);
    EXPECT_EQ(getLastError(), NTE_BAD_ALGID);

    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(TokenProviderTest, SignHashShowsTheWarningWithThePinPrompt) {
    const std::string warning = "Transfer 100.00 to account 6222 0200";
    const std::string body = element(0x11, element(0x12, "csp hash") + element(0x13, "key hash"));
    const std::string message = element(0x10, warning) + body;

    auto context = acquire();
    ASSERT_NE(context, nullptr) << std::hex << getLastError();
    auto hash = context->createHash(OID_SHA1);
    ASSERT_NE(hash, nullptr);
    ASSERT_TRUE(hash->hashData(message.substr(0, 7)));
    ASSERT_TRUE(hash->hashData(message.substr(7)));
    // The hash object keeps the token within reach on its own.
    context.reset();

    home.answer("pin 1234");
    const auto signature = hash->signHash(AT_SIGNATURE);
    ASSERT_TRUE(signature) << std::hex << getLastError();
    expectPinRequest(warning);
    // Least significant byte first; over the body element alone.
    EXPECT_TRUE(verifiesWith(user, "SHA1", digestOf("SHA1", body), reversed(*signature)));

    // Asked again (the size, then the signature), it asks for no second PIN.
    EXPECT_EQ(hash->signHash(AT_KEYEXCHANGE), signature);
    EXPECT_TRUE(home.ui().requests().empty());

    // Other data is hashed whole and shows no warning.
    auto plain = acquire("01")->createHash(OID_SHA1);
    ASSERT_TRUE(plain && plain->hashData("plain data"));
    home.answer("pin 1234");
    const auto plainSignature = plain->signHash(AT_KEYEXCHANGE);
    ASSERT_TRUE(plainSignature) << std::hex << getLastError();
    expectPinRequest("");
    EXPECT_TRUE(verifiesWith(user, "SHA1", digestOf("SHA1", "plain data"), reversed(*plainSignature)));
}

TEST_F(TokenProviderTest, SignDigestAndDecryptKeyUseTheKeyOnTheToken) {
    const auto context = acquire();
    ASSERT_NE(context, nullptr) << std::hex << getLastError();

    const std::string digest = digestOf("SHA256", "some content");
    home.answer("pin 1234");
    const auto signature = context->signDigest(AT_SIGNATURE, NID_sha256, digest);
    ASSERT_TRUE(signature) << std::hex << getLastError();
    expectPinRequest("");
    EXPECT_TRUE(verifiesWith(user, "SHA256", digest, *signature));

    const std::string key(16, '\x5A');
    home.answer("pin 1234");
    EXPECT_EQ(context->decryptKey(AT_KEYEXCHANGE, encryptTo(user, key)), key);
    expectPinRequest("");

    // Bytes that were never encrypted to this key.
    home.answer("pin 1234");
    EXPECT_EQ(context->decryptKey(AT_KEYEXCHANGE, std::string(256, '\x01')), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_DATA) << std::hex << getLastError();
    expectPinRequest("");

    // Arguments are checked before anyone is asked for a PIN.
    EXPECT_EQ(context->signDigest(AT_SIGNATURE, NID_sha256, digest.substr(1)), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_HASH);
    EXPECT_EQ(context->signDigest(AT_SIGNATURE, NID_undef, digest), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_ALGID);
    EXPECT_EQ(context->signDigest(0, NID_sha256, digest), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_KEY);
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(TokenProviderTest, PinProblemsAreTheCardsErrors) {
    struct Case {
        const char* name;
        const char* answer;  // nullptr: no prompt may be shown
        uint32_t flags;
        uint32_t error;
    };
    const Case cases[] = {
        // Not the token's PIN.
        {"wrong PIN", "pin 9999", 0, SCARD_W_WRONG_CHV},
        // Not even a PIN SoftHSM2 accepts (4 to 255 characters).
        {"too short a PIN", "pin 12", 0, SCARD_W_WRONG_CHV},
        {"cancelled", "cancel", 0, SCARD_W_CANCELLED_BY_USER},
        // A silent context may not ask.
        {"silent", nullptr, CRYPT_SILENT, NTE_SILENT_CONTEXT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto hash = acquire(KEY_LABEL, c.flags)->createHash(OID_SHA1);
        ASSERT_TRUE(hash && hash->hashData("data"));
        if (c.answer != nullptr) home.answer(c.answer);
        EXPECT_EQ(hash->signHash(AT_SIGNATURE), std::nullopt);
        EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
        EXPECT_EQ(home.ui().requests().size(), c.answer != nullptr ? 1u : 0u);
        home.ui().clearRequests();
    }
    // None of that logged the token in, or locked it.
    auto hash = acquire()->createHash(OID_SHA1);
    ASSERT_TRUE(hash && hash->hashData("data"));
    home.answer("pin 1234");
    EXPECT_TRUE(hash->signHash(AT_SIGNATURE)) << std::hex << getLastError();
}

TEST_F(TokenProviderTest, TokenOrModuleOutOfReach) {
    const std::string notAModule = (home.path() / "not-a-module.so").string();
    testing_support::writeFile(notAModule, "text");
    struct Case {
        const char* name;
        TokenProviderEntry entry;
        uint32_t error;  // 0: reached
    };
    const Case cases[] = {
        {"slot", {.slot = static_cast<uint32_t>(slot)}, 0},
        {"slot and label", {.token = TOKEN, .slot = static_cast<uint32_t>(slot)}, 0},
        {"first initialised token", {}, 0},
        // No slot holds a token of that label.
        {"token absent", {.token = "Absent Token"}, NTE_KEYSET_NOT_DEF},
        // The slot holds another token.
        {"other token in the slot", {.token = "Absent Token", .slot = static_cast<uint32_t>(slot)},
         NTE_KEYSET_NOT_DEF},
        // No such slot.
        {"empty slot", {.slot = static_cast<uint32_t>(slot) ^ 0x5A5A}, NTE_KEYSET_NOT_DEF},
        {"module missing", {.module = "/nonexistent/libpkcs11.so", .token = TOKEN}, NTE_PROV_DLL_NOT_FOUND},
        // Loads as nothing.
        {"not a library", {.module = notAModule, .token = TOKEN}, NTE_PROV_DLL_NOT_FOUND},
        // A library, but not a PKCS #11 module.
        {"not a PKCS #11 module", {.module = "libz.so.1", .token = TOKEN}, NTE_PROV_DLL_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = std::string("Case ") + c.name;
        hsm.registerProvider(name, c.entry);
        setLastError(0);
        const auto context = acquire(KEY_LABEL, 0, name);
        if (c.error == 0) {
            ASSERT_NE(context, nullptr) << std::hex << getLastError();
            EXPECT_TRUE(context->hasKey(AT_SIGNATURE));
        } else {
            EXPECT_EQ(context, nullptr);
            EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
        }
    }
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(TokenProviderTest, MessagesSignAndOpenWithTheKeyOnTheToken) {
    const CertPtr cert = testing_support::installTokenCertificate(user, PROVIDER, KEY_LABEL, AT_KEYEXCHANGE);

    // The size pass reaches the key without a PIN.
    const auto size = signedMessageSize(cert, 7, false);
    ASSERT_TRUE(size) << std::hex << getLastError();
    EXPECT_TRUE(home.ui().requests().empty());

    home.answer("pin 1234");
    const auto message = signMessage(cert, "payload", false);
    ASSERT_TRUE(message) << std::hex << getLastError();
    expectPinRequest("");
    EXPECT_EQ(message->size(), *size);
    const auto verified = verifyMessage(*message);
    ASSERT_TRUE(verified) << std::hex << getLastError();
    EXPECT_EQ(verified->content, "payload");
    EXPECT_EQ(verified->signer->der(), user.der());

    const auto envelope = encryptMessage(cert, "for the token");
    ASSERT_TRUE(envelope) << std::hex << getLastError();
    const auto my = Store::openSystem("my");
    home.answer("pin 1234");
    const auto opened = decryptMessage({my.get()}, *envelope);
    ASSERT_TRUE(opened) << std::hex << getLastError();
    expectPinRequest("");
    EXPECT_EQ(opened->content, "for the token");
}

// The module is finalised when its last user lets go, so the next use reads
// the configuration of its time: here, another home with another token.
TEST_F(TokenProviderTest, ModuleIsSharedAndComesBackAfterItsLastUser) {
    auto first = acquire();
    auto second = acquire("01");
    ASSERT_TRUE(first && second);
    first.reset();
    auto hash = second->createHash(OID_SHA1);
    ASSERT_TRUE(hash && hash->hashData("still loaded"));
    home.answer("pin 1234");
    EXPECT_TRUE(hash->signHash(AT_SIGNATURE)) << std::hex << getLastError();
    hash.reset();
    second.reset();

    TestHome other;  // the current context from here on
    TestPki otherPki(other);
    SoftHsm otherHsm(other);
    otherHsm.initToken("Other Token", "4321");
    const PkiCert otherUser = otherPki.user("Other User").withoutKey().inNoStore().install();
    otherHsm.importKey("Other Token", otherUser, "other key", "0a", true, "4321");
    otherHsm.registerProvider(PROVIDER, {});

    const auto reread = acquire("0a");
    ASSERT_NE(reread, nullptr) << std::hex << getLastError();
    EXPECT_EQ(reread->containerName(), "0a");
    EXPECT_EQ(acquire(KEY_LABEL), nullptr);
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);
    other.answer("pin 4321");
    const std::string digest = digestOf("SHA1", "other");
    const auto signature = reread->signDigest(AT_SIGNATURE, NID_sha1, digest);
    ASSERT_TRUE(signature) << std::hex << getLastError();
    EXPECT_TRUE(verifiesWith(otherUser, "SHA1", digest, *signature));
    ASSERT_EQ(other.ui().requests().size(), 1u);
    EXPECT_EQ(other.ui().requests()[0].title, "Other Token");
}

// --- A module the test steers ---------------------------------------------------

constexpr char FAKE_PROVIDER[] = "Fake Token CSP";
constexpr char FAKE_KEY[] = "fake key";

struct LibraryCloser {
    void operator()(void* library) const { ::dlclose(library); }
};

class FakeModuleTest : public testing_support::HomeTest {
protected:
    // The library the provider loads is this one: one path, one handle.
    std::unique_ptr<void, LibraryCloser> library{::dlopen(QUILLMARK_FAKE_PKCS11, RTLD_NOW | RTLD_LOCAL)};
    FakePkcs11State* fake = nullptr;

    void SetUp() override {
        ASSERT_NE(library, nullptr) << ::dlerror();
        const auto reset = reinterpret_cast<void (*)()>(::dlsym(library.get(), "fakePkcs11Reset"));
        const auto state = reinterpret_cast<FakePkcs11State* (*)()>(::dlsym(library.get(), "fakePkcs11State"));
        ASSERT_TRUE(reset && state);
        reset();
        fake = state();
        fake->pin = "2468";
        testing_support::registerTokenProvider(home, FAKE_PROVIDER, {.module = QUILLMARK_FAKE_PKCS11});
    }

    static std::unique_ptr<ProviderContext> acquire(std::string_view provider = FAKE_PROVIDER) {
        return ProviderContext::acquire(FAKE_KEY, provider, PROV_RSA_FULL, 0);
    }
};

TEST_F(FakeModuleTest, InitialisedOnceAndFinalisedByItsLastUser) {
    const std::filesystem::path link = home.path() / "link-to-module.so";
    std::filesystem::create_symlink(QUILLMARK_FAKE_PKCS11, link);
    testing_support::registerTokenProvider(home, "Linked CSP", {.module = link.string()});

    auto first = acquire();
    auto second = acquire();
    // The same library under another path is the same module.
    auto linked = acquire("Linked CSP");
    ASSERT_TRUE(first && second && linked) << std::hex << getLastError();
    EXPECT_EQ(fake->initialiseCalls, 1);
    // A hash object is a user too.
    auto hash = first->createHash(OID_SHA1);
    first.reset();
    second.reset();
    linked.reset();
    EXPECT_EQ(fake->finaliseCalls, 0);
    hash.reset();
    EXPECT_EQ(fake->finaliseCalls, 1);
    EXPECT_EQ(fake->openSessions, 0);

    // The next user brings it up again.
    ASSERT_NE(acquire(), nullptr);
    EXPECT_EQ(fake->initialiseCalls, 2);
    EXPECT_EQ(fake->finaliseCalls, 2);

    // Brought up by someone else in the process: used, and left to them.
    fake->initialisedElsewhere = true;
    auto borrowed = acquire();
    ASSERT_NE(borrowed, nullptr) << std::hex << getLastError();
    borrowed.reset();
    EXPECT_EQ(fake->initialiseCalls, 3);
    EXPECT_EQ(fake->finaliseCalls, 2);
}

TEST_F(FakeModuleTest, TokenAnswersBecomeTheCardsErrors) {
    const std::string data = "data";
    // What CKM_RSA_PKCS gets: the SHA-1 DigestInfo. The fake signs by
    // reversing, and signHash reverses once more.
    const std::string digestInfo = std::string("\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14", 15) +
                                   digestOf("SHA1", data);
    struct Case {
        const char* name;
        CK_RV userLogin;
        bool alwaysAuthenticate;
        bool removeToken;  // after acquiring, before signing
        uint32_t error;    // 0: signed
        int logouts;
        int contextLogins;
    };
    const Case cases[] = {
        {"signs", CKR_OK, false, false, 0, 1, 0},
        // A key that wants the PIN for every signature gets it after C_SignInit.
        {"always authenticate", CKR_OK, true, false, 0, 1, 1},
        // Someone else in the process holds the login: used, and left to them.
        {"already logged in", CKR_USER_ALREADY_LOGGED_IN, false, false, 0, 0, 0},
        {"PIN locked", CKR_PIN_LOCKED, false, false, SCARD_W_CHV_BLOCKED, 0, 0},
        // It must be changed before it opens anything.
        {"PIN expired", CKR_PIN_EXPIRED, false, false, SCARD_W_CHV_BLOCKED, 0, 0},
        {"token out of memory", CKR_DEVICE_MEMORY, false, false, NTE_NO_MEMORY, 0, 0},
        {"token fault", CKR_DEVICE_ERROR, false, false, NTE_FAIL, 0, 0},
        // Pulled from the reader between acquiring and signing.
        {"token removed", CKR_OK, false, true, NTE_KEYSET_NOT_DEF, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pin = fake->pin;
        *fake = FakePkcs11State{};
        fake->pin = pin;
        fake->userLogin = c.userLogin;
        fake->alwaysAuthenticate = c.alwaysAuthenticate;
        {
            auto context = acquire();
            ASSERT_NE(context, nullptr) << std::hex << getLastError();
            auto hash = context->createHash(OID_SHA1);
            ASSERT_TRUE(hash && hash->hashData(data));
            if (c.removeToken) fake->tokenPresent = false;
            home.answer("pin 2468");
            const auto signature = hash->signHash(AT_SIGNATURE);
            if (c.error == 0) {
                EXPECT_EQ(signature, digestInfo) << std::hex << getLastError();
            } else {
                EXPECT_EQ(signature, std::nullopt);
                EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
            }
            EXPECT_EQ(home.ui().requests().size(), 1u);
            home.ui().clearRequests();
        }
        EXPECT_EQ(fake->signatures, c.error == 0 ? 1 : 0);
        EXPECT_EQ(fake->logouts, c.logouts);
        EXPECT_EQ(fake->contextLogins, c.contextLogins);
        EXPECT_EQ(fake->finaliseCalls, 1);
        EXPECT_EQ(fake->openSessions, 0);
    }
}

}  // namespace
