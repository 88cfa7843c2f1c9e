#include "messages/verification.h"

#include <memory>

#include "control/state/member.h"
#include "encoding/base64.h"
#include "messages/error_mapping.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/messages.h"
#include "platform/crypto/store.h"
#include "platform/crypto/trust.h"

namespace qm {

namespace {

crypto::CertPtr findIssuer(const crypto::Certificate& certificate) {
    // The issuer found in "CA" is used even when "Root" holds another.
    for (const char* name : {"CA", "Root"}) {
        if (const auto store = crypto::Store::openSystem(name)) {
            if (crypto::CertPtr issuer = store->findBySubjectName(certificate.issuerDer())) return issuer;
        }
    }
    return nullptr;
}

// True when the check asked for with `flag` leaves it set.
bool stillSet(const crypto::Certificate& subject, const crypto::Certificate& issuer, uint32_t flag,
              uint32_t* left = nullptr) {
    uint32_t flags = flag;
    if (!crypto::verifySubjectCertificate(subject, issuer, flags)) return true;
    if (left) *left = flags;
    return (flags & flag) != 0;
}

}  // namespace

int32_t CheckCertificate(const crypto::Certificate& certificate, uint32_t checks) {
    const crypto::CertPtr issuer = findIssuer(certificate);
    if (!issuer) return ERR_NO_ISSUER;

    if ((checks & CHECK_SIGNATURE) && stillSet(certificate, *issuer, crypto::CERT_STORE_SIGNATURE_FLAG)) {
        return ERR_CERT_SIGNATURE;
    }
    if ((checks & CHECK_VALIDITY) && stillSet(certificate, *issuer, crypto::CERT_STORE_TIME_VALIDITY_FLAG)) {
        return ERR_CERT_EXPIRED;
    }
    if (checks & CHECK_REVOCATION) {
        uint32_t left = crypto::CERT_STORE_REVOCATION_FLAG;
        // No revocation list for the issuer: the check passes.
        if (stillSet(certificate, *issuer, crypto::CERT_STORE_REVOCATION_FLAG, &left) &&
            !(left & crypto::CERT_STORE_NO_CRL_FLAG)) {
            return ERR_CERT_REVOKED;
        }
    }
    if (checks & CHECK_CHAIN) {
        const crypto::ChainPolicyStatus chain = crypto::verifyCertificateChain(certificate);
        // The control tolerates expiry here: the validity check above is the
        // one that refuses an expired signer.
        if (!chain.built || (chain.error != 0 && chain.error != crypto::CERT_E_EXPIRED &&
                             chain.error != crypto::CERT_E_VALIDITYPERIODNESTING)) {
            return ERR_CERT_CHAIN;
        }
    }
    return OK;
}

namespace {

int32_t verify(std::string_view messageText, std::string_view input, std::string* content, CertInfoRecord* record) {
    std::string der;
    if (const int32_t code = encoding::decodeBase64Wrapped(messageText, der); code != OK) return code;

    crypto::CertPtr signer;
    std::optional<std::string> carried;
    if (std::optional<crypto::Verified> attached = crypto::verifyMessage(der)) {
        signer = std::move(attached->signer);
        carried = std::move(attached->content);
    } else {
        // Whatever made the attached attempt fail, the message is tried as a
        // detached signature over the data given.
        if (input.empty()) return ERR_NO_SOURCE;
        signer = crypto::verifyDetachedMessage(der, input);
        if (!signer) return mapMessageError(MessageOperation::Verification, crypto::getLastError());
    }
    if (!signer) return ERR_NO_SIGNER;
    if (const int32_t code = CheckCertificate(*signer, CHECK_ALL); code != OK) return code;
    // Extracted content goes only into an output area, never over input.
    if (carried && content) *content = std::move(*carried);
    if (record) FillCertInfo(*signer, *record);
    return OK;
}

}  // namespace

int32_t VerifyMessage(std::string_view messageText, std::string_view input, std::string* content,
                      CertInfoRecord* record) {
    return runEngine([&] { return verify(messageText, input, content, record); });
}

namespace members {

namespace {

constexpr std::string_view MSG_VERIFY_FAILED = "验证错误";

std::string messageArgument(BSTR text) {
    std::optional<std::string> ansi = ansiArgument(text);
    if (!ansi) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
    return std::move(*ansi);
}

}  // namespace

HRESULT QMDetachedVerify(ControlState& state, BSTR signedMsg, BSTR plainText) {
    return runMember(
        state, nullptr,
        [&] {
            const std::string plain = messageArgument(plainText);
            const std::string message = messageArgument(signedMsg);
            CertInfoRecord record;
            if (const int32_t code = VerifyMessage(message, plain, nullptr, &record); code != OK) {
                fail(code, MSG_VERIFY_FAILED);
            }
            storeCertInfo(record, state.signerCertInfo);
        },
        [&] { clearCertInfo(state.signerCertInfo); });
}

HRESULT QMAttachedVerify(ControlState& state, BSTR signedMsg) {
    return runMember(
        state, nullptr,
        [&] {
            const std::string message = messageArgument(signedMsg);
            // The area the content comes back in is as long as the message
            // text; a message that carries no content is verified as a
            // detached one over this zero-filled area, and fails.
            std::string area;
            try {
                area.assign(message.size(), '\0');
            } catch (const std::bad_alloc&) {
                fail(ERR_NO_MEMORY, MSG_NO_MEMORY);
            }
            std::string content;
            CertInfoRecord record;
            if (const int32_t code = VerifyMessage(message, area, &content, &record); code != OK) {
                fail(code, MSG_VERIFY_FAILED);
            }
            storeCertInfo(record, state.signerCertInfo);
            state.receivedPlainText = std::move(content);
        },
        [&] { clearCertInfo(state.signerCertInfo); });
}

HRESULT QMSetPlainText(ControlState& state, BSTR plainText) {
    return runMember(state, nullptr, [&] { state.pendingPlainText = messageArgument(plainText); });
}

HRESULT QMGetPlainText(ControlState& state, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        // Not consumed: it can be read again.
        const Text& received = settleReceivedPlainText(state);
        return toWide(received ? std::string_view(*received) : std::string_view());
    });
}

}  // namespace members

}  // namespace qm
