// Signing: the two engines that sign data with the user's certificate from
// "MY" (found by partial-DN list, or by serial number and issuer, or chosen
// by the user), and the six signing members.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "certs/cert_info.h"
#include "control/state/control_state.h"

namespace qm {

// The issuer the by-serial members look under when the page names none.
inline constexpr std::string_view defaultSerialIssuer = "O=DododIvori, OU=config, CN=RERU";

// The size the engines promise for the Base64 text of a signature over n
// data bytes: q = (n + 2000) / 3, then 4q + q / 16 + 1004. A signer
// certificate large enough to need more is no failure: the text simply
// grows; nothing is ever written past what it holds.
uint64_t signOutputBound(uint64_t n);

// Both engines take the data as it is signed (the ANSI bytes). Without an
// output (`output` null) they only set `outputLength` to the bound and
// answer 0. With one they sign, write the wrapped Base64 text of the DER
// message, set `outputLength` to its size and fill `record` (when given)
// from the signer's certificate. They answer 0 or a result code.
int32_t SignMessage(std::string_view data, bool detached, const std::optional<std::string>& partialDnList,
                    std::string_view separator, std::string* output, uint64_t& outputLength,
                    CertInfoRecord* record);
int32_t SignMessageBySerial(std::string_view data, bool detached, const std::optional<std::string>& serialList,
                            std::string_view issuerDn, std::string* output, uint64_t& outputLength,
                            CertInfoRecord* record);

namespace members {

HRESULT QMDetachedSign(ControlState& state, BSTR plainText, BSTR deSignerDN, BSTR* pVal);
HRESULT QMAttachedSign(ControlState& state, BSTR deSignerDN, BSTR* pVal);
HRESULT QMAttachedSignBySN(ControlState& state, BSTR deSignerSN, BSTR* pVal);
HRESULT QMAttachedSignByIssuerSN(ControlState& state, BSTR deSignerSN, BSTR issuerDN, BSTR* pVal);
HRESULT QMDetachedSignBySN(ControlState& state, BSTR plainText, BSTR deSignerSN, BSTR* pVal);
HRESULT QMDetachedSignByIssuerSN(ControlState& state, BSTR plainText, BSTR deSignerSN, BSTR issuerDN, BSTR* pVal);

}  // namespace members

}  // namespace qm
