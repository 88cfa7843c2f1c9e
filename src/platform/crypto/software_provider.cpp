// The built-in software provider: key containers are folders under
// `<home>/keys/`, keys PKCS #8 PEM files in them (exchange.pem for
// AT_KEYEXCHANGE, signature.pem for AT_SIGNATURE), unencrypted or protected
// by a pass phrase that is asked for through the user interface.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <new>

#include "platform/context/context.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/provider_support.h"
#include "platform/files/files.h"

namespace crypto::provider_support {
namespace {

// Far more than any RSA key in PEM; a bigger file is not a key.
constexpr uintmax_t MAX_KEY_FILE = 1024 * 1024;
constexpr int PASS_PHRASE_TRIES = 3;

void wipe(std::string& secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

// Wipes a secret when the scope ends, however it ends.
class Wiper {
public:
    explicit Wiper(std::string& secret) : secret_(secret) {}
    ~Wiper() { wipe(secret_); }
    Wiper(const Wiper&) = delete;
    Wiper& operator=(const Wiper&) = delete;

private:
    std::string& secret_;
};

const char* keyFileName(uint32_t keySpec) { return keySpec == AT_SIGNATURE ? "signature.pem" : "exchange.pem"; }

// Whatever part of OpenSSL complains while a key is read or used (an
// ASN.1 decoder, for a key file that does not decode), the fault is the
// key's: `fallback`. Only running out of memory is something else.
uint32_t keyError(uint32_t fallback) {
    const uint32_t error = errorFromOpenSsl(fallback);
    return error == NTE_NO_MEMORY ? error : fallback;
}

uint32_t errorFromErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return E_ACCESSDENIED;
    case ENOMEM:
        return NTE_NO_MEMORY;
    default:
        return NTE_FAIL;
    }
}

// The pass phrase for one decoding attempt. OpenSSL asks for it only when
// the key is encrypted, which is how an encrypted key is recognised.
struct PassPhrase {
    const std::string* value = nullptr;
    bool asked = false;
};

int passPhraseCallback(char* buffer, int size, int /*writing*/, void* user) {
    auto* passPhrase = static_cast<PassPhrase*>(user);
    passPhrase->asked = true;
    if (passPhrase->value == nullptr || size < 0 || passPhrase->value->size() > static_cast<size_t>(size)) return -1;
    std::memcpy(buffer, passPhrase->value->data(), passPhrase->value->size());
    return static_cast<int>(passPhrase->value->size());
}

UniquePtr<EVP_PKEY> decodeKey(const std::string& pem, PassPhrase& passPhrase) {
    UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    return UniquePtr<EVP_PKEY>(
        PEM_read_bio_PrivateKey_ex(bio.get(), nullptr, passPhraseCallback, &passPhrase, libraryContext(), PROPERTY_QUERY));
}

UniquePtr<EVP_PKEY_CTX> rsaContext(EVP_PKEY* key) {
    return UniquePtr<EVP_PKEY_CTX>(EVP_PKEY_CTX_new_from_pkey(libraryContext(), key, PROPERTY_QUERY));
}

// A key container, shared by a context and the hash objects made on it.
// An empty folder stands for a context without a container.
class Container {
public:
    Container(std::string providerName, std::string name, std::filesystem::path folder, bool silent)
        : providerName_(std::move(providerName)), name_(std::move(name)), folder_(std::move(folder)), silent_(silent) {}

    const std::string& providerName() const { return providerName_; }
    const std::string& name() const { return name_; }

    bool hasKey(uint32_t keySpec) {
        if (!isKeySpec(keySpec)) {
            setLastError(NTE_BAD_KEY);
            return false;
        }
        if (keys_[keySpec - 1]) return true;
        std::error_code error;
        const auto file = keyFile(keySpec);
        if (file.empty() || !std::filesystem::is_regular_file(file, error) || ::access(file.c_str(), R_OK) != 0) {
            setLastError(NTE_BAD_KEYSET);
            return false;
        }
        return true;
    }

    std::optional<std::string> signDigest(uint32_t keySpec, int digestNid, std::string_view digest) {
        EVP_PKEY* key = this->key(keySpec);
        if (key == nullptr) return std::nullopt;
        const char* digestName = OBJ_nid2sn(digestNid);
        UniquePtr<EVP_MD> md(digestName ? EVP_MD_fetch(libraryContext(), digestName, PROPERTY_QUERY) : nullptr);
        if (!md) {
            ERR_clear_error();
            setLastError(NTE_BAD_ALGID);
            return std::nullopt;
        }
        if (digest.size() != static_cast<size_t>(EVP_MD_get_size(md.get()))) {
            setLastError(NTE_BAD_HASH);
            return std::nullopt;
        }
        auto context = rsaContext(key);
        size_t length = 0;
        const auto* in = reinterpret_cast<const unsigned char*>(digest.data());
        if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(context.get(), md.get()) != 1 ||
            EVP_PKEY_sign(context.get(), nullptr, &length, in, digest.size()) != 1) {
            setLastError(keyError(NTE_BAD_KEY));
            return std::nullopt;
        }
        std::string signature(length, '\0');
        if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, in,
                          digest.size()) != 1) {
            setLastError(keyError(NTE_BAD_KEY));
            return std::nullopt;
        }
        signature.resize(length);
        return signature;
    }

    std::optional<std::string> decryptKey(uint32_t keySpec, std::string_view encrypted) {
        EVP_PKEY* key = this->key(keySpec);
        if (key == nullptr) return std::nullopt;
        auto context = rsaContext(key);
        if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
            setLastError(keyError(NTE_BAD_KEY));
            return std::nullopt;
        }
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
        // A wrong key must fail here rather than hand back random bytes that
        // would decrypt the content into noise and report success.
        unsigned int implicitRejection = 0;
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &implicitRejection),
            OSSL_PARAM_construct_end()};
        EVP_PKEY_CTX_set_params(context.get(), params);
#endif
        const auto* in = reinterpret_cast<const unsigned char*>(encrypted.data());
        size_t length = 0;
        if (EVP_PKEY_decrypt(context.get(), nullptr, &length, in, encrypted.size()) != 1) {
            setLastError(keyError(NTE_BAD_DATA));
            return std::nullopt;
        }
        std::string plain(length, '\0');
        if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &length, in,
                             encrypted.size()) != 1) {
            wipe(plain);
            setLastError(keyError(NTE_BAD_DATA));
            return std::nullopt;
        }
        plain.resize(length);
        return plain;
    }

private:
    std::filesystem::path keyFile(uint32_t keySpec) const {
        return folder_.empty() ? std::filesystem::path() : folder_ / keyFileName(keySpec);
    }

    // The key of `keySpec`, read (and unlocked) on first use and kept for
    // the life of the container object; nullptr with the last error set.
    EVP_PKEY* key(uint32_t keySpec) {
        if (!isKeySpec(keySpec)) {
            setLastError(NTE_BAD_KEY);
            return nullptr;
        }
        auto& slot = keys_[keySpec - 1];
        if (!slot) slot = load(keySpec);
        return slot.get();
    }

    UniquePtr<EVP_PKEY> load(uint32_t keySpec) {
        const auto file = keyFile(keySpec);
        std::error_code error;
        if (file.empty() || !std::filesystem::is_regular_file(file, error)) {
            setLastError(NTE_BAD_KEYSET);
            return nullptr;
        }
        const uintmax_t size = std::filesystem::file_size(file, error);
        if (error) {
            setLastError(NTE_BAD_KEYSET);
            return nullptr;
        }
        if (size > MAX_KEY_FILE) {
            setLastError(NTE_KEYSET_ENTRY_BAD);
            return nullptr;
        }
        std::string pem;
        Wiper wipePem(pem);
        if (files::readWholeFile(file, pem) != files::ReadResult::Ok) {
            setLastError(NTE_BAD_KEYSET);
            return nullptr;
        }
        if (pem.size() > MAX_KEY_FILE) {  // grew since it was measured
            setLastError(NTE_KEYSET_ENTRY_BAD);
            return nullptr;
        }

        PassPhrase none;
        auto key = decodeKey(pem, none);
        if (!key && none.asked) {
            ERR_clear_error();
            key = unlock(pem);
            if (!key) return nullptr;
        } else if (!key) {
            setLastError(keyError(NTE_KEYSET_ENTRY_BAD));
            return nullptr;
        }
        // The provider type is RSA: anything else in the container is
        // nothing this provider can use.
        if (!EVP_PKEY_is_a(key.get(), "RSA")) {
            setLastError(NTE_KEYSET_ENTRY_BAD);
            return nullptr;
        }
        return key;
    }

    // Asks for the pass phrase of an encrypted key, up to three times.
    UniquePtr<EVP_PKEY> unlock(const std::string& pem) {
        if (silent_) {
            setLastError(NTE_SILENT_CONTEXT);
            return nullptr;
        }
        for (int attempt = 0; attempt < PASS_PHRASE_TRIES; ++attempt) {
            ui::SecretAnswer answer = platform::context().ui().askSecret({name_, ui::SecretKind::PassPhrase, {}});
            Wiper wipeAnswer(answer.secret);
            if (!answer.ok) {
                setLastError(ERROR_CANCELLED);
                return nullptr;
            }
            PassPhrase given{&answer.secret, false};
            if (auto key = decodeKey(pem, given)) return key;
            // A wrong pass phrase and an encrypted key that is damaged look
            // the same from here; either way the next try starts clean.
            ERR_clear_error();
        }
        setLastError(NTE_BAD_KEYSET);
        return nullptr;
    }

    std::string providerName_;
    std::string name_;
    std::filesystem::path folder_;
    bool silent_;
    UniquePtr<EVP_PKEY> keys_[2];
};

class SoftwareHash : public Sha1HashObject {
public:
    explicit SoftwareHash(std::shared_ptr<Container> container) : container_(std::move(container)) {}

    std::optional<std::string> signHash(uint32_t keySpec) override {
        CallScope scope;
        try {
            const auto digest = hashValue();
            if (!digest) return std::nullopt;
            auto signature = container_->signDigest(keySpec, NID_sha1, *digest);
            if (signature) std::reverse(signature->begin(), signature->end());
            return signature;
        } catch (const std::bad_alloc&) {
            setLastError(NTE_NO_MEMORY);
            return std::nullopt;
        }
    }

private:
    std::shared_ptr<Container> container_;
};

class SoftwareProviderContext : public ProviderContext {
public:
    explicit SoftwareProviderContext(std::shared_ptr<Container> container) : container_(std::move(container)) {}

    std::string providerName() const override { return container_->providerName(); }
    std::string containerName() const override { return container_->name(); }

    std::unique_ptr<HashObject> createHash(std::string_view algorithmOid) override {
        CallScope scope;
        if (algorithmOid != OID_SHA1) {
            setLastError(NTE_BAD_ALGID);
            return nullptr;
        }
        return std::make_unique<SoftwareHash>(container_);
    }

    bool hasKey(uint32_t keySpec) override {
        CallScope scope;
        return container_->hasKey(keySpec);
    }

    std::optional<std::string> signDigest(uint32_t keySpec, int digestNid, std::string_view digest) override {
        CallScope scope;
        try {
            return container_->signDigest(keySpec, digestNid, digest);
        } catch (const std::bad_alloc&) {
            setLastError(NTE_NO_MEMORY);
            return std::nullopt;
        }
    }

    std::optional<std::string> decryptKey(uint32_t keySpec, std::string_view encryptedKey) override {
        CallScope scope;
        try {
            return container_->decryptKey(keySpec, encryptedKey);
        } catch (const std::bad_alloc&) {
            setLastError(NTE_NO_MEMORY);
            return std::nullopt;
        }
    }

private:
    std::shared_ptr<Container> container_;
};

}  // namespace

std::unique_ptr<ProviderContext> openSoftwareProvider(std::string providerName,
                                                      const std::optional<std::string>& container, uint32_t flags) {
    const bool silent = (flags & CRYPT_SILENT) != 0;
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
        return std::make_unique<SoftwareProviderContext>(
            std::make_shared<Container>(std::move(providerName), std::string(), std::filesystem::path(), silent));
    }

    std::string name = container ? *container : defaultContainerName();
    if (!isContainerName(name)) {
        setLastError(NTE_BAD_KEYSET_PARAM);
        return nullptr;
    }
    const std::filesystem::path keys = platform::context().home() / "keys";
    std::filesystem::path folder = keys / name;

    if ((flags & CRYPT_NEWKEYSET) != 0) {
        // Private keys live here: the folders are the owner's alone.
        if (::mkdir(keys.c_str(), 0700) != 0 && errno != EEXIST) {
            setLastError(errorFromErrno(errno));
            return nullptr;
        }
        // mkdir decides atomically whether the container is new, also
        // against another process creating it at the same moment. Whatever
        // stands there already, folder or not, means "exists".
        if (::mkdir(folder.c_str(), 0700) != 0) {
            setLastError(errno == EEXIST ? NTE_EXISTS : errorFromErrno(errno));
            return nullptr;
        }
    } else {
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error) || ::access(folder.c_str(), R_OK | X_OK) != 0) {
            setLastError(NTE_BAD_KEYSET);
            return nullptr;
        }
    }
    return std::make_unique<SoftwareProviderContext>(
        std::make_shared<Container>(std::move(providerName), std::move(name), std::move(folder), silent));
}

}  // namespace crypto::provider_support
