#include "encoding/encoding_members.h"

#include "control/state/member.h"
#include "control/state/message_box.h"
#include "encoding/base64.h"
#include "resources/resources.h"

namespace qm::members {

namespace {

constexpr std::string_view MSG_ENCODE_FAILED = "Base64编码失败";
constexpr std::string_view MSG_DECODE_FAILED = "Base64解码失败";

std::string requireSource(BSTR text) {
    std::optional<std::string> ansi = ansiArgument(text);
    if (!ansi) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
    return std::move(*ansi);
}

// A result for the caller of a first-generation getter; never reported.
BSTR handOut(const Text& text) {
    try {
        com::Bstr wide = toWide(text);
        return wide.isNull() ? com::Bstr::empty().detach() : wide.detach();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

HRESULT QMBase64Encode(ControlState& state, BSTR text, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        const std::string source = requireSource(text);
        std::string encoded;
        try {
            encoded = encoding::encodeBase64Wrapped(source);
        } catch (const std::bad_alloc&) {
            fail(ERR_NO_MEMORY, MSG_ENCODE_FAILED);
        }
        return toWide(encoded);
    });
}

HRESULT QMBase64Decode(ControlState& state, BSTR text, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        const std::string source = requireSource(text);
        std::string decoded;
        int32_t code = OK;
        try {
            code = encoding::decodeBase64Wrapped(source, decoded);
        } catch (const std::bad_alloc&) {
            code = ERR_NO_MEMORY;
        }
        if (code != OK) fail(code, MSG_DECODE_FAILED);
        // The decoded bytes are read as ANSI text, up to their first NUL.
        return toWide(decoded);
    });
}

HRESULT getVersion(ControlState& state, BSTR* pVersion) {
    if (!pVersion) return E_POINTER;
    *pVersion = nullptr;
    try {
        const std::optional<std::string_view> text = resources::loadString(resources::IDS_VERSION);
        *pVersion = (text ? toWide(ansiFromUtf8(*text)) : com::Bstr::empty()).detach();
    } catch (const std::bad_alloc&) {
        *pVersion = nullptr;
    }
    // The version reports success but leaves the last failure's text alone.
    state.errorNum = OK;
    return S_OK;
}

HRESULT putBase64In(ControlState& state, BSTR value) {
    try {
        state.base64Source = toAnsi(value);
    } catch (const std::bad_alloc&) {
        state.base64Source.reset();
        state.errorNum = LEGACY_NO_MEMORY;
        return S_FALSE;
    }
    if (!state.base64Source) {
        showMessageBox("BASE64变换的输入内容为空!", "错误", ui::Icon::Warning);
        return S_FALSE;
    }
    return S_OK;
}

HRESULT Base64Encode(ControlState& state) {
    if (!state.base64Source) {
        state.base64Result.reset();
        return S_FALSE;
    }
    try {
        // The text ends at its first NUL, as a text buffer does.
        const std::string_view source(state.base64Source->c_str());
        state.base64Result = encoding::encodeBase64Plain(source);
    } catch (const std::bad_alloc&) {
        state.base64Result.reset();
        state.errorNum = LEGACY_NO_MEMORY;
        return S_FALSE;
    }
    return S_OK;
}

HRESULT Base64Decode(ControlState& state) {
    if (!state.base64Source) {
        state.base64Result.reset();
        return S_FALSE;
    }
    try {
        const std::string_view source(state.base64Source->c_str());
        std::string decoded = encoding::decodeBase64Plain(source);
        if (decoded.empty()) {
            state.base64Result.reset();
            state.errorNum = LEGACY_BASE64_DECODE;
            return S_FALSE;
        }
        state.base64Result = std::move(decoded);
    } catch (const std::bad_alloc&) {
        state.base64Result.reset();
        state.errorNum = LEGACY_NO_MEMORY;
        return S_FALSE;
    }
    return S_OK;
}

HRESULT getBase64Out(ControlState& state, BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = handOut(state.base64Result);
    state.base64Result.reset();
    state.base64Source.reset();
    return S_OK;
}

}  // namespace qm::members
