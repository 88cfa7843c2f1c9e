#include "messages/envelopes.h"

#include <memory>
#include <vector>

#include "certs/cert_finder.h"
#include "certs/dn_list_argument.h"
#include "control/state/member.h"
#include "encoding/base64.h"
#include "messages/error_mapping.h"
#include "messages/signing.h"
#include "messages/verification.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/messages.h"

namespace qm {

namespace {

using StoreHandles = std::vector<std::unique_ptr<crypto::Store>>;

// Opens the stores in order; the first that does not open fails the whole.
int32_t openStores(std::initializer_list<const char*> names, StoreHandles& handles, StoreSet& stores) {
    for (const char* name : names) {
        auto store = crypto::Store::openSystem(name);
        if (!store) return ERR_STORE;
        stores.push_back(store.get());
        handles.push_back(std::move(store));
    }
    return OK;
}

crypto::CertPtr findRecipient(const StoreSet& recipientStores, const std::optional<std::string>& list,
                              std::string_view separator) {
    return list ? FindCertByPartialDns(recipientStores, *list, separator)
                : ChooseAnyCert(recipientStores, PROMPT_ENCRYPT);
}

int32_t encode(const std::string& message, std::string& output, uint64_t& outputLength) {
    try {
        output = encoding::encodeBase64Wrapped(message);
    } catch (const std::bad_alloc&) {
        return ERR_BASE64_ENCODE;
    }
    outputLength = output.size();
    return OK;
}

int32_t decode(std::string_view text, std::string& der) {
    try {
        return encoding::decodeBase64Wrapped(text, der);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
}

int32_t seal(std::string_view content, const std::optional<std::string>& recipientList, std::string_view separator,
             std::string* output, uint64_t& outputLength, CertInfoRecord* recipientRecord) {
    if (!output) {
        outputLength = signOutputBound(content.size());
        return OK;
    }
    output->clear();
    std::unique_ptr<crypto::ProviderContext> provider;
    if (acquireDefaultProvider(crypto::MS_DEF_PROV, provider) != OK) return ERR_PROVIDER;
    StoreHandles handles;
    StoreSet recipientStores;
    if (openStores({"CA", "ROOT", "AddressBOOK"}, handles, recipientStores) != OK) return ERR_STORE;
    const crypto::CertPtr recipient = findRecipient(recipientStores, recipientList, separator);
    if (!recipient) return ERR_NO_CERT;

    const std::optional<std::string> message = crypto::encryptMessage(recipient, content);
    if (!message) return mapMessageError(MessageOperation::Encryption, crypto::getLastError());
    if (const int32_t code = encode(*message, *output, outputLength); code != OK) return code;
    if (recipientRecord) FillCertInfo(*recipient, *recipientRecord);
    return OK;
}

// Decodes an envelope's text and opens it with a key of the user's "MY"
// store, the Base provider held for the call; `signedInside` says the
// content is a signed message to verify as well.
int32_t openEnvelopeText(std::string_view envelopeText, bool signedInside, crypto::Opened& opened) {
    std::string der;
    if (const int32_t code = decode(envelopeText, der); code != OK) return code;
    std::unique_ptr<crypto::ProviderContext> provider;
    if (acquireDefaultProvider(crypto::MS_DEF_PROV, provider) != OK) return ERR_PROVIDER;
    const auto my = crypto::Store::openSystem("MY");
    if (!my) return ERR_STORE;

    std::optional<crypto::Opened> result = signedInside ? crypto::decryptAndVerifyMessage({my.get()}, der)
                                                        : crypto::decryptMessage({my.get()}, der);
    if (!result) return mapMessageError(MessageOperation::Decryption, crypto::getLastError());
    opened = std::move(*result);
    return OK;
}

int32_t openPlain(std::string_view envelopeText, std::string* output, uint64_t& outputLength,
                  CertInfoRecord* recipientRecord) {
    if (!output) {
        outputLength = envelopeText.size();
        return OK;
    }
    output->clear();
    crypto::Opened opened;
    if (const int32_t code = openEnvelopeText(envelopeText, false, opened); code != OK) return code;
    *output = std::move(opened.content);
    outputLength = output->size();
    if (recipientRecord && opened.recipient) FillCertInfo(*opened.recipient, *recipientRecord);
    return OK;
}

int32_t signAndSeal(std::string_view content, const std::optional<std::string>& signerList,
                    const std::optional<std::string>& recipientList, std::string_view separator, std::string* output,
                    uint64_t& outputLength, CertInfoRecord* signerRecord, CertInfoRecord* recipientRecord) {
    if (!output) {
        outputLength = signOutputBound(content.size());
        return OK;
    }
    output->clear();
    std::unique_ptr<crypto::ProviderContext> provider;
    if (acquireDefaultProvider(crypto::MS_DEF_PROV, provider) != OK) return ERR_PROVIDER;
    StoreHandles handles;
    StoreSet all;
    if (openStores({"CA", "ROOT", "AddressBOOK", "MY"}, handles, all) != OK) return ERR_STORE;
    const StoreSet recipientStores(all.begin(), all.begin() + 3);
    const StoreSet my{all[3]};

    const crypto::CertPtr signer =
        signerList ? FindCertByPartialDns(my, *signerList, separator) : ChooseAnyCert(my, PROMPT_SIGN);
    if (!signer) return ERR_NO_CERT;
    const crypto::CertPtr recipient = findRecipient(recipientStores, recipientList, separator);
    if (!recipient) return ERR_NO_CERT;

    const std::optional<std::string> message = crypto::signAndEncryptMessage(signer, recipient, content);
    if (!message) return mapMessageError(MessageOperation::Encryption, crypto::getLastError());
    if (const int32_t code = encode(*message, *output, outputLength); code != OK) return code;
    if (signerRecord) FillCertInfo(*signer, *signerRecord);
    if (recipientRecord) FillCertInfo(*recipient, *recipientRecord);
    return OK;
}

int32_t openAndVerify(std::string_view envelopeText, std::string* output, uint64_t& outputLength,
                      CertInfoRecord* signerRecord, CertInfoRecord* recipientRecord) {
    if (!output) {
        outputLength = envelopeText.size();
        return OK;
    }
    output->clear();
    crypto::Opened opened;
    if (const int32_t code = openEnvelopeText(envelopeText, true, opened); code != OK) return code;
    if (!opened.signer) return ERR_NO_SIGNER;
    if (const int32_t code = CheckCertificate(*opened.signer, CHECK_ALL); code != OK) return code;
    *output = std::move(opened.content);
    outputLength = output->size();
    if (signerRecord) FillCertInfo(*opened.signer, *signerRecord);
    if (recipientRecord && opened.recipient) FillCertInfo(*opened.recipient, *recipientRecord);
    return OK;
}

}  // namespace

int32_t SealEnvelope(std::string_view content, const std::optional<std::string>& recipientList,
                     std::string_view separator, std::string* output, uint64_t& outputLength,
                     CertInfoRecord* recipientRecord) {
    return runEngine([&] { return seal(content, recipientList, separator, output, outputLength, recipientRecord); });
}

int32_t OpenEnvelope(std::string_view envelopeText, std::string* output, uint64_t& outputLength,
                     CertInfoRecord* recipientRecord) {
    return runEngine([&] { return openPlain(envelopeText, output, outputLength, recipientRecord); });
}

int32_t SignAndSealEnvelope(std::string_view content, const std::optional<std::string>& signerList,
                            const std::optional<std::string>& recipientList, std::string_view separator,
                            std::string* output, uint64_t& outputLength, CertInfoRecord* signerRecord,
                            CertInfoRecord* recipientRecord) {
    return runEngine([&] {
        return signAndSeal(content, signerList, recipientList, separator, output, outputLength, signerRecord,
                           recipientRecord);
    });
}

int32_t OpenAndVerifyEnvelope(std::string_view envelopeText, std::string* output, uint64_t& outputLength,
                              CertInfoRecord* signerRecord, CertInfoRecord* recipientRecord) {
    return runEngine(
        [&] { return openAndVerify(envelopeText, output, outputLength, signerRecord, recipientRecord); });
}

namespace members {

namespace {

constexpr std::string_view MSG_ENCRYPT_FAILED = "加密失败";
constexpr std::string_view MSG_DECRYPT_FAILED = "解密错误";
constexpr std::string_view MSG_SIGNER_TOO_MANY = "指定签名部分DN最多为5个";
constexpr std::string_view MSG_RECIPIENT_TOO_MANY = "指定加密部分DN最多为5个";

std::string envelopeArgument(BSTR text) {
    std::optional<std::string> ansi = ansiArgument(text);
    if (!ansi) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
    return std::move(*ansi);
}

}  // namespace

HRESULT QMEncryptedEnvelop(ControlState& state, BSTR deReciptDN, BSTR* pVal) {
    // The staged plaintext is consumed by every call, sealed or not.
    const Finally release([&state] { state.pendingPlainText.reset(); });
    return runMember(
        state, pVal,
        [&] {
            const std::string content = stagedPlainTextCopy(state);
            const std::optional<std::string> recipients = dnListArgument(state, deReciptDN);
            if (!recipients && state.serverMode) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
            const std::string separator = state.dnSplitter.value_or(std::string());
            uint64_t length = 0;
            SealEnvelope(content, recipients, separator, nullptr, length, nullptr);
            std::string text;
            text.reserve(length + 1);
            CertInfoRecord record;
            if (const int32_t code = SealEnvelope(content, recipients, separator, &text, length, &record); code != OK) {
                fail(code, MSG_ENCRYPT_FAILED);
            }
            storeCertInfo(record, state.reciptCertInfo);
            return toWide(text);
        },
        [&] { clearCertInfo(state.reciptCertInfo); });
}

HRESULT QMSignedAndEncryptedEnvelop(ControlState& state, BSTR deSignerDN, BSTR deReciptDN, BSTR* pVal) {
    const Finally release([&state] { state.pendingPlainText.reset(); });
    return runMember(
        state, pVal,
        [&] {
            const std::string content = stagedPlainTextCopy(state);
            const std::optional<std::string> signers = dnListArgument(state, deSignerDN, MSG_SIGNER_TOO_MANY);
            const std::optional<std::string> recipients = dnListArgument(state, deReciptDN, MSG_RECIPIENT_TOO_MANY);
            if (state.serverMode && (!recipients || !signers)) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
            const std::string separator = state.dnSplitter.value_or(std::string());
            uint64_t length = 0;
            SignAndSealEnvelope(content, signers, recipients, separator, nullptr, length, nullptr, nullptr);
            std::string text;
            text.reserve(length + 1);
            CertInfoRecord signer;
            CertInfoRecord recipient;
            if (const int32_t code =
                    SignAndSealEnvelope(content, signers, recipients, separator, &text, length, &signer, &recipient);
                code != OK) {
                fail(code, MSG_ENCRYPT_FAILED);
            }
            storeCertInfo(recipient, state.reciptCertInfo);
            storeCertInfo(signer, state.signerCertInfo);
            return toWide(text);
        },
        [&] {
            clearCertInfo(state.reciptCertInfo);
            clearCertInfo(state.signerCertInfo);
        });
}

HRESULT QMDecryptEnvelop(ControlState& state, BSTR envelopedMsg) {
    return runMember(
        state, nullptr,
        [&] {
            const std::string text = envelopeArgument(envelopedMsg);
            std::string content;
            uint64_t length = 0;
            CertInfoRecord record;
            if (const int32_t code = OpenEnvelope(text, &content, length, &record); code != OK) {
                fail(code, MSG_DECRYPT_FAILED);
            }
            storeCertInfo(record, state.reciptCertInfo);
            state.receivedPlainText = std::move(content);
        },
        [&] { clearCertInfo(state.reciptCertInfo); });
}

HRESULT QMDecryptedAndVerifiedEnvelop(ControlState& state, BSTR signedAndEnvelopedMsg) {
    return runMember(
        state, nullptr,
        [&] {
            const std::string text = envelopeArgument(signedAndEnvelopedMsg);
            std::string content;
            uint64_t length = 0;
            CertInfoRecord signer;
            CertInfoRecord recipient;
            if (const int32_t code = OpenAndVerifyEnvelope(text, &content, length, &signer, &recipient); code != OK) {
                fail(code, MSG_DECRYPT_FAILED);
            }
            storeCertInfo(recipient, state.reciptCertInfo);
            storeCertInfo(signer, state.signerCertInfo);
            state.receivedPlainText = std::move(content);
        },
        [&] {
            clearCertInfo(state.reciptCertInfo);
            clearCertInfo(state.signerCertInfo);
        });
}

}  // namespace members

}  // namespace qm
