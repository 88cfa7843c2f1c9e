// The last-error code of the cryptographic services.
//
// Every service that fails leaves a code here, with the value the platform
// documents for it, and callers read it right after the failure, as they
// would call GetLastError(). The code is per thread. A service that
// succeeds leaves the previous code alone, so a caller never reads it to
// find out whether a call worked; the return value says that.
#pragma once

#include <cstdint>

namespace crypto {

constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_MORE_DATA = 234;
// In its HRESULT form (HRESULT_FROM_WIN32(1223)), as providers report a
// prompt the user cancelled.
constexpr uint32_t ERROR_CANCELLED = 0x800704C7;

constexpr uint32_t E_ACCESSDENIED = 0x80070005;
constexpr uint32_t E_INVALIDARG = 0x80070057;

constexpr uint32_t NTE_BAD_KEY = 0x80090003;
constexpr uint32_t NTE_BAD_SIGNATURE = 0x80090006;
constexpr uint32_t NTE_NO_KEY = 0x8009000D;
constexpr uint32_t NTE_NO_MEMORY = 0x8009000E;
constexpr uint32_t NTE_EXISTS = 0x8009000F;
constexpr uint32_t NTE_BAD_KEYSET = 0x80090016;
constexpr uint32_t NTE_KEYSET_NOT_DEF = 0x80090019;
constexpr uint32_t NTE_KEYSET_ENTRY_BAD = 0x8009001A;

constexpr uint32_t CRYPT_E_MSG_ERROR = 0x80091001;
constexpr uint32_t CRYPT_E_UNKNOWN_ALGO = 0x80091002;
constexpr uint32_t CRYPT_E_HASH_VALUE = 0x80091007;
constexpr uint32_t CRYPT_E_RECIPIENT_NOT_FOUND = 0x8009100B;
constexpr uint32_t CRYPT_E_UNEXPECTED_MSG_TYPE = 0x8009200A;
constexpr uint32_t CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
constexpr uint32_t CRYPT_E_NO_DECRYPT_CERT = 0x8009200C;
constexpr uint32_t CRYPT_E_NO_SIGNER = 0x8009200E;
constexpr uint32_t CRYPT_E_NOT_FOUND = 0x80092004;
constexpr uint32_t CRYPT_E_EXISTS = 0x80092005;
constexpr uint32_t CRYPT_E_REVOKED = 0x80092010;
constexpr uint32_t CRYPT_E_NO_REVOCATION_CHECK = 0x80092012;
constexpr uint32_t CRYPT_E_REVOCATION_OFFLINE = 0x80092013;
constexpr uint32_t CRYPT_E_OSS_ERROR = 0x80093000;

constexpr uint32_t TRUST_E_CERT_SIGNATURE = 0x80096004;
constexpr uint32_t TRUST_E_BASIC_CONSTRAINTS = 0x80096019;
constexpr uint32_t CERT_E_EXPIRED = 0x800B0101;
constexpr uint32_t CERT_E_VALIDITYPERIODNESTING = 0x800B0102;
constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr uint32_t CERT_E_CHAINING = 0x800B010A;
constexpr uint32_t CERT_E_UNTRUSTEDTESTROOT = 0x800B010D;

uint32_t getLastError();
void setLastError(uint32_t code);

// Opened on entry to every public service. The outermost scope on a thread
// clears OpenSSL's error queue when it opens, so that the queue holds only
// what this call caused, and again when it closes, so that a host that uses
// OpenSSL itself never finds our errors in its queue. Nested scopes (one
// service calling another) leave the queue alone.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// Empties OpenSSL's error queue into one last-error code: a memory failure
// anywhere in the queue gives NTE_NO_MEMORY, else an ASN.1 decoding error
// gives CRYPT_E_OSS_ERROR, else `fallback` (also when the queue is empty).
// The code is returned, not set: `setLastError(errorFromOpenSsl(X))`.
uint32_t errorFromOpenSsl(uint32_t fallback);

}  // namespace crypto
