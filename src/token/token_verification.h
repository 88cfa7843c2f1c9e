// Token verification: the receiving side of token signing. The signed
// message is verified, its signer's certificate checked against its issuer
// and the chain (not its validity period: a token signature stays good
// after the certificate ran out), and the body it carries is taken apart
// into the slots QMGetAdvFendrelPlainText reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "certs/cert_info.h"
#include "control/state/control_state.h"

namespace qm {

using AdvPlainTexts = std::array<com::Bstr, 4>;

// Verifies the Base64 text of a token-signed message (compressed or not).
// 0 with the carried content (the body element, header included) and
// `record` filled when given; otherwise a result code and no content:
// ERR_NO_SOURCE, ERR_BASE64_DECODE, ERR_NO_MEMORY, the verification codes
// of mapMessageError, ERR_NO_SIGNER, or CheckCertificate's codes.
int32_t tokenVerify(std::string_view messageText, std::string& content, CertInfoRecord* record);

// Reads the element at `position`: 0 with its tag and value and `position`
// behind it; -1 when its tag is not one a body holds (0x11, 0x21 to 0x25),
// or its header or value reaches past the end of `content`.
int32_t readTlv(std::string_view content, size_t& position, uint8_t& tag, std::string& value);

// Puts a body element's value into its slot (0x21 to 0x24, slots 1 to 4),
// cut at its first NUL; 0x10, 0x11 and 0x25 are passed over. 0, or
// ERR_NO_SIGNER for any other tag.
int32_t storeAdvValue(AdvPlainTexts& slots, uint8_t tag, std::string_view value);

namespace members {

HRESULT QMAdvFendrelAfterwardsVerify(ControlState& state, BSTR signedMsg);
HRESULT QMGetAdvFendrelPlainText(ControlState& state, uint32_t type, BSTR* pVal);

}  // namespace members

}  // namespace qm
