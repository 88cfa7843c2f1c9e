#include "legacy/legacy_verification.h"

#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "certs/cert_info.h"
#include "certs/partial_dn.h"
#include "control/state/boundary.h"
#include "control/state/message_box.h"
#include "encoding/base64.h"
#include "encoding/compression.h"
#include "legacy/legacy_signing.h"
#include "legacy/staging.h"
#include "platform/codepage/codepage.h"
#include "platform/context/context.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/messages.h"
#include "platform/crypto/store.h"
#include "platform/crypto/trust.h"
#include "platform/files/files.h"

namespace qm {

namespace {

constexpr std::string_view CAPTION_VERIFY = "验证Attached方式签名";
constexpr std::string_view SAVE_TITLE = "验证通过，保存明文";
constexpr std::string_view SAVE_FILTER = "*.*";
constexpr std::string_view MSG_CANNOT_OPEN_FILE = "无法打开该文件！";
constexpr std::string_view MSG_CANNOT_OPEN_DIALOG = "无法打开文件对话框！";
// The save step's two boxes look like the other first-generation errors.
constexpr std::string_view CAPTION_ERROR = "错误";

// The issuer is looked for by the first of its CN, OU or O as a part of a
// candidate's subject, in "CA" and then in "Root": the first match is taken
// as the issuer, whether or not it really is.
int32_t findIssuer(std::string_view issuerDn, crypto::CertPtr& issuer) {
    const DnKey key = dnKeyValue(issuerDn);
    const std::u16string name = codepage::wideFromAnsi(key.value);
    if (const std::unique_ptr<crypto::Store> ca = crypto::Store::openSystem("CA")) {
        issuer = ca->findBySubjectString(name);
        if (issuer) return OK;
    }
    const std::unique_ptr<crypto::Store> root = crypto::Store::openSystem("Root");
    if (!root) return LEGACY_NO_ROOT_STORE;
    issuer = root->findBySubjectString(name);
    return issuer ? OK : LEGACY_NO_ISSUER;
}

// The verified text to a file of the user's choice. Cancelling is no
// failure.
int32_t savePlainText(std::string_view content) {
    ui::FileDialogRequest request;
    request.kind = ui::FileDialogKind::Save;
    request.title = ansiFromUtf8(SAVE_TITLE);
    request.filter = ansiFromUtf8(SAVE_FILTER);
    request.flags = SAVE_PLAIN_DIALOG_FLAGS;
    const ui::FileDialogAnswer answer = platform::context().ui().fileDialog(request);
    if (answer.kind == ui::FileDialogAnswer::Kind::Cancelled) return OK;
    // A path the dialog's buffer cannot hold is the dialog's failure: the
    // platform reports it as one instead of handing back a cut name.
    if (answer.kind == ui::FileDialogAnswer::Kind::Error || answer.path.size() >= SAVE_PLAIN_NAME_ROOM ||
        answer.path.find('\0') != std::string::npos) {
        showMessageBox(MSG_CANNOT_OPEN_DIALOG, CAPTION_ERROR, ui::Icon::Warning);
        return LEGACY_SAVE_DIALOG_FAILED;
    }
    const std::filesystem::path where = platform::context().files().map(answer.path);
    std::error_code error;
    // Only a regular file (or none yet) is written: a FIFO would block the
    // page, and a folder cannot be replaced.
    const std::filesystem::file_type type = std::filesystem::status(where, error).type();
    const bool writable = type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::regular;
    if (!writable || !files::writeWholeFile(where, content)) {
        showMessageBox(MSG_CANNOT_OPEN_FILE, CAPTION_ERROR, ui::Icon::Warning);
        return LEGACY_SAVE_FILE_FAILED;
    }
    return OK;
}

int32_t verify(ControlState& state, BSTR swSign, int32_t savePlain) {
    // A null text holds no message, like an empty one: both fail to verify.
    const Text text = toAnsi(swSign);
    std::string message = encoding::decodeBase64Plain(text ? std::string_view(*text) : std::string_view());
    decompressMessage(message);

    std::optional<crypto::Verified> verified = crypto::verifyMessage(message);
    if (!verified) {
        ShowPlatformError(CAPTION_VERIFY);
        return LEGACY_NOT_VERIFIED;
    }
    if (!verified->signer) return LEGACY_NO_SIGNER;
    const crypto::Certificate& signer = *verified->signer;

    std::string subject;
    std::string issuerDn;
    if (GetCertField(&signer, CERT_FIELD_SUBJECT, subject) != OK ||
        GetCertField(&signer, CERT_FIELD_ISSUER, issuerDn) != OK) {
        return LEGACY_NO_SIGNER;
    }
    // The signer is named even when a later check fails.
    state.signerDN = toWide(subject);

    crypto::CertPtr issuer;
    if (const int32_t code = findIssuer(issuerDn, issuer); code != OK) return code;

    const crypto::ChainPolicyStatus chain = crypto::verifyCertificateChain(signer);
    if (!chain.built) return LEGACY_NO_CHAIN;
    // An expired signer or chain is accepted.
    if (chain.error != 0 && chain.error != crypto::CERT_E_EXPIRED) return LEGACY_CHAIN_ERROR;

    uint32_t flags = crypto::CERT_STORE_SIGNATURE_FLAG;
    crypto::verifySubjectCertificate(signer, *issuer, flags);
    if (flags & crypto::CERT_STORE_SIGNATURE_FLAG) return LEGACY_ISSUER_SIGNATURE;

    const std::string& content = verified->content;
    state.signsPlaintextBase64Text = encoding::encodeBase64Plain(content);
    const std::string digest = crypto::sha1(content);
    if (digest.size() != 20) return LEGACY_DIGEST_FAILED;
    state.signsHashBase64Text = encoding::encodeBase64Plain(digest);

    if (savePlain != 0) {
        if (const int32_t code = savePlainText(content); code != OK) return code;
    }
    return OK;
}

}  // namespace

namespace members {

HRESULT verifyAttachedSign(ControlState& state, BSTR swSign, int32_t savePlain) {
    int32_t code = LEGACY_NO_MEMORY;
    try {
        code = verify(state, swSign, savePlain);
    } catch (...) {
        // Memory, in practice; nothing else here throws.
        code = LEGACY_NO_MEMORY;
    }
    state.errorNum = code;
    return code == OK ? S_OK : S_FALSE;
}

HRESULT showPlainText(ControlState& state) {
    state.showPlainTextFlag = 1;
    return S_OK;
}

}  // namespace members

}  // namespace qm
