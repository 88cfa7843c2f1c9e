#include "token/token_signing.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "certs/cert_finder.h"
#include "certs/partial_dn.h"
#include "control/state/member.h"
#include "control/state/message_box.h"
#include "encoding/base64.h"
#include "encoding/compression.h"
#include "messages/signing.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/crypto/provider.h"
#include "platform/crypto/store.h"
#include "token/der_encoder.h"
#include "token/token_message.h"

namespace qm {

namespace {

constexpr std::array<int32_t, 6> SHA1_ARCS{1, 3, 14, 3, 2, 26};
constexpr std::array<int32_t, 7> DATA_ARCS{1, 2, 840, 113549, 1, 7, 1};
constexpr std::array<int32_t, 7> SIGNED_DATA_ARCS{1, 2, 840, 113549, 1, 7, 2};

std::span<const int32_t> arcs(const auto& list) { return {list.data(), list.size()}; }

// One template on an encoder of its own; nullopt when it fails or leaves
// an element open.
std::optional<std::string> encodeOnce(std::string_view templateText, std::initializer_list<DerArg> args) {
    std::unique_ptr<DerEncoder> encoder = newDerEncoder();
    if (!encoder) return std::nullopt;
    const int32_t written = encodeTemplate(*encoder, templateText, args);
    if (written < 0 || written != encoder->length || !encoder->openElements.empty()) return std::nullopt;
    std::string bytes(encodedBytes(*encoder));
    freeDerEncoder(std::move(encoder));
    return bytes;
}

// The content-information encoding: SEQUENCE { type, [0] EXPLICIT content },
// the content handed over already encoded.
std::optional<std::string> encodeContentInfo(std::span<const int32_t> type, std::string_view content) {
    return encodeOnce("{O(A)}", {type, int32_t{0}, content});
}

std::optional<std::string> encodeSequenceOfAny(const std::array<std::string, 5>& pieces) {
    return encodeOnce("{AAAAA}", {pieces[0], pieces[1], pieces[2], pieces[3], pieces[4]});
}

// The SignerInfo through OpenSSL's structure: version 1, issuer and serial
// number copied from the certificate, SHA-1 and rsaEncryption without
// parameters, no attributes.
std::optional<std::string> encodeSignerInfo(const crypto::Certificate& signer, std::string_view signature) {
    const crypto::CallScope scope;  // leaves OpenSSL's error queue as it found it
    crypto::UniquePtr<PKCS7_SIGNER_INFO> info(PKCS7_SIGNER_INFO_new());
    if (!info || ASN1_INTEGER_set(info->version, 1) != 1 ||
        X509_NAME_set(&info->issuer_and_serial->issuer, X509_get_issuer_name(signer.x509())) != 1) {
        return std::nullopt;
    }
    crypto::UniquePtr<ASN1_INTEGER> serial(ASN1_INTEGER_dup(X509_get0_serialNumber(signer.x509())));
    if (!serial) return std::nullopt;
    crypto::UniquePtr<ASN1_INTEGER> previous(info->issuer_and_serial->serial);
    info->issuer_and_serial->serial = serial.release();
    if (signature.size() > static_cast<size_t>(std::numeric_limits<int>::max()) ||
        X509_ALGOR_set0(info->digest_alg, OBJ_nid2obj(NID_sha1), V_ASN1_UNDEF, nullptr) != 1 ||
        X509_ALGOR_set0(info->digest_enc_alg, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_UNDEF, nullptr) != 1 ||
        ASN1_STRING_set(info->enc_digest, signature.data(), static_cast<int>(signature.size())) != 1) {
        return std::nullopt;
    }
    std::string der = crypto::encodeDer(i2d_PKCS7_SIGNER_INFO, info.get());
    if (der.empty()) return std::nullopt;
    return der;
}

uint32_t readBigEndian32(std::string_view bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    return value;
}

// A provider hands its signature over least significant byte first; a
// signature that came back short of the modulus had leading zero bytes,
// which a verifier needs back.
std::string signatureInMessageOrder(std::string signature, const crypto::Certificate& signer) {
    std::reverse(signature.begin(), signature.end());
    if (const EVP_PKEY* key = X509_get0_pubkey(signer.x509())) {
        const int size = EVP_PKEY_get_size(key);
        if (size > 0 && signature.size() < static_cast<size_t>(size)) {
            signature.insert(0, static_cast<size_t>(size) - signature.size(), '\0');
        }
    }
    return signature;
}

constexpr std::string_view BOX_NO_PROVIDER = "Get Enhanced prov failed!";
constexpr std::string_view BOX_NO_PROVIDER_CAPTION = "Err";

}  // namespace

int32_t assembleSignedData(std::string_view message, const crypto::Certificate& signer,
                           std::string_view signature, std::string& output) {
    output.clear();
    try {
        // The carried content is everything behind the warning element.
        if (message.size() < TOKEN_HEADER_SIZE) return ERR_TOKEN_ASSEMBLY;
        const uint64_t warningLength = readBigEndian32(message.substr(1));
        if (warningLength > message.size() - TOKEN_HEADER_SIZE) return ERR_TOKEN_ASSEMBLY;
        const std::string_view content = message.substr(TOKEN_HEADER_SIZE + static_cast<size_t>(warningLength));
        if (content.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return ERR_TOKEN_ASSEMBLY;

        const auto version = encodeOnce("i", {int32_t{1}});
        const auto digestAlgorithms = encodeOnce("[{On}]", {arcs(SHA1_ARCS)});
        const auto octets = encodeOnce("o", {content});
        if (!version || !digestAlgorithms || !octets) return ERR_TOKEN_ASSEMBLY;
        auto contentInfo = encodeContentInfo(arcs(DATA_ARCS), *octets);
        const auto certificates = encodeOnce("(A)", {int32_t{0}, std::string_view(signer.der())});
        const auto signerInfo = encodeSignerInfo(signer, signature);
        if (!contentInfo || !certificates || !signerInfo) return ERR_TOKEN_ASSEMBLY;
        const auto signerInfos = encodeOnce("[A]", {std::string_view(*signerInfo)});
        if (!signerInfos) return ERR_TOKEN_ASSEMBLY;

        const std::array<std::string, 5> pieces{*version, *digestAlgorithms, std::move(*contentInfo), *certificates,
                                                *signerInfos};
        const auto signedData = encodeSequenceOfAny(pieces);
        if (!signedData) return ERR_TOKEN_ASSEMBLY;
        auto assembled = encodeContentInfo(arcs(SIGNED_DATA_ARCS), *signedData);
        if (!assembled) return ERR_TOKEN_ASSEMBLY;
        output = std::move(*assembled);
    } catch (const std::bad_alloc&) {
        output.clear();
        return ERR_TOKEN_ASSEMBLY;
    }
    return OK;
}

int32_t tokenSign(std::string_view message, const std::optional<std::string>& partialDnList,
                  std::string_view separator, std::string* output, uint64_t& outputLength, CertInfoRecord* record,
                  int64_t compressionThreshold) {
    if (message.empty()) return ERR_NO_SOURCE;
    if (!output) {
        outputLength = signOutputBound(message.size());
        return OK;
    }
    output->clear();
    outputLength = 0;

    try {
        // Asked for as every engine asks before it opens "MY"; its keys are
        // not the signer's.
        std::unique_ptr<crypto::ProviderContext> storeContext;
        if (acquireDefaultProvider(crypto::MS_ENHANCED_PROV, storeContext) != OK) {
            showMessageBox(BOX_NO_PROVIDER, BOX_NO_PROVIDER_CAPTION, ui::Icon::None);
            return ERR_PROVIDER;
        }
        const std::unique_ptr<crypto::Store> my = crypto::Store::openSystem("MY");
        if (!my) return ERR_STORE;
        const StoreSet stores{my.get()};
        const crypto::CertPtr cert = partialDnList ? FindCertByPartialDns(stores, *partialDnList, separator)
                                                   : ChooseAnyCert(stores, PROMPT_SIGN);
        if (!cert) return ERR_NO_CERT;

        // The key lives where the certificate's key-provider property says;
        // a property that does not read counts as none (see certificate.h),
        // and without one there is no key to sign with.
        const std::optional<crypto::KeyProvInfo>& keyProv = cert->keyProvInfo();
        if (!keyProv) return ERR_SIGN_HASH;
        const std::unique_ptr<crypto::ProviderContext> keyContext = crypto::ProviderContext::acquire(
            keyProv->containerName, keyProv->providerName, crypto::PROV_RSA_FULL, 0);
        if (!keyContext) return ERR_PROVIDER;

        std::optional<std::string> signature;
        {
            const std::unique_ptr<crypto::HashObject> hash = keyContext->createHash(crypto::OID_SHA1);
            if (!hash) return ERR_CREATE_HASH;
            if (!hash->hashData(message)) return ERR_HASH_DATA;
            signature = hash->signHash(keyProv->keySpec);
        }
        if (!signature || signature->empty()) return ERR_SIGN_HASH;

        std::string assembled;
        if (assembleSignedData(message, *cert, signatureInMessageOrder(std::move(*signature), *cert), assembled) !=
            OK) {
            return ERR_TOKEN_ASSEMBLY;
        }
        compressMessage(assembled, compressionThreshold);
        try {
            *output = encoding::encodeBase64Wrapped(assembled);
        } catch (const std::bad_alloc&) {
            return ERR_BASE64_ENCODE;
        }
        outputLength = output->size();
        if (record) FillCertInfo(*cert, *record);
    } catch (const std::bad_alloc&) {
        output->clear();
        outputLength = 0;
        return ERR_NO_MEMORY;
    }
    return OK;
}

namespace members {

namespace {

constexpr std::string_view MSG_BUILD_FAILED = "组包失败";
constexpr std::string_view MSG_SIGN_FAILED = "签名失败";
constexpr std::string_view MSG_NOT_ON_SERVER = "该接口不支持server端运行";

}  // namespace

HRESULT QMAdvFendrelAttachedSign(ControlState& state, BSTR deSignerDN, BSTR* pVal) {
    // Whatever happens, the call uses up what was staged for it.
    const Finally release([&state] {
        state.pendingPlainText.reset();
        state.warningMsg.reset();
        state.cspHashMsg.reset();
        state.keyHashMsg.reset();
        state.userFileName.reset();
        state.userFileData.reset();
    });
    return runMember(
        state, pVal,
        [&] {
            std::string built;
            if (const int32_t code = buildTokenMessage(state.warningMsg, state.cspHashMsg, state.keyHashMsg,
                                                       state.userFileName, state.userFileData, built);
                code != OK) {
                fail(code, MSG_BUILD_FAILED);
            }
            state.pendingPlainText = std::move(built);
            std::string message;
            try {
                message = *state.pendingPlainText;
            } catch (const std::bad_alloc&) {
                fail(ERR_NO_MEMORY, MSG_NO_MEMORY_ALT);
            }

            const std::optional<std::string> list = ansiArgument(deSignerDN);
            if (list) {
                switch (checkPartialDnList(*list, state.dnSplitter)) {
                    case DN_LIST_NO_SEPARATOR: fail(ERR_NO_SEPARATOR, MSG_DN_NO_SEPARATOR);
                    case DN_LIST_TOO_MANY_PARTS: fail(ERR_TOO_MANY_DNS, MSG_DN_SEPARATOR_WRONG);
                    case DN_LIST_OK: break;
                }
            }
            if (state.serverMode) fail(ERR_NO_SOURCE, MSG_NOT_ON_SERVER);

            const std::string separator = state.dnSplitter.value_or(std::string());
            uint64_t length = 0;
            if (const int32_t code =
                    tokenSign(message, list, separator, nullptr, length, nullptr, state.maxCompSize);
                code != OK) {
                fail(code, MSG_SIGN_FAILED);
            }
            std::string text;
            text.reserve(length + 1);
            CertInfoRecord record;
            if (const int32_t code = tokenSign(message, list, separator, &text, length, &record, state.maxCompSize);
                code != OK) {
                fail(code, MSG_SIGN_FAILED);
            }
            storeCertInfo(record, state.signerCertInfo);
            return toWide(text);
        },
        [&state] { clearCertInfo(state.signerCertInfo); });
}

}  // namespace members

}  // namespace qm
