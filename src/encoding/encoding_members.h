// Base64, digest and version members of the control.
#pragma once

#include <string>
#include <string_view>

#include "control/state/control_state.h"

namespace qm {

// The wrapped Base64 text of the bare SHA-1 digest of `data` (28 characters
// and a line feed): 0, ERR_DECRYPT when the platform's digest fails,
// ERR_NO_MEMORY, or ERR_BASE64_ENCODE.
int32_t hashBase64Digest(std::string_view data, std::string& text);

}  // namespace qm

namespace qm::members {

HRESULT QMBase64Encode(ControlState& state, BSTR text, BSTR* pVal);
HRESULT QMBase64Decode(ControlState& state, BSTR text, BSTR* pVal);
HRESULT getVersion(ControlState& state, BSTR* pVersion);
HRESULT QMHashAndBase64Encode(ControlState& state, BSTR plainText, BSTR* pVal);
HRESULT QMFileHashAndBase64Encode(ControlState& state, BSTR fileName, BSTR* pVal);

// First generation: input in base64In, result in base64Out (read once).
HRESULT putBase64In(ControlState& state, BSTR value);
HRESULT Base64Encode(ControlState& state);
HRESULT Base64Decode(ControlState& state);
HRESULT getBase64Out(ControlState& state, BSTR* pVal);
HRESULT hash1Base64(ControlState& state, BSTR swPlain);
HRESULT getHash1Base64Result(ControlState& state, BSTR* pVal);

}  // namespace qm::members
