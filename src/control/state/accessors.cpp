#include "control/state/accessors.h"

#include "control/state/boundary.h"
#include "control/state/identity.h"
#include "platform/context/context.h"

namespace qm {

namespace {

// A copy for the caller; a null text goes out as an empty string. A copy
// that cannot be made is not reported: the accessor still answers S_OK.
BSTR copyForCaller(const com::Bstr& text) {
    try {
        return text.isNull() ? com::Bstr::empty().detach() : com::Bstr(text).detach();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void loadSettings(ControlState& state) {
    // Full access is asked for, as the control always did; a hive that the
    // process may not write refuses it, and the cap applies.
    state.maxSignSize = MAX_SIGN_SIZE_CAP;
    registry::Key key;
    auto& hive = platform::context().registry();
    if (hive.openKey(registry::Root::LocalMachine, settingsKeyPath(), registry::KEY_ALL_ACCESS, key) !=
        registry::ERROR_SUCCESS) {
        return;
    }
    registry::Value value;
    // The value is read as four bytes whatever its registry type says.
    if (key.queryValue("maxsize", value) != registry::ERROR_SUCCESS || value.data.size() > 4) return;
    uint32_t kilobytes = 0;
    for (size_t i = 0; i < value.data.size(); ++i) {
        kilobytes |= static_cast<uint32_t>(static_cast<uint8_t>(value.data[i])) << (8 * i);
    }
    const uint64_t bytes = static_cast<uint64_t>(kilobytes) * 1024u;
    state.maxSignSize = bytes > static_cast<uint64_t>(MAX_SIGN_SIZE_CAP) ? MAX_SIGN_SIZE_CAP : static_cast<int32_t>(bytes);
}

HRESULT getErrorNum(ControlState& state, int32_t* value) {
    if (!value) return E_POINTER;
    *value = state.errorNum;
    return S_OK;
}

HRESULT getErrMsg(ControlState& state, BSTR* value) {
    if (!value) return E_POINTER;
    *value = copyForCaller(state.errMsg);
    return S_OK;
}

HRESULT getMaxSignSize(ControlState& state, int32_t* value) {
    if (!value) return E_POINTER;
    *value = state.maxSignSize;
    return S_OK;
}

HRESULT putMaxSignSize(ControlState& state, int32_t value) {
    if (value >= MAX_SIGN_SIZE_CAP) {
        state.maxSignSize = MAX_SIGN_SIZE_CAP;
    } else if (value > 0) {
        state.maxSignSize = value;
    }
    return S_OK;
}

HRESULT getMaxCompSize(ControlState& state, int32_t* value) {
    if (!value) return E_POINTER;
    *value = state.maxCompSize;
    return S_OK;
}

HRESULT putMaxCompSize(ControlState& state, int32_t value) {
    if (value > 0) state.maxCompSize = value;
    return S_OK;
}

HRESULT putDNspliter(ControlState& state, BSTR value) {
    try {
        state.dnSplitter = toAnsi(value);
    } catch (const std::bad_alloc&) {
        state.dnSplitter.reset();
    }
    return S_OK;
}

HRESULT putPlainTextForDetachedSign(ControlState& state, BSTR value) {
    try {
        state.plainTextForDetachedSign = toAnsi(value);
    } catch (const std::bad_alloc&) {
        state.plainTextForDetachedSign.reset();
    }
    return S_OK;
}

HRESULT getSignerDN(ControlState& state, BSTR* value) {
    if (!value) return E_POINTER;
    *value = copyForCaller(state.signerDN);
    return S_OK;
}

HRESULT putQMServerMode(ControlState& state, int32_t value) {
    state.serverMode = value != 0 ? 1 : 0;
    state.errMsg.reset();
    state.errorNum = 0;
    return S_OK;
}

}  // namespace qm
