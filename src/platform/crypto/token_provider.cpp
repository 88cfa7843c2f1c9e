#include "platform/crypto/token_provider.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include <algorithm>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "platform/context/context.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/crypto/pkcs11.h"
#include "platform/crypto/provider_support.h"

namespace crypto {
namespace {

using pkcs11::Failure;

// Wipes a secret when the scope ends, however it ends.
class Wiper {
public:
    explicit Wiper(std::string& secret) : secret_(secret) {}
    ~Wiper() {
        OPENSSL_cleanse(secret_.data(), secret_.size());
        secret_.clear();
    }
    Wiper(const Wiper&) = delete;
    Wiper& operator=(const Wiper&) = delete;

private:
    std::string& secret_;
};

// A module may use OpenSSL itself, in this very process (SoftHSM2 does),
// and leave its complaints in the thread's error queue. They are not ours
// to report, and must not turn up in a caller's reading of the queue.
class ModuleErrorsCleared {
public:
    ModuleErrorsCleared() = default;
    ~ModuleErrorsCleared() { ERR_clear_error(); }
    ModuleErrorsCleared(const ModuleErrorsCleared&) = delete;
    ModuleErrorsCleared& operator=(const ModuleErrorsCleared&) = delete;
};

// Runs one public service: a Failure becomes the last error, as does
// running out of memory, and the caller gets an empty answer (false,
// nullopt, nullptr). Nothing thrown below ever leaves the provider.
template <typename Result, typename Body>
Result guarded(Body body) {
    const ModuleErrorsCleared cleared;
    try {
        return body();
    } catch (const Failure& failure) {
        setLastError(failure.code());
    } catch (const std::bad_alloc&) {
        setLastError(NTE_NO_MEMORY);
    } catch (const std::exception&) {
        setLastError(NTE_FAIL);
    }
    return Result{};
}

std::string hexText(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        text += digits[static_cast<uint8_t>(c) >> 4];
        text += digits[static_cast<uint8_t>(c) & 0x0F];
    }
    return text;
}

// The bytes of an even number of hex digits (either case); nullopt for any
// other text.
std::optional<std::string> bytesFromHex(std::string_view text) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>((high << 4) | low);
    }
    return bytes;
}

// The DER DigestInfo that CKM_RSA_PKCS signs: the token pads, the caller
// says which digest it is.
std::string digestInfo(int digestNid, std::string_view digest) {
    const char* digestName = OBJ_nid2sn(digestNid);
    const UniquePtr<EVP_MD> md(digestName ? EVP_MD_fetch(libraryContext(), digestName, PROPERTY_QUERY) : nullptr);
    if (!md) {
        ERR_clear_error();
        throw Failure(NTE_BAD_ALGID);
    }
    if (digest.size() != static_cast<size_t>(EVP_MD_get_size(md.get()))) throw Failure(NTE_BAD_HASH);

    UniquePtr<X509_ALGOR> algorithm(X509_ALGOR_new());
    UniquePtr<ASN1_STRING> octets(ASN1_OCTET_STRING_new());
    if (!algorithm || !octets ||
        X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(digestNid), V_ASN1_NULL, nullptr) != 1 ||
        ASN1_OCTET_STRING_set(octets.get(), reinterpret_cast<const unsigned char*>(digest.data()),
                              static_cast<int>(digest.size())) != 1) {
        throw Failure(errorFromOpenSsl(NTE_FAIL));
    }
    const std::string algorithmDer = encodeDer(i2d_X509_ALGOR, algorithm.get());
    const std::string digestDer = encodeDer(i2d_ASN1_OCTET_STRING, octets.get());
    if (algorithmDer.empty() || digestDer.empty()) throw Failure(errorFromOpenSsl(NTE_FAIL));
    // The longest digest OpenSSL knows keeps this well under 128 bytes, so
    // the SEQUENCE's length is one byte.
    const size_t length = algorithmDer.size() + digestDer.size();
    if (length >= 0x80) throw Failure(NTE_BAD_ALGID);
    return std::string{0x30, static_cast<char>(length)} + algorithmDer + digestDer;
}

CK_ATTRIBUTE attributeOf(CK_ATTRIBUTE_TYPE type, const void* value, size_t size) {
    // Search templates are only read by the module.
    return CK_ATTRIBUTE{type, const_cast<void*>(value), static_cast<CK_ULONG>(size)};
}

// How a key's objects are found on the token: by one attribute, its label
// or its id.
struct KeyName {
    CK_ATTRIBUTE_TYPE type = CKA_LABEL;
    std::string value;
};

std::optional<CK_OBJECT_HANDLE> findKeyObject(pkcs11::Session& session, CK_OBJECT_CLASS objectClass,
                                              const KeyName& name) {
    return session.findObject({attributeOf(CKA_CLASS, &objectClass, sizeof objectClass),
                               attributeOf(name.type, name.value.data(), name.value.size())});
}

// Whether the key is on the token, as far as the token shows it without a
// login: a token that keeps private keys private still shows the public
// key or the certificate that goes with one.
bool keyVisible(pkcs11::Session& session, const KeyName& name) {
    for (const CK_OBJECT_CLASS objectClass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) {
        if (findKeyObject(session, objectClass, name)) return true;
    }
    return false;
}

// A container name as a key on the token: its label, else its id in hex.
std::optional<KeyName> resolveContainer(pkcs11::Session& session, const std::string& container) {
    KeyName byLabel{CKA_LABEL, container};
    if (keyVisible(session, byLabel)) return byLabel;
    if (auto id = bytesFromHex(container)) {
        KeyName byId{CKA_ID, std::move(*id)};
        if (keyVisible(session, byId)) return byId;
    }
    return std::nullopt;
}

struct DefaultKey {
    std::string container;
    KeyName name;
};

// The default container: the first private key the token shows, else the
// first public key (certificates alone are no key: cards carry their CA's).
std::optional<DefaultKey> defaultKey(pkcs11::Session& session) {
    for (CK_OBJECT_CLASS objectClass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        const auto object = session.findObject({attributeOf(CKA_CLASS, &objectClass, sizeof objectClass)});
        if (!object) continue;
        if (auto label = session.attribute(*object, CKA_LABEL); label && !label->empty()) {
            return DefaultKey{*label, KeyName{CKA_LABEL, *label}};
        }
        if (auto id = session.attribute(*object, CKA_ID); id && !id->empty()) {
            return DefaultKey{hexText(*id), KeyName{CKA_ID, *id}};
        }
    }
    return std::nullopt;
}

struct TokenSlot {
    CK_SLOT_ID slot = 0;
    std::string label;
};

TokenSlot findToken(const pkcs11::Module& module, const RegisteredProvider& provider) {
    auto wanted = [&](const CK_TOKEN_INFO& info) {
        if (provider.token) return pkcs11::fieldText(info.label, sizeof info.label) == *provider.token;
        // A token nobody has set up holds no keys (SoftHSM2 always offers
        // one, in its free slot).
        return (info.flags & CKF_TOKEN_INITIALIZED) != 0;
    };
    if (provider.slot) {
        const auto info = module.tokenInfo(*provider.slot);
        if (!info || !wanted(*info)) throw Failure(NTE_KEYSET_NOT_DEF);
        return TokenSlot{*provider.slot, pkcs11::fieldText(info->label, sizeof info->label)};
    }
    for (const CK_SLOT_ID slot : module.slotsWithToken()) {
        const auto info = module.tokenInfo(slot);
        if (info && wanted(*info)) return TokenSlot{slot, pkcs11::fieldText(info->label, sizeof info->label)};
    }
    throw Failure(NTE_KEYSET_NOT_DEF);
}

// One key container on one token, shared by a context and the hash objects
// made on it (which keep the module loaded as long as they live).
class Token {
public:
    Token(std::shared_ptr<pkcs11::Module> module, TokenSlot where, std::string providerName, std::string container,
          std::optional<KeyName> key, bool silent)
        : module_(std::move(module)),
          where_(std::move(where)),
          providerName_(std::move(providerName)),
          container_(std::move(container)),
          key_(std::move(key)),
          silent_(silent) {}

    const std::string& providerName() const { return providerName_; }
    const std::string& container() const { return container_; }

    bool hasKey() {
        if (!key_) throw Failure(NTE_BAD_KEYSET);
        pkcs11::Session session(module_, where_.slot);
        if (!keyVisible(session, *key_)) throw Failure(NTE_BAD_KEYSET);
        return true;
    }

    // The CKM_RSA_PKCS signature of a DigestInfo, most significant byte
    // first.
    std::string sign(std::string_view info, const std::string& warning) {
        return useKey(warning, [&](pkcs11::Session& session, CK_OBJECT_HANDLE key, std::string_view pin) {
            const pkcs11::Module& module = session.module();
            // Keys that want the PIN for every single signature (qualified
            // signature keys on smart cards) get it once more, as the
            // standard says: right after the operation starts.
            const bool alwaysAuthenticate = session.booleanAttribute(key, CKA_ALWAYS_AUTHENTICATE);
            CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
            pkcs11::check(module.call(&CK_FUNCTION_LIST::C_SignInit, session.handle(), &mechanism, key));
            if (alwaysAuthenticate) session.login(CKU_CONTEXT_SPECIFIC, pin);
            auto* in = const_cast<CK_BYTE*>(reinterpret_cast<const CK_BYTE*>(info.data()));
            const auto inLength = static_cast<CK_ULONG>(info.size());
            CK_ULONG length = 0;
            pkcs11::check(module.call(&CK_FUNCTION_LIST::C_Sign, session.handle(), in, inLength, nullptr, &length));
            std::string signature(length, '\0');
            pkcs11::check(module.call(&CK_FUNCTION_LIST::C_Sign, session.handle(), in, inLength,
                                      reinterpret_cast<CK_BYTE*>(signature.data()), &length));
            signature.resize(std::min<size_t>(length, signature.size()));
            return signature;
        });
    }

    // CKM_RSA_PKCS decryption; the bytes are wiped again when it fails.
    std::string decrypt(std::string_view encrypted) {
        return useKey({}, [&](pkcs11::Session& session, CK_OBJECT_HANDLE key, std::string_view pin) {
            const pkcs11::Module& module = session.module();
            const bool alwaysAuthenticate = session.booleanAttribute(key, CKA_ALWAYS_AUTHENTICATE);
            CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
            pkcs11::check(module.call(&CK_FUNCTION_LIST::C_DecryptInit, session.handle(), &mechanism, key));
            if (alwaysAuthenticate) session.login(CKU_CONTEXT_SPECIFIC, pin);
            // Modules tend to answer a padding that does not check as a
            // plain failure (SoftHSM2: CKR_GENERAL_ERROR) rather than as
            // CKR_ENCRYPTED_DATA_INVALID. Here, with the key found and the
            // operation started, either means the bytes were not encrypted
            // to this key.
            auto checkDecryption = [](CK_RV rv) {
                if (rv == CKR_GENERAL_ERROR || rv == CKR_FUNCTION_FAILED) throw Failure(NTE_BAD_DATA);
                pkcs11::check(rv);
            };
            auto* in = const_cast<CK_BYTE*>(reinterpret_cast<const CK_BYTE*>(encrypted.data()));
            const auto inLength = static_cast<CK_ULONG>(encrypted.size());
            CK_ULONG length = 0;
            checkDecryption(module.call(&CK_FUNCTION_LIST::C_Decrypt, session.handle(), in, inLength, nullptr, &length));
            std::string plain(length, '\0');
            const CK_RV rv = module.call(&CK_FUNCTION_LIST::C_Decrypt, session.handle(), in, inLength,
                                         reinterpret_cast<CK_BYTE*>(plain.data()), &length);
            if (rv != CKR_OK) {
                OPENSSL_cleanse(plain.data(), plain.size());
                checkDecryption(rv);
            }
            plain.resize(std::min<size_t>(length, plain.size()));
            return plain;
        });
    }

private:
    // Asks for the PIN, logs in, finds the private key and hands it to
    // `use`; logs out and wipes the PIN however that ends. The prompt comes
    // before the token is locked for us: the user may take a while.
    template <typename Use>
    std::string useKey(const std::string& warning, Use use) {
        if (!key_) throw Failure(NTE_BAD_KEYSET);
        if (silent_) throw Failure(NTE_SILENT_CONTEXT);
        ui::SecretAnswer answer =
            platform::context().ui().askSecret(ui::SecretRequest{where_.label, ui::SecretKind::Pin, warning});
        Wiper wipePin(answer.secret);
        if (!answer.ok) throw Failure(SCARD_W_CANCELLED_BY_USER);

        std::lock_guard lock(module_->loginMutex());
        pkcs11::Session session(module_, where_.slot);
        session.login(CKU_USER, answer.secret);
        const auto key = findKeyObject(session, CKO_PRIVATE_KEY, *key_);
        if (!key) throw Failure(NTE_BAD_KEYSET);
        return use(session, *key, std::string_view(answer.secret));
    }

    std::shared_ptr<pkcs11::Module> module_;
    TokenSlot where_;
    std::string providerName_;
    std::string container_;
    std::optional<KeyName> key_;  // nullopt: a context without a container
    bool silent_;
};

void checkKeySpec(uint32_t keySpec) {
    if (!provider_support::isKeySpec(keySpec)) throw Failure(NTE_BAD_KEY);
}

class TokenHash : public provider_support::Sha1HashObject {
public:
    explicit TokenHash(std::shared_ptr<Token> token) : token_(std::move(token)) {}

    // A PKCS #1 v1.5 signature never changes for the same digest and key,
    // so a second call (a caller asking for the size first, then the
    // signature) answers the first one's signature rather than asking for
    // the PIN again.
    std::optional<std::string> signHash(uint32_t keySpec) override {
        CallScope scope;
        return guarded<std::optional<std::string>>([&]() -> std::optional<std::string> {
            checkKeySpec(keySpec);
            if (signature_) return signature_;
            const auto digest = hashValue();
            if (!digest) return std::nullopt;
            std::string signature = token_->sign(digestInfo(NID_sha1, *digest), warning());
            std::reverse(signature.begin(), signature.end());
            signature_ = std::move(signature);
            return signature_;
        });
    }

private:
    std::shared_ptr<Token> token_;
    std::optional<std::string> signature_;
};

class TokenContext : public ProviderContext {
public:
    explicit TokenContext(std::shared_ptr<Token> token) : token_(std::move(token)) {}

    std::string providerName() const override { return token_->providerName(); }
    std::string containerName() const override { return token_->container(); }

    std::unique_ptr<HashObject> createHash(std::string_view algorithmOid) override {
        CallScope scope;
        return guarded<std::unique_ptr<HashObject>>([&]() -> std::unique_ptr<HashObject> {
            if (algorithmOid != OID_SHA1) throw Failure(NTE_BAD_ALGID);
            return std::make_unique<TokenHash>(token_);
        });
    }

    bool hasKey(uint32_t keySpec) override {
        CallScope scope;
        return guarded<bool>([&] {
            checkKeySpec(keySpec);
            return token_->hasKey();
        });
    }

    std::optional<std::string> signDigest(uint32_t keySpec, int digestNid, std::string_view digest) override {
        CallScope scope;
        return guarded<std::optional<std::string>>([&]() -> std::optional<std::string> {
            checkKeySpec(keySpec);
            return token_->sign(digestInfo(digestNid, digest), {});
        });
    }

    std::optional<std::string> decryptKey(uint32_t keySpec, std::string_view encryptedKey) override {
        CallScope scope;
        return guarded<std::optional<std::string>>([&]() -> std::optional<std::string> {
            checkKeySpec(keySpec);
            return token_->decrypt(encryptedKey);
        });
    }

private:
    std::shared_ptr<Token> token_;
};

}  // namespace

std::unique_ptr<ProviderContext> openTokenProvider(const RegisteredProvider& provider,
                                                   const std::optional<std::string>& container, uint32_t flags) {
    CallScope scope;
    return guarded<std::unique_ptr<ProviderContext>>([&]() -> std::unique_ptr<ProviderContext> {
        // No label or id is empty.
        if (container && container->empty()) throw Failure(NTE_BAD_KEYSET_PARAM);
        auto module = pkcs11::Module::open(provider.module);
        TokenSlot where = findToken(*module, provider);
        const bool silent = (flags & CRYPT_SILENT) != 0;
        if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
            return std::make_unique<TokenContext>(std::make_shared<Token>(std::move(module), std::move(where),
                                                                          provider.name, std::string(), std::nullopt,
                                                                          silent));
        }

        std::string name;
        std::optional<KeyName> key;
        {
            pkcs11::Session session(module, where.slot);
            if (container) {
                name = *container;
                key = resolveContainer(session, name);
            } else if (auto found = defaultKey(session)) {
                name = std::move(found->container);
                key = std::move(found->name);
            }
        }
        if ((flags & CRYPT_NEWKEYSET) != 0) throw Failure(key ? NTE_EXISTS : NTE_PERM);
        if (!key) throw Failure(NTE_BAD_KEYSET);
        return std::make_unique<TokenContext>(std::make_shared<Token>(std::move(module), std::move(where),
                                                                      provider.name, std::move(name), std::move(key),
                                                                      silent));
    });
}

}  // namespace crypto
