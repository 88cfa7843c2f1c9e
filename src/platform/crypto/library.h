// The OpenSSL library context of the cryptographic services.
//
// The services never use OpenSSL's default context: a host process may have
// configured that one its own way (FIPS only, no legacy algorithms), and we
// must neither depend on its settings nor change them. Every fetch and every
// *_ex call of the services passes libraryContext().
#pragma once

#include <openssl/types.h>

namespace crypto {

// A context of our own, made on first use and kept for the life of the
// process, with the default provider and the legacy one (RC4, which the
// control's enveloped messages use) loaded. When the legacy provider cannot
// be loaded the context still works; fetching a legacy algorithm then fails
// and the caller reports CRYPT_E_UNKNOWN_ALGO.
OSSL_LIB_CTX* libraryContext();

// The property query for fetches in libraryContext(): none.
inline constexpr const char* PROPERTY_QUERY = nullptr;

}  // namespace crypto
