#include "token/token_verification.h"

#include <new>

#include "control/state/member.h"
#include "encoding/base64.h"
#include "encoding/compression.h"
#include "messages/error_mapping.h"
#include "messages/verification.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/messages.h"
#include "token/token_message.h"

namespace qm {

int32_t tokenVerify(std::string_view messageText, std::string& content, CertInfoRecord* record) {
    content.clear();
    if (messageText.empty()) return ERR_NO_SOURCE;
    try {
        std::string der;
        if (const int32_t code = encoding::decodeBase64Wrapped(messageText, der); code != OK) return code;
        // Large messages travel compressed; anything else is left as it is.
        decompressMessage(der);

        std::optional<crypto::Verified> verified = crypto::verifyMessage(der);
        if (!verified) return mapMessageError(MessageOperation::Verification, crypto::getLastError());
        if (!verified->signer) return ERR_NO_SIGNER;
        if (const int32_t code = CheckCertificate(*verified->signer, CHECK_SIGNATURE | CHECK_CHAIN); code != OK) {
            return code;
        }
        if (record) FillCertInfo(*verified->signer, *record);
        content = std::move(verified->content);
    } catch (const std::bad_alloc&) {
        content.clear();
        return ERR_NO_MEMORY;
    }
    return OK;
}

int32_t readTlv(std::string_view content, size_t& position, uint8_t& tag, std::string& value) {
    if (position > content.size() || content.size() - position < TOKEN_HEADER_SIZE) return -1;
    const auto read = static_cast<uint8_t>(content[position]);
    const bool known = read == TOKEN_TAG_BODY || (read >= TOKEN_TAG_CSP_HASH && read <= TOKEN_TAG_PADDING);
    if (!known) return -1;
    uint64_t length = 0;
    for (size_t i = 1; i < TOKEN_HEADER_SIZE; ++i) length = (length << 8) | static_cast<uint8_t>(content[position + i]);
    const size_t valueStart = position + TOKEN_HEADER_SIZE;
    if (length > content.size() - valueStart) return -1;
    value.assign(content.substr(valueStart, static_cast<size_t>(length)));
    tag = read;
    position = valueStart + static_cast<size_t>(length);
    return 0;
}

int32_t storeAdvValue(AdvPlainTexts& slots, uint8_t tag, std::string_view value) {
    switch (tag) {
        case TOKEN_TAG_CSP_HASH: slots[0] = toWide(value); return OK;
        case TOKEN_TAG_KEY_HASH: slots[1] = toWide(value); return OK;
        case TOKEN_TAG_FILE_NAME: slots[2] = toWide(value); return OK;
        case TOKEN_TAG_FILE_DATA: slots[3] = toWide(value); return OK;
        case TOKEN_TAG_WARNING:
        case TOKEN_TAG_BODY:
        case TOKEN_TAG_PADDING: return OK;
        default: return ERR_NO_SIGNER;
    }
}

namespace members {

namespace {

constexpr std::string_view MSG_VERIFY_FAILED = "验证错误";
constexpr std::string_view MSG_BAD_TYPE = "类型错误，没有该类型的值";

}  // namespace

HRESULT QMAdvFendrelAfterwardsVerify(ControlState& state, BSTR signedMsg) {
    return runMember(
        state, nullptr,
        [&] {
            const std::optional<std::string> text = ansiArgument(signedMsg);
            if (!text) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
            std::string content;
            CertInfoRecord record;
            if (const int32_t code = tokenVerify(*text, content, &record); code != OK) fail(code, MSG_VERIFY_FAILED);
            storeCertInfo(record, state.signerCertInfo);

            // The body's own header is not looked at. An element that is
            // not one of a body's, or reaches past the content, ends the
            // walk; the slots it filled so far keep their values.
            size_t position = TOKEN_HEADER_SIZE;
            std::string value;
            while (position != content.size()) {
                uint8_t tag = 0;
                if (readTlv(content, position, tag, value) != 0) fail(ERR_NO_SIGNER, "");
                if (const int32_t code = storeAdvValue(state.advPlainText, tag, value); code != OK) fail(code, "");
            }
        },
        [&state] { clearCertInfo(state.signerCertInfo); });
}

HRESULT QMGetAdvFendrelPlainText(ControlState& state, uint32_t type, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        if (type < 1 || type > state.advPlainText.size()) fail(ERR_BAD_TYPE, MSG_BAD_TYPE);
        // A copy: reading does not consume the slot.
        return com::Bstr(state.advPlainText[type - 1]);
    });
}

}  // namespace members

}  // namespace qm
