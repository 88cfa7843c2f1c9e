// Base64, digest and version members of the control.
#pragma once

#include "control/state/control_state.h"

namespace qm::members {

HRESULT QMBase64Encode(ControlState& state, BSTR text, BSTR* pVal);
HRESULT QMBase64Decode(ControlState& state, BSTR text, BSTR* pVal);
HRESULT getVersion(ControlState& state, BSTR* pVersion);

// First generation: input in base64In, result in base64Out (read once).
HRESULT putBase64In(ControlState& state, BSTR value);
HRESULT Base64Encode(ControlState& state);
HRESULT Base64Decode(ControlState& state);
HRESULT getBase64Out(ControlState& state, BSTR* pVal);

}  // namespace qm::members
