// Verification of signed messages and the check of the signer's
// certificate, and the two plaintext members: QMSetPlainText stages what
// the next attached signature or envelope takes, QMGetPlainText reads what
// the last verification or decryption extracted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "certs/cert_info.h"
#include "control/state/control_state.h"
#include "platform/crypto/certificate.h"

namespace qm {

constexpr uint32_t CHECK_REVOCATION = 1;
constexpr uint32_t CHECK_SIGNATURE = 2;
constexpr uint32_t CHECK_VALIDITY = 4;
constexpr uint32_t CHECK_CHAIN = 8;
constexpr uint32_t CHECK_ALL = CHECK_REVOCATION | CHECK_SIGNATURE | CHECK_VALIDITY | CHECK_CHAIN;

// The signer certificate's checks against its issuer (from "CA", else
// "Root") and the base chain policy, in the fixed order signature,
// validity, revocation, chain; the first failing one decides. 0,
// ERR_NO_ISSUER, ERR_CERT_SIGNATURE, ERR_CERT_EXPIRED, ERR_CERT_REVOKED or
// ERR_CERT_CHAIN. No revocation list is a pass; so is an expired chain.
int32_t CheckCertificate(const crypto::Certificate& certificate, uint32_t checks);

// Verifies the Base64 text of a PKCS #7 signed message. A message that
// carries its content verifies as it stands (attached) and its content goes
// to `content` when an area is given; any other is verified as detached
// over `input`, and the code reported is that attempt's. The signer
// certificate is then checked with all four checks, and `record` filled.
int32_t VerifyMessage(std::string_view messageText, std::string_view input, std::string* content,
                      CertInfoRecord* record);

namespace members {

HRESULT QMDetachedVerify(ControlState& state, BSTR signedMsg, BSTR plainText);
HRESULT QMAttachedVerify(ControlState& state, BSTR signedMsg);
HRESULT QMSetPlainText(ControlState& state, BSTR plainText);
HRESULT QMGetPlainText(ControlState& state, BSTR* pVal);

}  // namespace members

}  // namespace qm
