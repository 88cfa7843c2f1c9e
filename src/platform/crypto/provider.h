// Cryptographic providers: key containers, hash objects and raw signing.
//
// A provider is found by name. Built in is the software provider, which
// answers to the two names the control asks for (MS_ENHANCED_PROV and
// MS_DEF_PROV, or no name at all: the default provider of PROV_RSA_FULL) and
// keeps its key containers as folders under `<home>/keys/`. Any other name
// is looked up in the registry, under
//
//     HKEY_LOCAL_MACHINE\SOFTWARE\Quillmark\Providers\<provider name>
//         "Module"="/usr/lib/softhsm/libsofthsm2.so"   PKCS #11 module (required)
//         "Slot"=dword:00000000                        optional, or as decimal text
//         "Token"="Quillmark Token"                    optional token label
//
// and such an entry is opened by the token provider factory: the PKCS #11
// token provider of token_provider.h, unless a test installs another (see
// setTokenProviderFactory). Nothing in this layer ever deletes or empties a
// key container.
//
// A context, and every hash object made on it, is used from one thread at a
// time. A hash object keeps what it needs of its context alive, so it may
// outlive the context it was made on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/crypto/certificate.h"

namespace crypto {

constexpr uint32_t CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr uint32_t CRYPT_NEWKEYSET = 0x00000008;
constexpr uint32_t CRYPT_DELETEKEYSET = 0x00000010;
constexpr uint32_t CRYPT_MACHINE_KEYSET = 0x00000020;
constexpr uint32_t CRYPT_SILENT = 0x00000040;

inline constexpr std::string_view MS_ENHANCED_PROV = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr std::string_view MS_DEF_PROV = "Microsoft Base Cryptographic Provider v1.0";

// The one hash algorithm of hash objects (CALG_SHA1).
inline constexpr std::string_view OID_SHA1 = "1.3.14.3.2.26";

// What providers report besides the codes of errors.h, with the platform's
// values.
constexpr uint32_t NTE_BAD_HASH = 0x80090002;
constexpr uint32_t NTE_BAD_DATA = 0x80090005;
constexpr uint32_t NTE_BAD_ALGID = 0x80090008;
constexpr uint32_t NTE_BAD_FLAGS = 0x80090009;
constexpr uint32_t NTE_BAD_HASH_STATE = 0x8009000C;
constexpr uint32_t NTE_PERM = 0x80090010;
constexpr uint32_t NTE_BAD_PROV_TYPE = 0x80090014;
constexpr uint32_t NTE_PROV_TYPE_NOT_DEF = 0x80090017;
constexpr uint32_t NTE_PROV_TYPE_ENTRY_BAD = 0x80090018;
constexpr uint32_t NTE_PROV_DLL_NOT_FOUND = 0x8009001E;
constexpr uint32_t NTE_BAD_KEYSET_PARAM = 0x8009001F;
constexpr uint32_t NTE_FAIL = 0x80090020;
constexpr uint32_t NTE_SILENT_CONTEXT = 0x80090022;

// What a token provider reports about the PIN, as smart card providers do.
constexpr uint32_t SCARD_W_WRONG_CHV = 0x8010006B;
constexpr uint32_t SCARD_W_CHV_BLOCKED = 0x8010006C;
constexpr uint32_t SCARD_W_CANCELLED_BY_USER = 0x8010006E;

// The user's default key container: named after the user (the name of the
// effective uid, else "user").
std::string defaultContainerName();

// A hash object on a provider context (CryptCreateHash, CryptHashData,
// CryptGetHashParam(HP_HASHVAL), CryptSignHash).
//
// The token message rule: data that is exactly a token message -- a
// warning element (tag 0x10, 4-byte big-endian length, value) followed by
// a body element (tag 0x11, 4-byte big-endian length, value) and nothing
// after them -- is hashed as its body element alone, 5-byte header
// included, so that the signature verifies against what the signed
// message carries; the warning text is kept for the user (a token provider
// shows it where it asks for the PIN). Any other data is hashed whole. The
// data may arrive in any number of pieces: whether it is a token message
// is decided when the digest is needed.
class HashObject {
public:
    virtual ~HashObject() = default;
    // False with NTE_BAD_HASH_STATE once the digest has been taken.
    virtual bool hashData(std::string_view data) = 0;
    // The PKCS #1 v1.5 signature of the SHA-1 digest with the context's key
    // of `keySpec`, least significant byte first, as the control expects of
    // a provider. May be called again; the digest stays what it was.
    virtual std::optional<std::string> signHash(uint32_t keySpec) = 0;
    // The 20-byte digest that signHash signs. Ends the hashing.
    virtual std::optional<std::string> hashValue() = 0;
};

// A provider context (CryptAcquireContextA).
class ProviderContext {
public:
    virtual ~ProviderContext() = default;

    // The provider `providerName` ("" for the default provider) of type
    // `providerType` on the key container `container` (nullopt: the
    // default container, defaultContainerName() for the software provider).
    //
    // Flags: CRYPT_NEWKEYSET creates the container and fails with
    // NTE_EXISTS when it exists; without it an existing container is opened
    // (NTE_BAD_KEYSET when it is missing); CRYPT_VERIFYCONTEXT asks for no
    // container at all (hashing only; give no container name);
    // CRYPT_SILENT forbids every prompt (a key that needs its pass phrase
    // then fails with NTE_SILENT_CONTEXT). CRYPT_DELETEKEYSET,
    // CRYPT_MACHINE_KEYSET, other bits and contradicting combinations:
    // NTE_BAD_FLAGS.
    //
    // Errors: NTE_BAD_PROV_TYPE for a type other than PROV_RSA_FULL;
    // NTE_PROV_TYPE_NOT_DEF for a name that is neither built in nor
    // registered; NTE_PROV_TYPE_ENTRY_BAD for a registry entry without a
    // module or with a slot that is not a number; NTE_KEYSET_NOT_DEF when
    // the registered provider cannot be reached (its token is absent, or no
    // token provider is installed); NTE_PROV_DLL_NOT_FOUND when its module
    // cannot be loaded; NTE_BAD_KEYSET_PARAM for a container
    // name that cannot name a folder (empty, ".", "..", a separator, NUL,
    // longer than 255 bytes); E_ACCESSDENIED or NTE_FAIL when the folder
    // cannot be made.
    static std::unique_ptr<ProviderContext> acquire(const std::optional<std::string>& container,
                                                    std::string_view providerName, uint32_t providerType,
                                                    uint32_t flags);

    virtual std::string providerName() const = 0;
    // "" for a context without a container (CRYPT_VERIFYCONTEXT).
    virtual std::string containerName() const = 0;

    // CALG_SHA1 only (OID_SHA1); anything else NTE_BAD_ALGID.
    virtual std::unique_ptr<HashObject> createHash(std::string_view algorithmOid) = 0;

    // For messages, with keySpec AT_KEYEXCHANGE or AT_SIGNATURE (NTE_BAD_KEY
    // otherwise):
    //
    // Whether the key is there, without unlocking it (the size pass of
    // message signing asks this); false with NTE_BAD_KEYSET when it is not.
    virtual bool hasKey(uint32_t keySpec) = 0;
    // The PKCS #1 v1.5 signature over a DigestInfo of `digestNid` and
    // `digest`, most significant byte first, as long as the key's modulus.
    // NTE_BAD_KEYSET for a missing or unreadable key, NTE_KEYSET_ENTRY_BAD
    // for one that does not parse (or is not RSA), ERROR_CANCELLED when the
    // user cancels the pass phrase prompt, NTE_BAD_KEYSET after three wrong
    // pass phrases, NTE_BAD_HASH for a digest of the wrong length,
    // NTE_BAD_ALGID for a digest algorithm OpenSSL does not know.
    virtual std::optional<std::string> signDigest(uint32_t keySpec, int digestNid, std::string_view digest) = 0;
    // PKCS #1 v1.5 decryption of a content-encryption key (most significant
    // byte first). The key errors of signDigest; NTE_BAD_DATA when the
    // bytes were not encrypted to this key.
    virtual std::optional<std::string> decryptKey(uint32_t keySpec, std::string_view encryptedKey) = 0;
};

// The context that holds a certificate's private key, through its
// key-provider property (the container opened without CRYPT_NEWKEYSET);
// the key spec to use is the property's. nullptr with
// CRYPT_E_NO_KEY_PROPERTY when the certificate has no property, else the
// errors of ProviderContext::acquire.
std::unique_ptr<ProviderContext> acquireCertificateKey(const Certificate& certificate);

// --- Registered providers ---------------------------------------------------

// A provider entry of the registry (see the top of this file).
struct RegisteredProvider {
    std::string name;                  // the name asked for
    std::string module;                // PKCS #11 module path, never empty
    std::optional<uint32_t> slot;      // slot id
    std::optional<std::string> token;  // token label

    bool operator==(const RegisteredProvider&) const = default;
};

// The registry entry for `providerName`. nullopt with NTE_PROV_TYPE_NOT_DEF
// when there is none (or the name cannot be a key name), with
// NTE_PROV_TYPE_ENTRY_BAD when it is malformed.
std::optional<RegisteredProvider> findRegisteredProvider(std::string_view providerName);

// Makes a context of a registered provider, with the arguments of
// ProviderContext::acquire (flags already checked). On failure it answers
// nullptr and sets the last error itself (NTE_KEYSET_NOT_DEF for an absent
// token).
using TokenProviderFactory = std::function<std::unique_ptr<ProviderContext>(
    const RegisteredProvider& provider, const std::optional<std::string>& container, uint32_t flags)>;

// Installs the factory that registered providers are opened with, for the
// whole process, and answers the one it replaces. A process starts with
// openTokenProvider (token_provider.h). Without any (nullptr), acquiring a
// registered provider fails with NTE_KEYSET_NOT_DEF: its keys cannot be
// reached, as when its token is absent.
TokenProviderFactory setTokenProviderFactory(TokenProviderFactory factory);

}  // namespace crypto
