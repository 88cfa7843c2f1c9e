// Token signing: the staged token message is hashed and signed by the
// provider that holds the signer's key (for a hardware token, the token
// itself, which shows the user the warning text before it signs), and the
// raw signature is wrapped here into a PKCS #7 SignedData:
//
//   ContentInfo { signedData, [0] SignedData {
//     version 1,
//     digestAlgorithms SET { { sha1, NULL } },
//     contentInfo { data, [0] OCTET STRING body element },
//     certificates [0] IMPLICIT the signer's certificate, as it is encoded,
//     signerInfos SET { { version 1, { issuer, serial } as in the certificate,
//                         { sha1 }, { rsaEncryption }, signature } } } }
//
// The hash object gets the whole message; the SignedData carries only the
// body element (its header included), which is what the signature is
// checked against: the provider hashes a token message's body alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "certs/cert_info.h"
#include "control/state/codes.h"
#include "control/state/control_state.h"
#include "platform/crypto/certificate.h"

namespace qm {

// What a failed assembly of the signed message reports: the catalogue's
// "signing failed for another reason".
constexpr int32_t ERR_TOKEN_ASSEMBLY = ERR_SIGN;

// Wraps `signature` (most significant byte first) over the token message
// into the DER SignedData above, in `output`. 0, or ERR_TOKEN_ASSEMBLY when
// an encoding fails, the message does not start with a whole warning
// element, or memory is short. `output` is sized from the message it
// receives, never the other way round.
int32_t assembleSignedData(std::string_view message, const crypto::Certificate& signer,
                           std::string_view signature, std::string& output);

// Without `output`: sets `outputLength` to the bound the signing engines
// promise for `message` and answers 0. With it: finds the signer (by
// partial-DN list in "MY", or the user's choice without one), signs through
// the key's provider, assembles, compresses a message of at least
// `compressionThreshold` bytes, writes the wrapped Base64 text into
// `output` (whatever its length; the bound is advice, not a limit), sets
// `outputLength` to its size and fills `record` when given. 0 or a result
// code: ERR_NO_SOURCE, ERR_PROVIDER (after the box "Get Enhanced prov
// failed!" when the default container exists and cannot be opened, or when
// the key's provider cannot be reached), ERR_STORE, ERR_NO_CERT,
// ERR_CREATE_HASH, ERR_HASH_DATA, ERR_SIGN_HASH (also for a certificate
// without a key-provider property), ERR_TOKEN_ASSEMBLY, ERR_BASE64_ENCODE,
// ERR_NO_MEMORY.
int32_t tokenSign(std::string_view message, const std::optional<std::string>& partialDnList,
                  std::string_view separator, std::string* output, uint64_t& outputLength, CertInfoRecord* record,
                  int64_t compressionThreshold);

namespace members {

HRESULT QMAdvFendrelAttachedSign(ControlState& state, BSTR deSignerDN, BSTR* pVal);

}  // namespace members

}  // namespace qm
