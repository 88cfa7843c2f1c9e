#include "encoding/encoding_members.h"

#include "control/state/member.h"
#include "control/state/message_box.h"
#include "encoding/base64.h"
#include "package/file_io.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/messages.h"
#include "resources/resources.h"

namespace qm {

int32_t hashBase64Digest(std::string_view data, std::string& text) {
    text.clear();
    std::string digest;
    try {
        digest = crypto::sha1(data);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    if (digest.size() != 20) return ERR_DECRYPT;
    try {
        text = encoding::encodeBase64Wrapped(digest);
    } catch (const std::bad_alloc&) {
        return ERR_BASE64_ENCODE;
    }
    return OK;
}

}  // namespace qm

namespace qm::members {

namespace {

constexpr std::string_view MSG_ENCODE_FAILED = "Base64编码失败";
constexpr std::string_view MSG_DECODE_FAILED = "Base64解码失败";
constexpr std::string_view MSG_DIGEST_FAILED = "摘要失败";
constexpr std::string_view MSG_FILE_NOT_CHOSEN = "没有选择文件或者文件没有找到";
constexpr std::string_view MSG_FILE_READ_FAILED = "读取文件失败";

// First-generation codes of hash1Base64 for the cases the control never had
// a code for: no text at all, and a digest the platform could not make.
constexpr int32_t HASH1_NO_TEXT = -1;
constexpr int32_t HASH1_DIGEST_FAILED = ERR_DECRYPT;

com::Bstr digestText(std::string_view data) {
    std::string text;
    if (const int32_t code = hashBase64Digest(data, text); code != OK) fail(code, MSG_DIGEST_FAILED);
    return toWide(text);
}

std::string requireSource(BSTR text) {
    std::optional<std::string> ansi = ansiArgument(text);
    if (!ansi) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
    return std::move(*ansi);
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

HRESULT QMHashAndBase64Encode(ControlState& state, BSTR plainText, BSTR* pVal) {
    return runMember(state, pVal, [&] { return digestText(requireSource(plainText)); });
}

HRESULT QMFileHashAndBase64Encode(ControlState& state, BSTR fileName, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        const std::string path = requireSource(fileName);
        std::string name;
        std::string content;
        const int32_t read = loadFileContents(ansiFromUtf8(FILE_OPEN_TITLE), FILE_FILTER_ALL, name, content, path);
        if (read == ERR_FILE_NOT_CHOSEN) fail(ERR_NO_FILE, MSG_FILE_NOT_CHOSEN);
        if (read != OK) fail(read, MSG_FILE_READ_FAILED);
        return digestText(content);
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
    *pVal = handOutText(state.base64Result);
    state.base64Result.reset();
    state.base64Source.reset();
    return S_OK;
}

HRESULT hash1Base64(ControlState& state, BSTR swPlain) {
    try {
        const Text text = toAnsi(swPlain);
        if (!text) {
            state.errorNum = HASH1_NO_TEXT;
            return S_FALSE;
        }
        // An empty text is digested as zero bytes.
        const std::string digest = crypto::sha1(*text);
        if (digest.size() != 20) {
            state.errorNum = HASH1_DIGEST_FAILED;
            return S_FALSE;
        }
        state.hash1Base64Text = encoding::encodeBase64Plain(digest);
    } catch (const std::bad_alloc&) {
        state.errorNum = LEGACY_NO_MEMORY;
        return S_FALSE;
    }
    return S_OK;
}

HRESULT getHash1Base64Result(ControlState& state, BSTR* pVal) { return handOutOnce(state.hash1Base64Text, pVal); }

}  // namespace qm::members
