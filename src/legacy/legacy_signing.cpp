#include "legacy/legacy_signing.h"

#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "certs/cert_chooser.h"
#include "certs/cert_info.h"
#include "certs/partial_dn.h"
#include "control/state/boundary.h"
#include "control/state/message_box.h"
#include "encoding/base64.h"
#include "encoding/compression.h"
#include "legacy/staging.h"
#include "platform/codepage/codepage.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/messages.h"
#include "platform/crypto/names.h"
#include "platform/crypto/provider.h"
#include "platform/crypto/store.h"

namespace qm {

namespace {

constexpr std::string_view PROMPT_SIGN = "请确认是否对以下信息签名:\n\n";
constexpr std::string_view CAPTION_SIGN = "确认签名";
constexpr std::string_view PROMPT_SIGN_AND_ENCRYPT = "请确认是否对以下信息签名并加密:\n\n";
constexpr std::string_view CAPTION_SIGN_AND_ENCRYPT = "确认签名与加密";

constexpr std::string_view MSG_NO_PLAINTEXT = "未输入明文，无法进行签名！";
constexpr std::string_view MSG_NO_SUBJECT_NAME = "证书缺少主题信息！";
constexpr std::string_view MSG_NO_ISSUER_NAME = "证书缺少签发者信息！";
constexpr std::string_view MSG_CERT_NOT_FOUND = "找不到指定证书!";
constexpr std::string_view MSG_SIGN_MEMORY = "Memory allocation error while signing.";
constexpr std::string_view MSG_ENCRYPT_MEMORY = "Memory allocation error while encrypting.";
constexpr std::string_view MSG_NO_SUBJECT_DECODE = "无法获得证书签发者！";
constexpr std::string_view CAPTION_ERROR = "错误";

constexpr std::string_view CAPTION_SIGN_SIZE = "获取签名包的长度";
constexpr std::string_view CAPTION_SIGN_CONTENT = "获取签名包的内容";
constexpr std::string_view CAPTION_ENCRYPT_SIZE = "获取加密包的长度";

// The chooser's names were read into buffers of this many bytes, the NUL
// included.
constexpr size_t DISPLAY_NAME_ROOM = 128;

enum class Method { Attached, Detached, Envelope };

// Ends the procedure once errorNum (and any box) says why.
struct Ended {};

class Procedure {
public:
    Procedure(ControlState& state, Method method) : state_(state), method_(method) {}
    void run();

private:
    [[noreturn]] void stop(std::string_view utf8Message) {
        legacyStop(state_, utf8Message);
        state_.legacyPlainText.reset();
        throw Ended{};
    }
    [[noreturn]] void end(int32_t code) {
        state_.errorNum = code;
        throw Ended{};
    }
    // What a declined confirmation and a failed size pass consume.
    void releaseInput() {
        if (method_ == Method::Detached) {
            state_.plainTextForDetachedSign.reset();
        } else {
            state_.legacyPlainText.reset();
        }
    }
    [[noreturn]] void cancelled() {
        state_.legacyPlainText.reset();
        end(LEGACY_DECLINED);
    }

    std::unique_ptr<crypto::Store> openStore(const char* name);
    crypto::CertPtr choose(int32_t purpose, std::span<const crypto::CertPtr> certificates);
    crypto::CertPtr findSigner(const crypto::Store& my);
    crypto::CertPtr findRecipient();

    ControlState& state_;
    Method method_;
};

// A display name as the chooser gets it: cut to what its buffer held, never
// inside a double-byte character.
std::string displayName(const crypto::Certificate& certificate, bool issuer) {
    std::string name = crypto::simpleDisplayName(certificate, issuer);
    if (name.size() < DISPLAY_NAME_ROOM) return name;
    const bool doubleByte = codepage::ansiCodePage() == codepage::CP_GBK;
    size_t end = 0;
    while (end < name.size()) {
        const auto byte = static_cast<unsigned char>(name[end]);
        const size_t width = doubleByte && byte >= 0x81 && byte <= 0xFE ? 2 : 1;
        if (end + width > DISPLAY_NAME_ROOM - 1) break;
        end += width;
    }
    name.resize(end);
    return name;
}

std::unique_ptr<crypto::Store> Procedure::openStore(const char* name) {
    std::unique_ptr<crypto::Store> store = crypto::Store::openSystem(name);
    if (!store) {
        char message[64];
        std::snprintf(message, sizeof message, "The \"%s\" store could not be opened.", name);
        stop(message);
    }
    return store;
}

// Dialog 104 over `certificates`; the chosen one, or the procedure ends
// with -3.
crypto::CertPtr Procedure::choose(int32_t purpose, std::span<const crypto::CertPtr> certificates) {
    std::vector<std::string> subjects;
    std::vector<std::string> issuers;
    for (const crypto::CertPtr& certificate : certificates) {
        std::string subject = displayName(*certificate, false);
        if (subject.empty()) stop(MSG_NO_SUBJECT_NAME);
        std::string issuer = displayName(*certificate, true);
        if (issuer.empty()) stop(MSG_NO_ISSUER_NAME);
        subjects.push_back(std::move(subject));
        issuers.push_back(std::move(issuer));
    }
    LegacyCertChooser chooser(purpose, &subjects, &issuers);
    chooser.run();
    const int32_t chosen = chooser.chosenIndex();
    if (chosen < 0 || static_cast<size_t>(chosen) >= certificates.size()) cancelled();
    return certificates[static_cast<size_t>(chosen)];
}

crypto::CertPtr Procedure::findSigner(const crypto::Store& my) {
    const std::vector<crypto::CertPtr>& all = my.certificates();
    if (state_.defaultDNText.size() == 0 || !state_.defaultDN) return choose(0, all);

    const std::vector<std::string> partialDns =
        splitPartialDns(*state_.defaultDN, state_.dnSplitter.value_or(std::string()));
    std::vector<crypto::CertPtr> matching;
    for (const crypto::CertPtr& certificate : all) {
        std::string subject;
        if (GetCertField(certificate.get(), CERT_FIELD_SUBJECT, subject) != OK) continue;
        if (matchesPartialDns(subject, partialDns)) matching.push_back(certificate);
    }
    if (matching.empty()) {
        // The user is shown that nothing fits before being told so.
        const std::vector<std::string> none;
        LegacyCertChooser chooser(0, &none, &none);
        chooser.run();
        stop(MSG_CERT_NOT_FOUND);
    }
    if (matching.size() == 1) return matching.front();
    return choose(0, matching);
}

crypto::CertPtr Procedure::findRecipient() {
    if (state_.defaultDNRecvCN.size() == 0 || !state_.defaultDNRecv) {
        std::unique_ptr<crypto::Store> ca = openStore("CA");
        std::unique_ptr<crypto::Store> my = openStore("MY");
        std::vector<crypto::CertPtr> all = ca->certificates();
        all.insert(all.end(), my->certificates().begin(), my->certificates().end());
        return choose(1, all);
    }
    const std::u16string_view commonName = state_.defaultDNRecvCN.view();
    for (const char* name : {"CA", "MY"}) {
        const std::unique_ptr<crypto::Store> store = openStore(name);
        crypto::CertPtr candidate;
        while ((candidate = store->findBySubjectString(commonName, candidate.get()))) {
            if (RecipientSubjectMatch(*candidate, *state_.defaultDNRecv)) return candidate;
        }
    }
    stop(MSG_CERT_NOT_FOUND);
}

void Procedure::run() {
    const bool detached = method_ == Method::Detached;
    const bool envelope = method_ == Method::Envelope;
    if (detached) {
        if (!state_.plainTextForDetachedSign) stop(MSG_NO_PLAINTEXT);
    } else if (!buildLegacyPlainText(state_)) {
        state_.legacyPlainText.reset();
        throw Ended{};
    }
    // Views the staged text; everything that releases it ends the procedure
    // or comes after its last use.
    const std::string_view data = detached ? *state_.plainTextForDetachedSign : *state_.legacyPlainText;

    if (state_.showPlainTextFlag) {
        const bool yes = envelope ? ConfirmSigning(PROMPT_SIGN_AND_ENCRYPT, CAPTION_SIGN_AND_ENCRYPT, data)
                                  : ConfirmSigning(PROMPT_SIGN, CAPTION_SIGN, data);
        if (!yes) {
            releaseInput();
            end(LEGACY_DECLINED);
        }
    }

    const std::unique_ptr<crypto::Store> my = openStore("MY");
    const crypto::CertPtr signer = findSigner(*my);
    const crypto::CertPtr recipient = envelope ? findRecipient() : nullptr;

    if (!crypto::signedMessageSize(signer, data.size(), detached)) {
        ShowPlatformError(CAPTION_SIGN_SIZE);
        releaseInput();
        end(LEGACY_SIGN_SIZE_FAILED);
    }
    std::optional<std::string> message;
    try {
        message = crypto::signMessage(signer, data, detached);
    } catch (const std::bad_alloc&) {
        stop(MSG_SIGN_MEMORY);
    }
    if (!message) {
        ShowPlatformError(CAPTION_SIGN_CONTENT);
        end(LEGACY_SIGN_FAILED);
    }

    std::string subject;
    std::string issuer;
    if (GetCertField(signer.get(), CERT_FIELD_SUBJECT, subject) != OK ||
        GetCertField(signer.get(), CERT_FIELD_ISSUER, issuer) != OK) {
        end(LEGACY_NO_SIGNER);
    }
    state_.signerDN = toWide(subject);

    if (!envelope) {
        compressMessage(*message, state_.maxCompSize);
        (detached ? state_.detachedSignText : state_.attachedSignText) = encoding::encodeBase64Plain(*message);
        state_.errorNum = OK;
    }
    state_.plainTextForDetachedSign.reset();
    state_.formItems.reset();
    state_.fileNames.reset();
    if (!envelope) return;

    // The signed message goes into the envelope as it is, uncompressed.
    std::optional<std::string> sealed;
    try {
        sealed = crypto::encryptMessage(recipient, *message);
    } catch (const std::bad_alloc&) {
        stop(MSG_ENCRYPT_MEMORY);
    }
    if (!sealed) {
        ShowPlatformError(CAPTION_ENCRYPT_SIZE);
        end(LEGACY_ENCRYPT_SIZE_FAILED);
    }
    compressMessage(*sealed, state_.maxCompSize);
    state_.signAndEncryptEnvelopText = encoding::encodeBase64Plain(*sealed);
    state_.errorNum = OK;
}

HRESULT runProcedure(ControlState& state, Method method) noexcept {
    try {
        Procedure(state, method).run();
    } catch (const Ended&) {
    } catch (...) {
        // Memory, in practice: the confirmation text, the Base64 text or a
        // certificate's names could not be had.
        state.errorNum = LEGACY_NO_MEMORY;
    }
    return S_OK;
}

std::string namePrefix(std::string_view oid) {
    struct Prefix {
        std::string_view oid;
        std::string_view prefix;
    };
    static constexpr Prefix prefixes[] = {
        {"2.5.4.3", "CN="}, {"2.5.4.10", "O="}, {"2.5.4.11", "OU="},
        {"2.5.4.8", "S="},  {"2.5.4.6", "C="},  {"1.2.840.113549.1.9.1", "E="},
    };
    for (const Prefix& p : prefixes) {
        if (p.oid == oid) return std::string(p.prefix);
    }
    return {};
}

// A value as the page writes it: text in the ANSI code page. A value that
// is not a string keeps its encoded bytes. Either ends at a zero byte.
std::string nameValue(const crypto::NameAttribute& attribute) {
    std::string value;
    if (const std::optional<std::u16string> text = crypto::decodeNameValue(attribute.type, attribute.value)) {
        value = codepage::ansiFromWide(*text);
    } else {
        value = attribute.value;
    }
    return value.substr(0, value.find('\0'));
}

}  // namespace

std::string platformErrorText(uint32_t lastError) {
    const auto error = [](std::string_view text) { return "错误！" + std::string(text); };
    const auto code = [](std::string_view name) { return "错误！出错代码为：" + std::string(name); };
    switch (lastError) {
        case crypto::NTE_KEYSET_NOT_DEF:
            return error("请插入相应的密钥存储介质。");
        case crypto::ERROR_INVALID_HANDLE:
            return code("ERROR_INVALID_HANDLE");
        case crypto::ERROR_MORE_DATA:
            return code("ERROR_MORE_DATA");
        case crypto::E_INVALIDARG:
            return code("E_INVALIDARG");
        case crypto::NTE_BAD_KEYSET:
            return error("密钥存储介质不能打开，或者不存在。");
        case crypto::NTE_KEYSET_ENTRY_BAD:
            return error("所找到的密钥存储介质已经损坏。");
        case crypto::CRYPT_E_NO_KEY_PROPERTY:
            return "该证书缺少CERT_KEY_PROV_INFO_PROP_ID 或 CERT_KEY_CONTEXT_PROP_ID 属性, 无法用于签名！";
        case crypto::CRYPT_E_OSS_ERROR:
            return error("不可识别的ASN编码。");
        default: {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(lastError));
            return code(hex);
        }
    }
}

void ShowPlatformError(std::string_view utf8Caption) {
    const uint32_t lastError = crypto::getLastError();
    showMessageBox(platformErrorText(lastError), utf8Caption, ui::Icon::Warning);
}

bool ConfirmSigning(std::string_view utf8Prompt, std::string_view utf8Caption, std::string_view signedBytes) {
    std::string text = ansiFromUtf8(utf8Prompt);
    text += signedBytes.substr(0, signedBytes.find('\0'));
    return showAnsiMessageBox(std::move(text), utf8Caption, ui::Icon::Question, ui::Buttons::YesNo) == ui::Button::Yes;
}

bool RecipientSubjectMatch(const crypto::Certificate& candidate, std::string_view defaultDNRecv) {
    const X509_NAME* subject = X509_get_subject_name(candidate.x509());
    const std::vector<crypto::Rdn> rdns = crypto::nameAttributes(subject);
    if (rdns.empty() && X509_NAME_entry_count(subject) > 0) {
        showMessageBox(MSG_NO_SUBJECT_DECODE, CAPTION_ERROR, ui::Icon::Error, ui::Buttons::Ok, ui::Owner::Control);
        return false;
    }
    std::vector<std::string> components;
    for (const crypto::Rdn& rdn : rdns) {
        if (rdn.empty()) continue;
        components.push_back(namePrefix(rdn.front().oid) + nameValue(rdn.front()));
    }
    const auto join = [](auto first, auto last) {
        std::string text;
        for (auto it = first; it != last; ++it) {
            if (it != first) text += ',';
            text += *it;
        }
        return text;
    };
    return defaultDNRecv == join(components.begin(), components.end()) ||
           defaultDNRecv == join(components.rbegin(), components.rend());
}

namespace members {

HRESULT makeAttachedSign(ControlState& state) { return runProcedure(state, Method::Attached); }
HRESULT makeDetachedSign(ControlState& state) { return runProcedure(state, Method::Detached); }
HRESULT makeSignAndEncryptEnvelop(ControlState& state) { return runProcedure(state, Method::Envelope); }

HRESULT getAttachedSign(ControlState& state, BSTR* pVal) {
    state.legacyPlainText.reset();
    return handOutOnce(state.attachedSignText, pVal);
}

HRESULT getDetachedSign(ControlState& state, BSTR* pVal) {
    state.legacyPlainText.reset();
    return handOutOnce(state.detachedSignText, pVal);
}

HRESULT getSignAndEncryptEnvelop(ControlState& state, BSTR* pVal) {
    state.legacyPlainText.reset();
    return handOutOnce(state.signAndEncryptEnvelopText, pVal);
}

HRESULT getSignsPlaintextBase64(ControlState& state, BSTR* pVal) {
    return handOutOnce(state.signsPlaintextBase64Text, pVal);
}

HRESULT getSignsHashBase64(ControlState& state, BSTR* pVal) { return handOutOnce(state.signsHashBase64Text, pVal); }

}  // namespace members

}  // namespace qm
