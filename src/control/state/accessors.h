// The simple property accessors. They answer S_OK and leave errorNum and
// errMsg alone unless said otherwise.
#pragma once

#include "control/state/control_state.h"

namespace qm {

HRESULT getErrorNum(ControlState& state, int32_t* value);
HRESULT getErrMsg(ControlState& state, BSTR* value);
HRESULT getMaxSignSize(ControlState& state, int32_t* value);
HRESULT putMaxSignSize(ControlState& state, int32_t value);
HRESULT getMaxCompSize(ControlState& state, int32_t* value);
HRESULT putMaxCompSize(ControlState& state, int32_t value);
HRESULT putDNspliter(ControlState& state, BSTR value);
HRESULT putPlainTextForDetachedSign(ControlState& state, BSTR value);
HRESULT getSignerDN(ControlState& state, BSTR* value);
// Also clears errMsg and sets errorNum 0.
HRESULT putQMServerMode(ControlState& state, int32_t value);

}  // namespace qm
