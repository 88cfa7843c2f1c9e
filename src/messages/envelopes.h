// Envelopes: the staged plaintext encrypted for one recipient (RC4), plain
// or signed first, and the opening of both kinds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "certs/cert_info.h"
#include "control/state/control_state.h"

namespace qm {

// Each engine answers 0 or a result code. Without an output area (`output`
// null) an engine only reports a size in `outputLength`: the sealing ones
// the bound of signOutputBound for the content, the opening ones the
// length of the envelope text (the content cannot be longer). A message
// that needs more than the bound is no failure; the text grows.
int32_t SealEnvelope(std::string_view content, const std::optional<std::string>& recipientList,
                     std::string_view separator, std::string* output, uint64_t& outputLength,
                     CertInfoRecord* recipientRecord);
int32_t OpenEnvelope(std::string_view envelopeText, std::string* output, uint64_t& outputLength,
                     CertInfoRecord* recipientRecord);
int32_t SignAndSealEnvelope(std::string_view content, const std::optional<std::string>& signerList,
                            const std::optional<std::string>& recipientList, std::string_view separator,
                            std::string* output, uint64_t& outputLength, CertInfoRecord* signerRecord,
                            CertInfoRecord* recipientRecord);
int32_t OpenAndVerifyEnvelope(std::string_view envelopeText, std::string* output, uint64_t& outputLength,
                              CertInfoRecord* signerRecord, CertInfoRecord* recipientRecord);

namespace members {

HRESULT QMEncryptedEnvelop(ControlState& state, BSTR deReciptDN, BSTR* pVal);
HRESULT QMDecryptEnvelop(ControlState& state, BSTR envelopedMsg);
HRESULT QMSignedAndEncryptedEnvelop(ControlState& state, BSTR deSignerDN, BSTR deReciptDN, BSTR* pVal);
HRESULT QMDecryptedAndVerifiedEnvelop(ControlState& state, BSTR signedAndEnvelopedMsg);

}  // namespace members

}  // namespace qm
