#include "platform/crypto/errors.h"

#include <openssl/err.h>

namespace crypto {
namespace {

thread_local uint32_t t_lastError = ERROR_SUCCESS;
thread_local int t_scopeDepth = 0;

bool isMemoryFailure(unsigned long error) {
    // OpenSSL 3 raises allocation failures under many libraries, always
    // with the common reason code.
    return ERR_GET_REASON(error) == ERR_R_MALLOC_FAILURE;
}

bool isDecodingFailure(unsigned long error) {
    const int library = ERR_GET_LIB(error);
    return library == ERR_LIB_ASN1 || ERR_GET_REASON(error) == ERR_R_NESTED_ASN1_ERROR;
}

}  // namespace

uint32_t getLastError() { return t_lastError; }

void setLastError(uint32_t code) { t_lastError = code; }

CallScope::CallScope() {
    if (t_scopeDepth++ == 0) ERR_clear_error();
}

CallScope::~CallScope() {
    if (--t_scopeDepth == 0) ERR_clear_error();
}

uint32_t errorFromOpenSsl(uint32_t fallback) {
    bool memory = false;
    bool decoding = false;
    while (const unsigned long error = ERR_get_error()) {
        memory = memory || isMemoryFailure(error);
        decoding = decoding || isDecodingFailure(error);
    }
    if (memory) return NTE_NO_MEMORY;
    if (decoding) return CRYPT_E_OSS_ERROR;
    return fallback;
}

}  // namespace crypto
