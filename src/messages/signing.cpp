#include "messages/signing.h"

#include <memory>

#include "certs/cert_finder.h"
#include "certs/dn_list_argument.h"
#include "control/state/member.h"
#include "encoding/base64.h"
#include "messages/error_mapping.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/messages.h"

namespace qm {

uint64_t signOutputBound(uint64_t n) {
    const uint64_t q = (n + 2000) / 3;
    return 4 * q + q / 16 + 1004;
}

namespace {

enum class SignerBy { PartialDns, Serial };

// What names the signer: a partial-DN list with its separator, or a serial
// list with its issuer; neither means the user chooses among all.
struct SignerName {
    SignerBy by;
    const std::optional<std::string>& text;
    std::string_view qualifier;  // the separator, or the issuer DN text
};

int32_t signWith(std::string_view data, bool detached, const SignerName& signer, std::string* output,
                 uint64_t& outputLength, CertInfoRecord* record) {
    if (!output) {
        outputLength = signOutputBound(data.size());
        return OK;
    }
    output->clear();

    // The provider handle is asked for as the store opening always asked for
    // it; nothing here uses its keys.
    std::unique_ptr<crypto::ProviderContext> provider;
    if (acquireDefaultProvider(crypto::MS_ENHANCED_PROV, provider) != OK) return ERR_PROVIDER;
    const std::unique_ptr<crypto::Store> my = crypto::Store::openSystem("MY");
    if (!my) return ERR_STORE;
    const StoreSet stores{my.get()};

    crypto::CertPtr cert;
    if (!signer.text) {
        cert = ChooseAnyCert(stores, PROMPT_SIGN);
    } else if (signer.by == SignerBy::PartialDns) {
        cert = FindCertByPartialDns(stores, *signer.text, signer.qualifier);
    } else {
        cert = FindCertBySerial(stores, *signer.text, signer.qualifier);
    }
    if (!cert) return ERR_NO_CERT;

    // The size pass. Signing by partial-DN list has always passed an error
    // here that the mapping does not name on to the page as the platform's
    // own value; signing by serial number maps it like any other.
    if (!crypto::signedMessageSize(cert, data.size(), detached)) {
        const uint32_t error = crypto::getLastError();
        return signer.by == SignerBy::PartialDns ? signSizePassError(error)
                                                 : mapMessageError(MessageOperation::Signing, error);
    }
    const std::optional<std::string> message = crypto::signMessage(cert, data, detached);
    if (!message) return mapMessageError(MessageOperation::Signing, crypto::getLastError());

    try {
        *output = encoding::encodeBase64Wrapped(*message);
    } catch (const std::bad_alloc&) {
        return ERR_BASE64_ENCODE;
    }
    outputLength = output->size();
    if (record) FillCertInfo(*cert, *record);
    return OK;
}

}  // namespace

int32_t SignMessage(std::string_view data, bool detached, const std::optional<std::string>& partialDnList,
                    std::string_view separator, std::string* output, uint64_t& outputLength, CertInfoRecord* record) {
    return runEngine([&] {
        return signWith(data, detached, {SignerBy::PartialDns, partialDnList, separator}, output, outputLength,
                        record);
    });
}

int32_t SignMessageBySerial(std::string_view data, bool detached, const std::optional<std::string>& serialList,
                            std::string_view issuerDn, std::string* output, uint64_t& outputLength,
                            CertInfoRecord* record) {
    return runEngine(
        [&] { return signWith(data, detached, {SignerBy::Serial, serialList, issuerDn}, output, outputLength, record); });
}

namespace members {

namespace {

constexpr std::string_view MSG_SIGN_FAILED = "签名失败";
constexpr std::string_view MSG_NEED_DEFAULT_DN = "必须设置默认证书DN";

std::string separatorOf(const ControlState& state) { return state.dnSplitter.value_or(std::string()); }

std::string dataArgument(BSTR plainText) {
    std::optional<std::string> data = ansiArgument(plainText);
    if (!data) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
    return std::move(*data);
}

// The common end of every signing member: the signature and the signer's
// information, or the engine's code with "签名失败".
com::Bstr finish(ControlState& state, int32_t code, const std::string& text, const CertInfoRecord& record) {
    if (code != OK) fail(code, MSG_SIGN_FAILED);
    storeCertInfo(record, state.signerCertInfo);
    return toWide(text);
}

com::Bstr signByPartialDns(ControlState& state, std::string_view data, bool detached, BSTR deSignerDN) {
    const std::optional<std::string> list = dnListArgument(state, deSignerDN);
    if (!list && state.serverMode) fail(ERR_NO_SOURCE, MSG_NEED_DEFAULT_DN);
    const std::string separator = separatorOf(state);
    uint64_t length = 0;
    if (const int32_t code = SignMessage(data, detached, list, separator, nullptr, length, nullptr); code != OK) {
        fail(code, MSG_SIGN_FAILED);
    }
    std::string text;
    text.reserve(length + 1);
    CertInfoRecord record;
    const int32_t code = SignMessage(data, detached, list, separator, &text, length, &record);
    return finish(state, code, text, record);
}

com::Bstr signBySerial(ControlState& state, std::string_view data, bool detached, BSTR deSignerSN,
                       std::optional<BSTR> issuerDN) {
    const std::optional<std::string> serials = ansiArgument(deSignerSN);
    std::string issuer(defaultSerialIssuer);
    if (issuerDN) {
        if (std::optional<std::string> given = ansiArgument(*issuerDN)) issuer = std::move(*given);
    }
    if (!serials && state.serverMode) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
    uint64_t length = 0;
    if (const int32_t code = SignMessageBySerial(data, detached, serials, issuer, nullptr, length, nullptr);
        code != OK) {
        fail(code, MSG_SIGN_FAILED);
    }
    std::string text;
    text.reserve(length + 1);
    CertInfoRecord record;
    // Without serial numbers the user chooses among all certificates.
    const int32_t code = serials
                             ? SignMessageBySerial(data, detached, serials, issuer, &text, length, &record)
                             : SignMessage(data, detached, std::nullopt, separatorOf(state), &text, length, &record);
    return finish(state, code, text, record);
}

// Every failure of a signing member, whatever its reason, clears the
// signer's information.
auto clearSigner(ControlState& state) {
    return [&state] { clearCertInfo(state.signerCertInfo); };
}

// The members that consume the staged plaintext release it whatever the
// outcome.
auto releaseStaged(ControlState& state) {
    return Finally([&state] { state.pendingPlainText.reset(); });
}

}  // namespace

HRESULT QMDetachedSign(ControlState& state, BSTR plainText, BSTR deSignerDN, BSTR* pVal) {
    return runMember(
        state, pVal,
        [&] {
            const std::string data = dataArgument(plainText);
            return signByPartialDns(state, data, true, deSignerDN);
        },
        clearSigner(state));
}

HRESULT QMAttachedSign(ControlState& state, BSTR deSignerDN, BSTR* pVal) {
    const auto release = releaseStaged(state);
    return runMember(
        state, pVal,
        [&] {
            const std::string data = stagedPlainTextCopy(state);
            return signByPartialDns(state, data, false, deSignerDN);
        },
        clearSigner(state));
}

HRESULT QMAttachedSignBySN(ControlState& state, BSTR deSignerSN, BSTR* pVal) {
    const auto release = releaseStaged(state);
    return runMember(
        state, pVal,
        [&] {
            const std::string data = stagedPlainTextCopy(state);
            return signBySerial(state, data, false, deSignerSN, std::nullopt);
        },
        clearSigner(state));
}

HRESULT QMAttachedSignByIssuerSN(ControlState& state, BSTR deSignerSN, BSTR issuerDN, BSTR* pVal) {
    const auto release = releaseStaged(state);
    return runMember(
        state, pVal,
        [&] {
            const std::string data = stagedPlainTextCopy(state);
            return signBySerial(state, data, false, deSignerSN, issuerDN);
        },
        clearSigner(state));
}

HRESULT QMDetachedSignBySN(ControlState& state, BSTR plainText, BSTR deSignerSN, BSTR* pVal) {
    // It signs its argument, yet releases the staged plaintext all the same.
    const auto release = releaseStaged(state);
    return runMember(
        state, pVal,
        [&] {
            const std::string data = dataArgument(plainText);
            return signBySerial(state, data, true, deSignerSN, std::nullopt);
        },
        clearSigner(state));
}

HRESULT QMDetachedSignByIssuerSN(ControlState& state, BSTR plainText, BSTR deSignerSN, BSTR issuerDN, BSTR* pVal) {
    const auto release = releaseStaged(state);
    return runMember(
        state, pVal,
        [&] {
            const std::string data = dataArgument(plainText);
            return signBySerial(state, data, true, deSignerSN, issuerDN);
        },
        clearSigner(state));
}

}  // namespace members

}  // namespace qm
