#include "platform/crypto/provider.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/messages.h"
#include "platform/registry/registry.h"
#include "support/test_pki.h"

using namespace crypto;
using testing_support::PkiCert;
using testing_support::readFile;
using testing_support::TestPki;
using testing_support::writeFile;

namespace {

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        out += digits[static_cast<uint8_t>(c) >> 4];
        out += digits[static_cast<uint8_t>(c) & 0x0F];
    }
    return out;
}

std::string element(char tag, std::string_view value) {
    const auto n = static_cast<uint32_t>(value.size());
    std::string out{tag, static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
    return out.append(value);
}

// Whether `signature` (most significant byte first) is the PKCS #1 v1.5
// SHA-1 signature of `digest` under the certificate's public key.
bool verifiesWith(const PkiCert& cert, std::string_view digest, std::string_view signature) {
    UniquePtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(libraryContext(), X509_get0_pubkey(cert.x509()), nullptr));
    UniquePtr<EVP_MD> md(EVP_MD_fetch(libraryContext(), "SHA1", nullptr));
    return context && md && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), md.get()) == 1 &&
           EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                           reinterpret_cast<const unsigned char*>(digest.data()), digest.size()) == 1;
}

std::string ecKeyPem() {
    UniquePtr<EVP_PKEY> key(EVP_PKEY_Q_keygen(libraryContext(), nullptr, "EC", "P-256"));
    UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
    if (!key || !bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

class ProviderTest : public testing_support::HomeTest {
protected:
    TestPki pki{home};
    std::filesystem::path keys = home.path() / "keys";

    static std::unique_ptr<ProviderContext> acquire(const std::optional<std::string>& container, uint32_t flags,
                                                    std::string_view provider = MS_ENHANCED_PROV) {
        return ProviderContext::acquire(container, provider, PROV_RSA_FULL, flags);
    }

    // The signature of `data` through a hash object of the certificate's
    // container, as signHash answers it (least significant byte first).
    static std::optional<std::string> signThroughHash(ProviderContext& context, std::string_view data,
                                                      uint32_t keySpec = AT_KEYEXCHANGE) {
        auto hash = context.createHash(OID_SHA1);
        if (!hash || !hash->hashData(data)) return std::nullopt;
        return hash->signHash(keySpec);
    }
};

// --- Containers ---------------------------------------------------------------

TEST_F(ProviderTest, NewKeySetCreatesTheContainerOnceAndNeverEmptiesIt) {
    const std::string user = defaultContainerName();
    ASSERT_FALSE(user.empty());

    auto created = acquire(std::nullopt, CRYPT_NEWKEYSET);
    ASSERT_NE(created, nullptr) << std::hex << getLastError();
    EXPECT_EQ(created->containerName(), user);
    EXPECT_EQ(created->providerName(), MS_ENHANCED_PROV);
    EXPECT_TRUE(std::filesystem::is_directory(keys / user));
    EXPECT_EQ(modeOf(keys / user), 0700u);
    // A new container holds no key yet.
    EXPECT_FALSE(created->hasKey(AT_KEYEXCHANGE));
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);

    writeFile(keys / user / "notes.txt", "kept");
    setLastError(0);
    EXPECT_EQ(acquire(std::nullopt, CRYPT_NEWKEYSET), nullptr);
    EXPECT_EQ(getLastError(), NTE_EXISTS);
    EXPECT_EQ(acquire(user, CRYPT_NEWKEYSET), nullptr);
    EXPECT_EQ(getLastError(), NTE_EXISTS);
    EXPECT_EQ(readFile(keys / user / "notes.txt"), "kept");

    // The control's fallback after NTE_EXISTS: open the existing one, with
    // either provider name, spelt in any case.
    for (const std::string_view provider :
         {MS_ENHANCED_PROV, MS_DEF_PROV, std::string_view("microsoft BASE cryptographic provider v1.0")}) {
        SCOPED_TRACE(provider);
        auto opened = acquire(std::nullopt, 0, provider);
        ASSERT_NE(opened, nullptr) << std::hex << getLastError();
        EXPECT_EQ(opened->containerName(), user);
    }
    EXPECT_EQ(acquire(std::nullopt, 0, MS_DEF_PROV)->providerName(), MS_DEF_PROV);
    EXPECT_EQ(acquire(std::nullopt, 0, "")->providerName(), MS_ENHANCED_PROV);

    // Container names are UTF-8 and may hold blanks.
    ASSERT_NE(acquire("张三 (2)", CRYPT_NEWKEYSET), nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(keys / "张三 (2)"));
    EXPECT_NE(acquire("张三 (2)", 0), nullptr);
}

TEST_F(ProviderTest, AcquireRefusesWhatItCannotServe) {
    ASSERT_NE(acquire("existing", CRYPT_NEWKEYSET), nullptr);
    writeFile(keys / "plain file", "not a folder");

    struct Case {
        const char* name;
        std::optional<std::string> container;
        std::string_view provider;
        uint32_t type;
        uint32_t flags;
        uint32_t error;
    };
    const std::string tooLong(256, 'x');
    const Case cases[] = {
        {"missing container", "nobody", MS_ENHANCED_PROV, PROV_RSA_FULL, 0, NTE_BAD_KEYSET},
        // A file where the container's folder should be is "exists" to
        // create and "missing" to open.
        {"file: create", "plain file", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_EXISTS},
        {"file: open", "plain file", MS_ENHANCED_PROV, PROV_RSA_FULL, 0, NTE_BAD_KEYSET},
        // Only PROV_RSA_FULL is served.
        {"type 24", "existing", MS_ENHANCED_PROV, 24, 0, NTE_BAD_PROV_TYPE},
        {"type 0", "existing", MS_ENHANCED_PROV, 0, 0, NTE_BAD_PROV_TYPE},
        // Neither built in nor registered.
        {"unknown provider", "existing", "Microsoft Strong Cryptographic Provider", PROV_RSA_FULL, 0,
         NTE_PROV_TYPE_NOT_DEF},
        {"provider name is a key path", "existing", "..\\..\\Classes", PROV_RSA_FULL, 0, NTE_PROV_TYPE_NOT_DEF},
        // A container name must name one folder under keys/.
        {"empty name", "", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
        {"dot", ".", MS_ENHANCED_PROV, PROV_RSA_FULL, 0, NTE_BAD_KEYSET_PARAM},
        {"dot dot", "..", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
        {"slash", "../escape", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
        {"backslash", "a\\b", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
        {"NUL", std::string("a\0b", 3), MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
        {"256 bytes", tooLong, MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
        // Nothing deletes a container; machine key sets do not exist here.
        {"delete", "existing", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_DELETEKEYSET, NTE_BAD_FLAGS},
        {"machine", "existing", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, NTE_BAD_FLAGS},
        {"unknown flag", "existing", MS_ENHANCED_PROV, PROV_RSA_FULL, 0x1, NTE_BAD_FLAGS},
        // A verify context has no container to create or name.
        {"verify + new", std::nullopt, MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET,
         NTE_BAD_FLAGS},
        {"verify + name", "existing", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_BAD_FLAGS},
        {"part of verify", "existing", MS_ENHANCED_PROV, PROV_RSA_FULL, 0x10000000, NTE_BAD_FLAGS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setLastError(0);
        EXPECT_EQ(ProviderContext::acquire(c.container, c.provider, c.type, c.flags), nullptr);
        EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
    }
    EXPECT_TRUE(std::filesystem::is_directory(keys / "existing"));
    EXPECT_FALSE(std::filesystem::exists(home.path() / "escape"));
}

TEST_F(ProviderTest, VerifyContextHashesButHoldsNoKey) {
    auto context = acquire(std::nullopt, CRYPT_VERIFYCONTEXT);
    ASSERT_NE(context, nullptr) << std::hex << getLastError();
    EXPECT_EQ(context->containerName(), "");
    EXPECT_FALSE(std::filesystem::exists(keys / defaultContainerName()));

    auto hash = context->createHash(OID_SHA1);
    ASSERT_NE(hash, nullptr);
    ASSERT_TRUE(hash->hashData("abc"));
    EXPECT_EQ(hex(hash->hashValue().value_or("")), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(hash->signHash(AT_KEYEXCHANGE), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);
    EXPECT_FALSE(context->hasKey(AT_SIGNATURE));
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);

    EXPECT_EQ(context->createHash("1.2.840.113549.2.5"), nullptr);  // MD5
    EXPECT_EQ(getLastError(), NTE_BAD_ALGID);
    EXPECT_EQ(context->createHash("SHA1"), nullptr);  // the OID, not a name
    EXPECT_EQ(getLastError(), NTE_BAD_ALGID);
}

// --- Keys -------------------------------------------------------------------

TEST_F(ProviderTest, SignHashAnswersLeastSignificantByteFirst) {
    const auto user = pki.user("Test User").install();
    auto context = acquire(user.container, 0);
    ASSERT_NE(context, nullptr) << std::hex << getLastError();
    EXPECT_TRUE(context->hasKey(AT_KEYEXCHANGE));

    auto hash = context->createHash(OID_SHA1);
    ASSERT_NE(hash, nullptr);
    ASSERT_TRUE(hash->hashData("to be signed"));
    const auto signature = hash->signHash(AT_KEYEXCHANGE);
    ASSERT_TRUE(signature) << std::hex << getLastError();
    ASSERT_EQ(signature->size(), 256u);
    const auto digest = hash->hashValue();
    ASSERT_TRUE(digest);
    EXPECT_EQ(*digest, sha1("to be signed"));

    std::string reversed(signature->rbegin(), signature->rend());
    EXPECT_TRUE(verifiesWith(user, *digest, reversed));
    EXPECT_FALSE(verifiesWith(user, *digest, *signature));
    // The same as signDigest, which answers the usual order.
    EXPECT_EQ(context->signDigest(AT_KEYEXCHANGE, NID_sha1, *digest), reversed);

    // Signing again signs the same digest; hashing more is over.
    EXPECT_EQ(hash->signHash(AT_KEYEXCHANGE), signature);
    EXPECT_FALSE(hash->hashData("more"));
    EXPECT_EQ(getLastError(), NTE_BAD_HASH_STATE);

    // The container holds an exchange key only.
    EXPECT_EQ(signThroughHash(*context, "x", AT_SIGNATURE), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);
    EXPECT_FALSE(context->hasKey(AT_SIGNATURE));
    EXPECT_EQ(signThroughHash(*context, "x", 3), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_KEY);

    const auto signer = pki.user("Signature Key").keySpec(AT_SIGNATURE).install();
    auto signatureContext = acquire(signer.container, 0);
    ASSERT_NE(signatureContext, nullptr);
    const auto bySignatureKey = signThroughHash(*signatureContext, "to be signed", AT_SIGNATURE);
    ASSERT_TRUE(bySignatureKey) << std::hex << getLastError();
    EXPECT_TRUE(verifiesWith(signer, sha1("to be signed"), std::string(bySignatureKey->rbegin(), bySignatureKey->rend())));
}

TEST_F(ProviderTest, HashObjectOutlivesItsContext) {
    const auto user = pki.user("Test User").install();
    auto context = acquire(user.container, 0);
    ASSERT_NE(context, nullptr);
    auto hash = context->createHash(OID_SHA1);
    context.reset();
    ASSERT_TRUE(hash->hashData("late"));
    const auto signature = hash->signHash(AT_KEYEXCHANGE);
    ASSERT_TRUE(signature);
    EXPECT_TRUE(verifiesWith(user, sha1("late"), std::string(signature->rbegin(), signature->rend())));
}

TEST_F(ProviderTest, DigestArgumentsAreChecked) {
    const auto user = pki.user("Test User").install();
    auto context = acquire(user.container, 0);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->signDigest(AT_KEYEXCHANGE, NID_sha1, "short"), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_HASH);
    EXPECT_EQ(context->signDigest(AT_KEYEXCHANGE, NID_undef, std::string(20, 'x')), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_ALGID);
    const auto sha256 = context->signDigest(AT_KEYEXCHANGE, NID_sha256, std::string(32, 'x'));
    EXPECT_TRUE(sha256);
    // Longer than the modulus: never a key encrypted to this one.
    EXPECT_EQ(context->decryptKey(AT_KEYEXCHANGE, std::string(257, '\x01')), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_BAD_DATA);
}

TEST_F(ProviderTest, KeyFilesThatCannotServe) {
    const auto other = pki.user("Other").withoutKey().inNoStore().install();
    struct Case {
        const char* name;
        std::function<void(const PkiCert&)> damage;
        uint32_t error;
    };
    const Case cases[] = {
        {"missing", [](const PkiCert& c) { std::filesystem::remove(c.keyFile); }, NTE_BAD_KEYSET},
        {"a folder", [](const PkiCert& c) {
             std::filesystem::remove(c.keyFile);
             std::filesystem::create_directory(c.keyFile);
         }, NTE_BAD_KEYSET},
        // Damaged: the file is there but holds no usable key.
        {"garbage", [](const PkiCert& c) { writeFile(c.keyFile, "this is not a key\n"); }, NTE_KEYSET_ENTRY_BAD},
        {"empty", [](const PkiCert& c) { writeFile(c.keyFile, ""); }, NTE_KEYSET_ENTRY_BAD},
        {"truncated", [](const PkiCert& c) {
             const std::string pem = c.keyPem();
             writeFile(c.keyFile, pem.substr(0, pem.size() / 2));
         }, NTE_KEYSET_ENTRY_BAD},
        {"Base64 damaged", [](const PkiCert& c) {
             std::string pem = c.keyPem();
             pem[pem.find('\n') + 40] = '*';
             writeFile(c.keyFile, pem);
         }, NTE_KEYSET_ENTRY_BAD},
        {"a certificate", [&](const PkiCert& c) { writeFile(c.keyFile, other.pem()); }, NTE_KEYSET_ENTRY_BAD},
        // Not RSA: nothing this provider type can sign with.
        {"EC key", [](const PkiCert& c) { writeFile(c.keyFile, ecKeyPem()); }, NTE_KEYSET_ENTRY_BAD},
        {"huge", [](const PkiCert& c) { writeFile(c.keyFile, c.keyPem() + std::string(2 << 20, '\n')); },
         NTE_KEYSET_ENTRY_BAD},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto user = pki.user("Damaged " + std::to_string(++n)).install();
        c.damage(user);
        auto context = acquire(user.container, 0);
        ASSERT_NE(context, nullptr);
        setLastError(0);
        EXPECT_EQ(signThroughHash(*context, "data"), std::nullopt);
        EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
    }
}

TEST_F(ProviderTest, PassPhraseIsAskedAtMostThreeTimes) {
    struct Case {
        const char* name;
        std::vector<std::string> answers;
        bool signs;
        uint32_t error;
    };
    const Case cases[] = {
        {"right at once", {"pin secret"}, true, 0},
        {"right at the third try", {"pin nope", "pin Secret", "pin secret"}, true, 0},
        {"cancelled", {"cancel"}, false, ERROR_CANCELLED},
        {"cancelled after a wrong one", {"pin nope", "cancel"}, false, ERROR_CANCELLED},
        {"three wrong", {"pin a", "pin b", "pin c"}, false, NTE_BAD_KEYSET},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto user = pki.user("Locked " + std::to_string(++n)).keyPassphrase("secret").install();
        home.ui().clearRequests();
        for (const auto& answer : c.answers) home.answer(answer);

        auto context = acquire(user.container, 0);
        ASSERT_NE(context, nullptr);
        // Looking for the key does not unlock it.
        EXPECT_TRUE(context->hasKey(AT_KEYEXCHANGE));
        EXPECT_TRUE(home.ui().requests().empty());

        setLastError(0);
        const auto signature = signThroughHash(*context, "data");
        EXPECT_EQ(signature.has_value(), c.signs);
        if (!c.signs) {
            EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
        }
        EXPECT_EQ(home.ui().pending(), 0u);
        const auto& requests = home.ui().requests();
        ASSERT_EQ(requests.size(), c.answers.size());
        for (const auto& request : requests) {
            EXPECT_EQ(request.kind, "pin");
            EXPECT_EQ(request.title, user.container);
            EXPECT_EQ(request.caption, "pass phrase");
            EXPECT_EQ(request.text, "");
        }
        if (c.signs) {
            EXPECT_TRUE(verifiesWith(user, sha1("data"), std::string(signature->rbegin(), signature->rend())));
            // Unlocked once per context.
            EXPECT_TRUE(signThroughHash(*context, "again"));
            EXPECT_EQ(home.ui().requests().size(), c.answers.size());
        }
    }
}

TEST_F(ProviderTest, SilentContextNeverAsks) {
    const auto locked = pki.user("Locked").keyPassphrase("secret").install();
    const auto plain = pki.user("Plain").install();
    auto silentLocked = ProviderContext::acquire(locked.container, MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_SILENT);
    ASSERT_NE(silentLocked, nullptr);
    EXPECT_EQ(signThroughHash(*silentLocked, "data"), std::nullopt);
    EXPECT_EQ(getLastError(), NTE_SILENT_CONTEXT);
    EXPECT_TRUE(home.ui().requests().empty());

    auto silentPlain = ProviderContext::acquire(plain.container, MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_SILENT);
    ASSERT_NE(silentPlain, nullptr);
    EXPECT_TRUE(signThroughHash(*silentPlain, "data"));
}

// --- The token message rule -----------------------------------------------

TEST_F(ProviderTest, TokenMessageHashesItsBodyElementOnly) {
    const std::string warning = element(0x10, "You are signing a transfer of 100.00");
    const std::string inner = element(0x21, "csp hash") + element(0x25, "0000") + element(0x22, "key hash");
    const std::string body = element(0x11, inner);
    const std::string bigBody = element(0x11, std::string(70000, 'b'));

    struct Case {
        const char* name;
        std::string data;
        std::string hashed;  // what the digest must be the SHA-1 of
    };
    const Case cases[] = {
        {"token message", warning + body, body},
        {"empty warning", element(0x10, "") + body, body},
        {"empty body", warning + element(0x11, ""), element(0x11, "")},
        {"large body", warning + bigBody, bigBody},
        // Anything else is hashed whole:
        {"plain text", "plain text to sign", "plain text to sign"},
        {"empty", "", ""},
        // nothing may follow the body element
        {"trailing byte", warning + body + "x", warning + body + "x"},
        {"two bodies", warning + body + body, warning + body + body},
        // the elements come in this order, with these tags
        {"body first", body + warning, body + warning},
        {"body tag 0x12", warning + element(0x12, inner), warning + element(0x12, inner)},
        {"warning only", warning, warning},
        {"body only", body, body},
        // the lengths must match the data exactly
        {"body shorter than said", warning + body.substr(0, body.size() - 1),
         warning + body.substr(0, body.size() - 1)},
        {"warning longer than the data", element(0x10, "w").replace(1, 4, std::string("\x7F\xFF\xFF\xFF", 4)) + body,
         element(0x10, "w").replace(1, 4, std::string("\x7F\xFF\xFF\xFF", 4)) + body},
        {"header cut short", std::string("\x10\x00\x00", 3), std::string("\x10\x00\x00", 3)},
    };

    auto context = acquire(std::nullopt, CRYPT_VERIFYCONTEXT);
    ASSERT_NE(context, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // In one piece, and in pieces of every size that splits headers.
        for (const size_t piece : {c.data.size() + 1, size_t{1}, size_t{3}, size_t{7}, size_t{4096}}) {
            SCOPED_TRACE(piece);
            auto hash = context->createHash(OID_SHA1);
            ASSERT_NE(hash, nullptr);
            for (size_t at = 0; at < c.data.size(); at += piece) {
                ASSERT_TRUE(hash->hashData(std::string_view(c.data).substr(at, piece)));
            }
            EXPECT_EQ(hex(hash->hashValue().value_or("")), hex(sha1(c.hashed)));
        }
    }
}

TEST_F(ProviderTest, TokenMessageSignatureVerifiesOverTheBody) {
    const auto user = pki.user("Test User").install();
    auto context = acquire(user.container, 0);
    ASSERT_NE(context, nullptr);
    const std::string body = element(0x11, element(0x21, "csp") + element(0x22, "key"));
    const auto signature = signThroughHash(*context, element(0x10, "warning") + body);
    ASSERT_TRUE(signature);
    // The software provider signs without asking (no answer is queued).
    EXPECT_TRUE(home.ui().requests().empty());
    EXPECT_TRUE(verifiesWith(user, sha1(body), std::string(signature->rbegin(), signature->rend())));
}

// --- Certificates and registered providers -----------------------------------

TEST_F(ProviderTest, CertificateKeyThroughItsProperty) {
    const auto user = pki.user("Test User").install();
    auto context = acquireCertificateKey(*user.cert);
    ASSERT_NE(context, nullptr) << std::hex << getLastError();
    EXPECT_EQ(context->containerName(), user.container);
    EXPECT_TRUE(context->hasKey(user.cert->keyProvInfo()->keySpec));

    const auto noKey = pki.user("No Key").withoutKey().install();
    EXPECT_EQ(acquireCertificateKey(*noKey.cert), nullptr);
    EXPECT_EQ(getLastError(), CRYPT_E_NO_KEY_PROPERTY);

    // The property names a container that has gone.
    std::filesystem::remove_all(keys / user.container);
    EXPECT_EQ(acquireCertificateKey(*user.cert), nullptr);
    EXPECT_EQ(getLastError(), NTE_BAD_KEYSET);
}

class RegisteredProviderTest : public ProviderTest {
protected:
    registry::Key registerProvider(std::string_view name) {
        registry::Key key;
        EXPECT_EQ(home.context().registry().createKey(registry::Root::LocalMachine,
                                                      "SOFTWARE\\Quillmark\\Providers\\" + std::string(name),
                                                      registry::KEY_ALL_ACCESS, key),
                  registry::ERROR_SUCCESS);
        return key;
    }
};

// Installs a factory for one test and puts the previous one back.
class FactoryScope {
public:
    explicit FactoryScope(TokenProviderFactory factory) : previous_(setTokenProviderFactory(std::move(factory))) {}
    ~FactoryScope() { setTokenProviderFactory(std::move(previous_)); }

private:
    TokenProviderFactory previous_;
};

TEST_F(RegisteredProviderTest, RegistryEntryBecomesAProviderThroughTheFactory) {
    auto token = registerProvider("Quillmark Token CSP");
    token.setString("Module", "/usr/lib/softhsm/libsofthsm2.so");
    token.setDword("Slot", 3);
    token.setString("Token", "Bank Token");
    registerProvider("Bare Token").setString("Module", "/opt/p11.so");
    auto textSlot = registerProvider("Text Slot");
    textSlot.setString("Module", "/opt/p11.so");
    textSlot.setString("Slot", "17");
    registerProvider("No Module").setString("Token", "x");
    auto badSlot = registerProvider("Bad Slot");
    badSlot.setString("Module", "/opt/p11.so");
    badSlot.setString("Slot", "one");

    EXPECT_EQ(findRegisteredProvider("quillmark token csp"),
              (RegisteredProvider{"quillmark token csp", "/usr/lib/softhsm/libsofthsm2.so", 3u, "Bank Token"}));
    EXPECT_EQ(findRegisteredProvider("Bare Token"), (RegisteredProvider{"Bare Token", "/opt/p11.so", {}, {}}));
    EXPECT_EQ(findRegisteredProvider("Text Slot"), (RegisteredProvider{"Text Slot", "/opt/p11.so", 17u, {}}));

    struct Case {
        const char* name;
        std::string_view provider;
        uint32_t error;
    };
    const Case withoutFactory[] = {
        // Registered, but nothing can reach its token.
        {"registered", "Quillmark Token CSP", NTE_KEYSET_NOT_DEF},
        {"not registered", "Nobody's CSP", NTE_PROV_TYPE_NOT_DEF},
        // An entry must name its module, and a slot is a number.
        {"no module", "No Module", NTE_PROV_TYPE_ENTRY_BAD},
        {"bad slot", "Bad Slot", NTE_PROV_TYPE_ENTRY_BAD},
    };
    {
        // A process starts with the PKCS #11 token provider; these cases are
        // about the registry entry alone.
        FactoryScope none(nullptr);
        for (const auto& c : withoutFactory) {
            SCOPED_TRACE(c.name);
            setLastError(0);
            EXPECT_EQ(ProviderContext::acquire("key label", c.provider, PROV_RSA_FULL, 0), nullptr);
            EXPECT_EQ(getLastError(), c.error) << std::hex << getLastError();
        }
    }

    std::vector<std::string> calls;
    FactoryScope scope([&](const RegisteredProvider& provider, const std::optional<std::string>& container,
                           uint32_t flags) -> std::unique_ptr<ProviderContext> {
        calls.push_back(provider.name + "|" + provider.module + "|" + container.value_or("<default>") + "|" +
                        std::to_string(flags));
        setLastError(NTE_KEYSET_NOT_DEF);  // as a token provider with its token absent
        return nullptr;
    });
    EXPECT_EQ(ProviderContext::acquire("key label", "Quillmark Token CSP", PROV_RSA_FULL, CRYPT_SILENT), nullptr);
    EXPECT_EQ(getLastError(), NTE_KEYSET_NOT_DEF);
    EXPECT_EQ(ProviderContext::acquire(std::nullopt, "Bare Token", PROV_RSA_FULL, 0), nullptr);
    // The built-in names never reach the factory.
    EXPECT_NE(ProviderContext::acquire(std::nullopt, MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT), nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"Quillmark Token CSP|/usr/lib/softhsm/libsofthsm2.so|key label|64",
                                               "Bare Token|/opt/p11.so|<default>|0"}));
}

}  // namespace
