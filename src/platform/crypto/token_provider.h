// The token provider: a provider entry of the registry (provider.h) whose
// keys live on a PKCS #11 token.
//
// The token: the entry's Slot when it names one (it must hold a token, and
// the token labelled Token when that is given too); else the first token
// labelled Token; else the first initialised token of the module. No such
// token: NTE_KEYSET_NOT_DEF. A module that cannot be loaded or initialised:
// NTE_PROV_DLL_NOT_FOUND.
//
// Containers are keys on that token, named by CKA_LABEL, or by CKA_ID in
// hex ("01", "a1b2") when no object has that label. A key is found without
// logging in: by its private key object, or, where the token shows private
// keys only after a login, by the public key or certificate object of the
// same label or id. The default container (no name) is the first private
// key the token shows, else the first public key, named by its label (its
// id in hex when it has none). A key that is not there: NTE_BAD_KEYSET.
// Keys cannot be made on a token: CRYPT_NEWKEYSET answers NTE_EXISTS when
// the key is there (so "open it if it exists" works as it does for the
// software provider) and NTE_PERM otherwise. A CRYPT_VERIFYCONTEXT context
// needs the token but no key.
//
// Every use of the private key (signHash, signDigest, decryptKey) asks for
// the PIN through the user interface, in one request that carries the
// token's label and, for a hash of a token message, the warning text, so
// the user sees what is signed before the key is used. Then it logs in,
// uses the key with CKM_RSA_PKCS, and logs out again; the PIN is wiped when
// that is done. One try per use: a wrong PIN is reported at once, as the
// token counts the tries. A hash object signs once: asked again, it answers
// the same signature without a second prompt. Errors besides those above:
// SCARD_W_WRONG_CHV (wrong PIN), SCARD_W_CHV_BLOCKED (PIN locked),
// SCARD_W_CANCELLED_BY_USER (prompt cancelled), NTE_SILENT_CONTEXT (a
// CRYPT_SILENT context would need the prompt), and for other answers of
// the token the codes of pkcs11::errorFromCkRv.
//
// Key specifications: a token key is one key; AT_KEYEXCHANGE and
// AT_SIGNATURE both name it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/crypto/provider.h"

namespace crypto {

// The TokenProviderFactory every process starts with.
std::unique_ptr<ProviderContext> openTokenProvider(const RegisteredProvider& provider,
                                                   const std::optional<std::string>& container, uint32_t flags);

}  // namespace crypto
