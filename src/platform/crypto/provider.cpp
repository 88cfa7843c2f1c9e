#include "platform/crypto/provider.h"

#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <mutex>
#include <new>
#include <vector>

#include "platform/context/context.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/provider_support.h"
#include "platform/crypto/token_provider.h"

namespace crypto {
namespace {

constexpr std::string_view PROVIDERS_KEY = "SOFTWARE\\Quillmark\\Providers\\";
constexpr size_t MAX_CONTAINER_NAME = 255;  // one file name component

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The built-in name `providerName` stands for, in its own spelling;
// nullopt for a name the software provider does not answer to. Provider
// names compare as registry key names do, without regard to ASCII case.
std::optional<std::string_view> builtInName(std::string_view providerName) {
    if (providerName.empty()) return MS_ENHANCED_PROV;
    for (const std::string_view name : {MS_ENHANCED_PROV, MS_DEF_PROV}) {
        if (equalsIgnoringAsciiCase(providerName, name)) return name;
    }
    return std::nullopt;
}

bool validFlags(uint32_t flags, const std::optional<std::string>& container) {
    constexpr uint32_t known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_SILENT;
    if ((flags & ~known) != 0) return false;
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
        return (flags & CRYPT_NEWKEYSET) == 0 && !container;
    }
    // Part of the verify-context bits is no flag we know either.
    return (flags & CRYPT_VERIFYCONTEXT) == 0;
}

std::mutex& factoryMutex() {
    static std::mutex mutex;
    return mutex;
}

TokenProviderFactory& installedFactory() {
    static TokenProviderFactory factory = openTokenProvider;
    return factory;
}

uint32_t readBigEndian32(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

constexpr char WARNING_TAG = 0x10;
constexpr char BODY_TAG = 0x11;
constexpr size_t ELEMENT_HEADER = 5;

// True while `data` could still grow into a token message.
bool mayBecomeTokenMessage(std::string_view data) {
    if (data.empty()) return true;
    if (data[0] != WARNING_TAG) return false;
    if (data.size() < ELEMENT_HEADER) return true;
    const uint64_t body = ELEMENT_HEADER + uint64_t{readBigEndian32(data, 1)};
    if (data.size() <= body) return true;
    if (data[body] != BODY_TAG) return false;
    if (data.size() < body + ELEMENT_HEADER) return true;
    const uint64_t end = body + ELEMENT_HEADER + readBigEndian32(data, static_cast<size_t>(body) + 1);
    return data.size() <= end;
}

UniquePtr<EVP_MD> fetchSha1() { return UniquePtr<EVP_MD>(EVP_MD_fetch(libraryContext(), "SHA1", PROPERTY_QUERY)); }

}  // namespace

// ---------------------------------------------------------------------------
// The token message rule

namespace provider_support {

std::optional<TokenMessage> splitTokenMessage(std::string_view data) {
    if (data.size() < 2 * ELEMENT_HEADER || data[0] != WARNING_TAG) return std::nullopt;
    const uint64_t body = ELEMENT_HEADER + uint64_t{readBigEndian32(data, 1)};
    if (body + ELEMENT_HEADER > data.size() || data[body] != BODY_TAG) return std::nullopt;
    const uint64_t end = body + ELEMENT_HEADER + readBigEndian32(data, static_cast<size_t>(body) + 1);
    if (end != data.size()) return std::nullopt;
    return TokenMessage{data.substr(ELEMENT_HEADER, static_cast<size_t>(body) - ELEMENT_HEADER),
                        data.substr(static_cast<size_t>(body))};
}

Sha1HashObject::Sha1HashObject() = default;

Sha1HashObject::~Sha1HashObject() {
    OPENSSL_cleanse(pending_.data(), pending_.size());
    OPENSSL_cleanse(warning_.data(), warning_.size());
}

bool Sha1HashObject::startStreaming() {
    const auto md = fetchSha1();
    stream_.reset(EVP_MD_CTX_new());
    if (!md || !stream_ || EVP_DigestInit_ex2(stream_.get(), md.get(), nullptr) != 1 ||
        EVP_DigestUpdate(stream_.get(), pending_.data(), pending_.size()) != 1) {
        stream_.reset();
        return false;
    }
    OPENSSL_cleanse(pending_.data(), pending_.size());
    pending_.clear();
    pending_.shrink_to_fit();
    return true;
}

bool Sha1HashObject::hashData(std::string_view data) {
    CallScope scope;
    if (digest_) {
        setLastError(NTE_BAD_HASH_STATE);
        return false;
    }
    try {
        if (stream_) {
            if (EVP_DigestUpdate(stream_.get(), data.data(), data.size()) != 1) {
                setLastError(errorFromOpenSsl(NTE_FAIL));
                return false;
            }
            return true;
        }
        pending_.append(data);
        if (!mayBecomeTokenMessage(pending_) && !startStreaming()) {
            setLastError(errorFromOpenSsl(NTE_FAIL));
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        setLastError(NTE_NO_MEMORY);
        return false;
    }
}

std::optional<std::string> Sha1HashObject::hashValue() {
    CallScope scope;
    if (digest_) return digest_;
    std::string digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (stream_) {
        if (EVP_DigestFinal_ex(stream_.get(), reinterpret_cast<unsigned char*>(digest.data()), &length) != 1) {
            setLastError(errorFromOpenSsl(NTE_FAIL));
            return std::nullopt;
        }
        stream_.reset();
    } else {
        std::string_view hashed = pending_;
        if (const auto message = splitTokenMessage(pending_)) {
            warning_.assign(message->warning);
            hashed = message->signedPart;
        }
        const auto md = fetchSha1();
        if (!md || EVP_Digest(hashed.data(), hashed.size(), reinterpret_cast<unsigned char*>(digest.data()), &length,
                              md.get(), nullptr) != 1) {
            setLastError(errorFromOpenSsl(NTE_FAIL));
            return std::nullopt;
        }
        OPENSSL_cleanse(pending_.data(), pending_.size());
        pending_.clear();
        pending_.shrink_to_fit();
    }
    digest.resize(length);
    digest_ = std::move(digest);
    return digest_;
}

bool isKeySpec(uint32_t keySpec) { return keySpec == AT_KEYEXCHANGE || keySpec == AT_SIGNATURE; }

bool isContainerName(std::string_view name) {
    return !name.empty() && name.size() <= MAX_CONTAINER_NAME && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

}  // namespace provider_support

// ---------------------------------------------------------------------------
// Providers

std::string defaultContainerName() {
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(bufferSize > 0 ? static_cast<size_t>(bufferSize) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && provider_support::isContainerName(found->pw_name)) {
        return found->pw_name;
    }
    return "user";
}

std::optional<RegisteredProvider> findRegisteredProvider(std::string_view providerName) {
    CallScope scope;
    // A name that would be a path of keys, or no key name at all, is no
    // provider's name.
    if (providerName.empty() || providerName.find_first_of(std::string_view("\\\0\r\n", 4)) != std::string_view::npos) {
        setLastError(NTE_PROV_TYPE_NOT_DEF);
        return std::nullopt;
    }
    registry::Key key;
    if (platform::context().registry().openKey(registry::Root::LocalMachine,
                                               std::string(PROVIDERS_KEY) + std::string(providerName),
                                               registry::KEY_READ, key) != registry::ERROR_SUCCESS) {
        setLastError(NTE_PROV_TYPE_NOT_DEF);
        return std::nullopt;
    }

    RegisteredProvider provider;
    provider.name = std::string(providerName);
    auto malformed = [] {
        setLastError(NTE_PROV_TYPE_ENTRY_BAD);
        return std::nullopt;
    };
    if (key.queryString("Module", provider.module) != registry::ERROR_SUCCESS || provider.module.empty()) {
        return malformed();
    }

    registry::Value slot;
    if (key.queryValue("Slot", slot) == registry::ERROR_SUCCESS) {
        if (slot.type == registry::REG_DWORD && slot.data.size() == 4) {
            uint32_t id = 0;
            for (size_t i = 4; i-- > 0;) id = (id << 8) | static_cast<uint8_t>(slot.data[i]);
            provider.slot = id;
        } else if (slot.type == registry::REG_SZ && !slot.data.empty()) {
            uint32_t id = 0;
            const char* end = slot.data.data() + slot.data.size();
            const auto [stop, error] = std::from_chars(slot.data.data(), end, id);
            if (error != std::errc() || stop != end) return malformed();
            provider.slot = id;
        } else {
            return malformed();
        }
    }

    std::string token;
    const registry::LSTATUS tokenStatus = key.queryString("Token", token);
    if (tokenStatus == registry::ERROR_SUCCESS) {
        if (!token.empty()) provider.token = std::move(token);
    } else if (tokenStatus != registry::ERROR_FILE_NOT_FOUND) {
        return malformed();
    }
    return provider;
}

TokenProviderFactory setTokenProviderFactory(TokenProviderFactory factory) {
    std::lock_guard lock(factoryMutex());
    std::swap(installedFactory(), factory);
    return factory;
}

std::unique_ptr<ProviderContext> ProviderContext::acquire(const std::optional<std::string>& container,
                                                          std::string_view providerName, uint32_t providerType,
                                                          uint32_t flags) {
    CallScope scope;
    try {
        if (providerType != PROV_RSA_FULL) {
            setLastError(NTE_BAD_PROV_TYPE);
            return nullptr;
        }
        if (!validFlags(flags, container)) {
            setLastError(NTE_BAD_FLAGS);
            return nullptr;
        }
        if (const auto name = builtInName(providerName)) {
            return provider_support::openSoftwareProvider(std::string(*name), container, flags);
        }

        // Where a registry entry becomes a provider: the token provider
        // factory opens it, and without one its keys are out of reach.
        const auto registered = findRegisteredProvider(providerName);
        if (!registered) return nullptr;
        TokenProviderFactory factory;
        {
            std::lock_guard lock(factoryMutex());
            factory = installedFactory();
        }
        if (!factory) {
            setLastError(NTE_KEYSET_NOT_DEF);
            return nullptr;
        }
        return factory(*registered, container, flags);
    } catch (const std::bad_alloc&) {
        setLastError(NTE_NO_MEMORY);
        return nullptr;
    }
}

std::unique_ptr<ProviderContext> acquireCertificateKey(const Certificate& certificate) {
    CallScope scope;
    const auto& info = certificate.keyProvInfo();
    if (!info) {
        setLastError(CRYPT_E_NO_KEY_PROPERTY);
        return nullptr;
    }
    return ProviderContext::acquire(info->containerName, info->providerName, info->providerType, 0);
}

}  // namespace crypto
