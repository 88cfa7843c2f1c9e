#include "platform/crypto/messages.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>

#include <climits>
#include <new>

#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/provider.h"

namespace crypto {
namespace {

// ASN.1 strings hold int lengths; well below that, content this large is
// no message anyone sends.
constexpr size_t MAX_CONTENT = size_t{1} << 30;

// Runs a service body and turns a failed allocation into the memory code.
template <typename Body>
auto guarded(Body body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        setLastError(NTE_NO_MEMORY);
        return {};
    }
}

const unsigned char* bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::string_view view(const ASN1_STRING* string) {
    if (string == nullptr) return {};
    return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(string)), static_cast<size_t>(ASN1_STRING_length(string))};
}

void wipe(std::string& secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

// --- DER sizes ---------------------------------------------------------------

// The size of a TLV (one tag byte) with `length` content bytes.
size_t tlvSize(size_t length) {
    size_t size = 2 + length;
    if (length >= 0x80) {
        for (size_t n = length; n != 0; n >>= 8) ++size;
    }
    return size;
}

// The content length of a TLV of `size` bytes (tlvSize is strictly
// increasing, so there is exactly one).
size_t tlvContentLength(size_t size) {
    for (size_t lengthBytes = 1; lengthBytes <= 9 && lengthBytes + 1 <= size; ++lengthBytes) {
        const size_t length = size - 1 - lengthBytes;
        if (tlvSize(length) == size) return length;
    }
    return 0;
}

std::string derTlv(unsigned char tag, std::string_view content) {
    std::string out(1, static_cast<char>(tag));
    if (content.size() < 0x80) {
        out += static_cast<char>(content.size());
    } else {
        std::string length;
        for (size_t n = content.size(); n != 0; n >>= 8) length.insert(length.begin(), static_cast<char>(n & 0xFF));
        out += static_cast<char>(0x80 | length.size());
        out += length;
    }
    out.append(content);
    return out;
}

// --- Digests and RSA -----------------------------------------------------------

UniquePtr<EVP_MD> fetchDigest(const char* name) {
    return UniquePtr<EVP_MD>(EVP_MD_fetch(libraryContext(), name, PROPERTY_QUERY));
}

std::optional<std::string> digestOf(const EVP_MD* md, std::string_view data) {
    std::string digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), reinterpret_cast<unsigned char*>(digest.data()), &length, md, nullptr) != 1) {
        return std::nullopt;
    }
    digest.resize(length);
    return digest;
}

bool isRsa(const EVP_PKEY* key) { return key != nullptr && EVP_PKEY_is_a(key, "RSA"); }

// Whether `signature` is the PKCS #1 v1.5 signature of `digest` under `key`.
bool verifyPkcs1(EVP_PKEY* key, const EVP_MD* md, std::string_view digest, std::string_view signature) {
    UniquePtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(libraryContext(), key, PROPERTY_QUERY));
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), md) == 1 &&
           EVP_PKEY_verify(context.get(), bytes(signature), signature.size(), bytes(digest), digest.size()) == 1;
}

// A SignerInfo may name the key's algorithm (rsaEncryption, as PKCS #7
// says) or the signature algorithm (sha1WithRSAEncryption, as some
// implementations write); both mean PKCS #1 v1.5.
bool isRsaSignatureAlgorithm(const ASN1_OBJECT* algorithm) {
    const int nid = OBJ_obj2nid(algorithm);
    if (nid == NID_rsaEncryption) return true;
    int digestNid = NID_undef;
    int keyNid = NID_undef;
    return nid != NID_undef && OBJ_find_sigid_algs(nid, &digestNid, &keyNid) == 1 && keyNid == NID_rsaEncryption;
}

std::string dottedOid(const ASN1_OBJECT* object) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof text) return {};
    return std::string(text, static_cast<size_t>(length));
}

// --- Messages ------------------------------------------------------------------

UniquePtr<PKCS7> newMessage() { return UniquePtr<PKCS7>(PKCS7_new_ex(libraryContext(), PROPERTY_QUERY)); }

// The message in `der`, decoded in our library context; nullptr with the
// last error set.
UniquePtr<PKCS7> decodeMessage(std::string_view der) {
    auto message = newMessage();
    if (!message || der.size() > static_cast<size_t>(LONG_MAX)) {
        setLastError(errorFromOpenSsl(NTE_NO_MEMORY));
        return nullptr;
    }
    const unsigned char* p = bytes(der);
    PKCS7* raw = message.release();
    // On failure d2i frees what it was given and leaves nullptr behind.
    PKCS7* decoded = d2i_PKCS7(&raw, &p, static_cast<long>(der.size()));
    UniquePtr<PKCS7> owned(raw);
    if (decoded == nullptr) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return nullptr;
    }
    return owned;
}

std::optional<std::string> encodeMessage(PKCS7* message) {
    std::string der = encodeDer(i2d_PKCS7, message);
    if (der.empty()) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return std::nullopt;
    }
    return der;
}

// The SignedData of a decoded message; nullptr with the last error set for
// a message of another type. A ContentInfo may leave its content out; a
// signedData without one is as broken as bytes that do not decode.
PKCS7_SIGNED* signedDataOf(PKCS7* message) {
    if (!PKCS7_type_is_signed(message)) {
        setLastError(CRYPT_E_UNEXPECTED_MSG_TYPE);
        return nullptr;
    }
    if (message->d.sign == nullptr || message->d.sign->contents == nullptr) {
        setLastError(CRYPT_E_OSS_ERROR);
        return nullptr;
    }
    return message->d.sign;
}

PKCS7_ENVELOPE* envelopeOf(PKCS7* message) {
    if (!PKCS7_type_is_enveloped(message)) {
        setLastError(CRYPT_E_UNEXPECTED_MSG_TYPE);
        return nullptr;
    }
    if (message->d.enveloped == nullptr || message->d.enveloped->enc_data == nullptr ||
        message->d.enveloped->enc_data->algorithm == nullptr) {
        setLastError(CRYPT_E_OSS_ERROR);
        return nullptr;
    }
    return message->d.enveloped;
}

// The SignedData of the messages made here, with `signature` (most
// significant byte first) as the signer's. nullopt content: detached.
UniquePtr<PKCS7> buildSignedData(const Certificate& signer, std::string_view signature,
                                 std::optional<std::string_view> content) {
    auto message = newMessage();
    if (!message || PKCS7_set_type(message.get(), NID_pkcs7_signed) != 1) return nullptr;

    UniquePtr<PKCS7_SIGNER_INFO> info(PKCS7_SIGNER_INFO_new());
    if (!info || ASN1_INTEGER_set(info->version, 1) != 1 ||
        X509_NAME_set(&info->issuer_and_serial->issuer, X509_get_issuer_name(signer.x509())) != 1) {
        return nullptr;
    }
    UniquePtr<ASN1_INTEGER> serial(ASN1_INTEGER_dup(X509_get0_serialNumber(signer.x509())));
    if (!serial) return nullptr;
    UniquePtr<ASN1_INTEGER> previous(info->issuer_and_serial->serial);
    info->issuer_and_serial->serial = serial.release();

    if (X509_ALGOR_set0(info->digest_alg, OBJ_nid2obj(NID_sha1), V_ASN1_NULL, nullptr) != 1 ||
        X509_ALGOR_set0(info->digest_enc_alg, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL, nullptr) != 1 ||
        ASN1_STRING_set(info->enc_digest, signature.data(), static_cast<int>(signature.size())) != 1) {
        return nullptr;
    }
    // Adds SHA-1 to digestAlgorithms as well; the message owns the
    // SignerInfo from here on.
    if (PKCS7_add_signer(message.get(), info.get()) != 1) return nullptr;
    info.release();

    if (PKCS7_add_certificate(message.get(), signer.x509()) != 1 ||
        PKCS7_content_new(message.get(), NID_pkcs7_data) != 1) {
        return nullptr;
    }
    PKCS7* inner = message->d.sign->contents;
    if (content) {
        if (ASN1_OCTET_STRING_set(inner->d.data, bytes(*content), static_cast<int>(content->size())) != 1) {
            return nullptr;
        }
    } else if (PKCS7_set_detached(message.get(), 1) != 1) {
        return nullptr;
    }
    return message;
}

// The signer's provider, key spec and the length of its signatures: what
// both passes of signing need before they sign. nullopt with the last
// error set.
struct SigningKey {
    std::unique_ptr<ProviderContext> provider;
    uint32_t keySpec = 0;
    size_t signatureLength = 0;
};

std::optional<SigningKey> signingKeyOf(const CertPtr& signer) {
    if (!signer) {
        setLastError(E_INVALIDARG);
        return std::nullopt;
    }
    auto provider = acquireCertificateKey(*signer);
    if (!provider) return std::nullopt;
    EVP_PKEY* publicKey = X509_get0_pubkey(signer->x509());
    if (!isRsa(publicKey)) {
        setLastError(NTE_BAD_KEY);
        return std::nullopt;
    }
    const int size = EVP_PKEY_get_size(publicKey);
    if (size <= 0) {
        setLastError(errorFromOpenSsl(NTE_BAD_KEY));
        return std::nullopt;
    }
    return SigningKey{std::move(provider), signer->keyProvInfo()->keySpec, static_cast<size_t>(size)};
}

std::optional<std::string> signContent(const CertPtr& signer, std::string_view data, bool detached) {
    if (data.size() >= MAX_CONTENT) {
        setLastError(E_INVALIDARG);
        return std::nullopt;
    }
    auto key = signingKeyOf(signer);
    if (!key) return std::nullopt;
    const auto md = fetchDigest("SHA1");
    const auto digest = md ? digestOf(md.get(), data) : std::nullopt;
    if (!digest) {
        setLastError(errorFromOpenSsl(CRYPT_E_UNKNOWN_ALGO));
        return std::nullopt;
    }
    auto signature = key->provider->signDigest(key->keySpec, NID_sha1, *digest);
    if (!signature) return std::nullopt;
    // A PKCS #1 signature is as long as the modulus; a provider that drops
    // leading zero bytes gets them back, so that the size pass holds.
    if (signature->size() < key->signatureLength) signature->insert(0, key->signatureLength - signature->size(), '\0');
    // A container that holds some other key than the certificate's signs
    // without complaint; the message would then fail every verification.
    // Better to say so here, where it can still be mended.
    if (signature->size() != key->signatureLength ||
        !verifyPkcs1(X509_get0_pubkey(signer->x509()), md.get(), *digest, *signature)) {
        ERR_clear_error();
        setLastError(NTE_BAD_KEY);
        return std::nullopt;
    }
    auto message = buildSignedData(*signer, *signature, detached ? std::nullopt : std::optional(data));
    if (!message) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return std::nullopt;
    }
    return encodeMessage(message.get());
}

// Checks SignerInfo 0 of a SignedData over `content`; answers the signer's
// certificate, or nullptr with the last error set.
CertPtr verifySigner(PKCS7_SIGNED* signedData, std::string_view content) {
    if (sk_PKCS7_SIGNER_INFO_num(signedData->signer_info) <= 0) {
        setLastError(CRYPT_E_NO_SIGNER);
        return nullptr;
    }
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(signedData->signer_info, 0);
    X509* signer = signedData->cert == nullptr
                       ? nullptr
                       : X509_find_by_issuer_and_serial(signedData->cert, info->issuer_and_serial->issuer,
                                                        info->issuer_and_serial->serial);
    if (signer == nullptr) {
        setLastError(CRYPT_E_NOT_FOUND);
        return nullptr;
    }

    const std::string digestOid = dottedOid(info->digest_alg->algorithm);
    const auto md = digestOid.empty() ? nullptr : fetchDigest(digestOid.c_str());
    if (!md || !isRsaSignatureAlgorithm(info->digest_enc_alg->algorithm)) {
        ERR_clear_error();
        setLastError(CRYPT_E_UNKNOWN_ALGO);
        return nullptr;
    }
    EVP_PKEY* publicKey = X509_get0_pubkey(signer);
    if (!isRsa(publicKey)) {
        ERR_clear_error();
        setLastError(NTE_BAD_SIGNATURE);
        return nullptr;
    }

    auto digest = digestOf(md.get(), content);
    if (!digest) {
        setLastError(errorFromOpenSsl(CRYPT_E_UNKNOWN_ALGO));
        return nullptr;
    }
    // With authenticated attributes the signature covers the attributes,
    // and the content is bound to them by the messageDigest attribute.
    if (sk_X509_ATTRIBUTE_num(info->auth_attr) > 0) {
        const ASN1_OCTET_STRING* messageDigest = PKCS7_digest_from_attributes(info->auth_attr);
        if (messageDigest == nullptr || view(messageDigest) != *digest) {
            setLastError(CRYPT_E_HASH_VALUE);
            return nullptr;
        }
        unsigned char* encoded = nullptr;
        const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(info->auth_attr), &encoded,
                                         ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
        UniquePtr<uint8_t> owned(encoded);
        if (length <= 0) {
            setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
            return nullptr;
        }
        digest = digestOf(md.get(), {reinterpret_cast<const char*>(encoded), static_cast<size_t>(length)});
        if (!digest) {
            setLastError(errorFromOpenSsl(CRYPT_E_UNKNOWN_ALGO));
            return nullptr;
        }
    }
    if (!verifyPkcs1(publicKey, md.get(), *digest, view(info->enc_digest))) {
        const uint32_t error = errorFromOpenSsl(NTE_BAD_SIGNATURE);
        setLastError(error == NTE_NO_MEMORY ? error : NTE_BAD_SIGNATURE);
        return nullptr;
    }
    return Certificate::fromDer(encodeDer(i2d_X509, signer));
}

// The content a SignedData carries; nullopt with the last error set when it
// carries none or carries something other than data.
std::optional<std::string_view> carriedContent(PKCS7_SIGNED* signedData) {
    PKCS7* inner = signedData->contents;
    if (!PKCS7_type_is_data(inner)) {
        setLastError(CRYPT_E_UNEXPECTED_MSG_TYPE);
        return std::nullopt;
    }
    if (inner->d.data == nullptr) {
        setLastError(CRYPT_E_MSG_ERROR);
        return std::nullopt;
    }
    return view(inner->d.data);
}

std::optional<Verified> verifyDecoded(PKCS7* message) {
    PKCS7_SIGNED* signedData = signedDataOf(message);
    if (signedData == nullptr) return std::nullopt;
    const auto content = carriedContent(signedData);
    if (!content) return std::nullopt;
    CertPtr signer = verifySigner(signedData, *content);
    if (!signer) return std::nullopt;
    return Verified{std::string(*content), std::move(signer)};
}

// An EnvelopedData of `content` for `recipient`, its content type `innerNid`.
std::optional<std::string> envelope(const CertPtr& recipient, std::string_view content, int innerNid) {
    if (!recipient || content.size() >= MAX_CONTENT) {
        setLastError(E_INVALIDARG);
        return std::nullopt;
    }
    if (!isRsa(X509_get0_pubkey(recipient->x509()))) {
        setLastError(CRYPT_E_UNKNOWN_ALGO);
        return std::nullopt;
    }
    UniquePtr<EVP_CIPHER> rc4(EVP_CIPHER_fetch(libraryContext(), "RC4", PROPERTY_QUERY));
    if (!rc4 || EVP_CIPHER_get_key_length(rc4.get()) != 16) {
        setLastError(errorFromOpenSsl(CRYPT_E_UNKNOWN_ALGO));
        return std::nullopt;
    }
    auto message = newMessage();
    // (An empty view may have no data pointer, which a memory BIO refuses.)
    UniquePtr<BIO> source(BIO_new_mem_buf(content.empty() ? "" : content.data(), static_cast<int>(content.size())));
    // The message only points at the cipher; `rc4` outlives its use.
    if (!message || !source || PKCS7_set_type(message.get(), NID_pkcs7_enveloped) != 1 ||
        PKCS7_set_cipher(message.get(), rc4.get()) != 1 ||
        PKCS7_add_recipient(message.get(), recipient->x509()) == nullptr ||
        PKCS7_final(message.get(), source.get(), PKCS7_BINARY) != 1) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return std::nullopt;
    }
    PKCS7_ENC_CONTENT* encrypted = message->d.enveloped->enc_data;
    // RC4 has no parameters, and its AlgorithmIdentifier leaves them out
    // rather than writing a NULL or an empty IV, whatever OpenSSL's default.
    if (X509_ALGOR_set0(encrypted->algorithm, OBJ_nid2obj(NID_rc4), V_ASN1_UNDEF, nullptr) != 1) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return std::nullopt;
    }
    UniquePtr<ASN1_OBJECT> dataType(encrypted->content_type);
    encrypted->content_type = OBJ_nid2obj(innerNid);
    return encodeMessage(message.get());
}

// Decrypts the encrypted content with the recovered content-encryption key.
std::optional<std::string> decryptContent(const PKCS7_ENC_CONTENT* encrypted, const std::string& key) {
    if (encrypted->enc_data == nullptr) {
        setLastError(CRYPT_E_MSG_ERROR);
        return std::nullopt;
    }
    const std::string oid = dottedOid(encrypted->algorithm->algorithm);
    UniquePtr<EVP_CIPHER> cipher(oid.empty() ? nullptr : EVP_CIPHER_fetch(libraryContext(), oid.c_str(), PROPERTY_QUERY));
    UniquePtr<EVP_CIPHER_CTX> context(EVP_CIPHER_CTX_new());
    if (!cipher || !context || EVP_DecryptInit_ex2(context.get(), cipher.get(), nullptr, nullptr, nullptr) != 1) {
        setLastError(errorFromOpenSsl(CRYPT_E_UNKNOWN_ALGO));
        return std::nullopt;
    }
    if (key.empty() || key.size() > INT_MAX ||
        (static_cast<size_t>(EVP_CIPHER_CTX_get_key_length(context.get())) != key.size() &&
         EVP_CIPHER_CTX_set_key_length(context.get(), static_cast<int>(key.size())) != 1)) {
        setLastError(errorFromOpenSsl(NTE_BAD_DATA));
        return std::nullopt;
    }
    unsigned char iv[EVP_MAX_IV_LENGTH] = {};
    const int ivLength = EVP_CIPHER_CTX_get_iv_length(context.get());
    if (ivLength < 0 || ivLength > EVP_MAX_IV_LENGTH ||
        (ivLength > 0 && (encrypted->algorithm->parameter == nullptr ||
                          ASN1_TYPE_get_octetstring(encrypted->algorithm->parameter, iv, ivLength) != ivLength))) {
        setLastError(errorFromOpenSsl(CRYPT_E_UNKNOWN_ALGO));
        return std::nullopt;
    }
    if (EVP_DecryptInit_ex2(context.get(), nullptr, bytes(key), ivLength > 0 ? iv : nullptr, nullptr) != 1) {
        setLastError(errorFromOpenSsl(NTE_BAD_DATA));
        return std::nullopt;
    }
    const std::string_view in = view(encrypted->enc_data);
    std::string out(in.size() + static_cast<size_t>(EVP_CIPHER_CTX_get_block_size(context.get())), '\0');
    int written = 0;
    int last = 0;
    auto* target = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_DecryptUpdate(context.get(), target, &written, bytes(in), static_cast<int>(in.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), target + written, &last) != 1) {
        setLastError(errorFromOpenSsl(NTE_BAD_DATA));
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(written) + static_cast<size_t>(last));
    return out;
}

struct Unwrapped {
    std::string content;
    CertPtr recipient;
};

std::optional<Unwrapped> openEnvelope(const std::vector<const Store*>& stores, PKCS7_ENVELOPE* envelope) {
    bool candidate = false;
    uint32_t firstError = 0;
    auto failed = [&](uint32_t error) {
        if (!candidate) firstError = error;
        candidate = true;
    };
    const int count = sk_PKCS7_RECIP_INFO_num(envelope->recipientinfo);
    for (int i = 0; i < count; ++i) {
        const PKCS7_RECIP_INFO* info = sk_PKCS7_RECIP_INFO_value(envelope->recipientinfo, i);
        const std::string issuer = encodeDer(i2d_X509_NAME, info->issuer_and_serial->issuer);
        const std::string serial = integerContent(info->issuer_and_serial->serial);
        if (issuer.empty() || serial.empty()) continue;
        for (const Store* store : stores) {
            if (store == nullptr) continue;
            CertPtr recipient = store->findByIssuerAndSerial(issuer, serial);
            if (!recipient || !recipient->keyProvInfo()) continue;
            if (OBJ_obj2nid(info->key_enc_algor->algorithm) != NID_rsaEncryption) {
                failed(CRYPT_E_UNKNOWN_ALGO);
                continue;
            }
            auto provider = acquireCertificateKey(*recipient);
            auto key = provider ? provider->decryptKey(recipient->keyProvInfo()->keySpec, view(info->enc_key))
                                : std::nullopt;
            if (!key) {
                // The user said no, to a pass phrase or to a token's PIN:
                // asking about the next key would be asking again.
                if (const uint32_t error = getLastError();
                    error == ERROR_CANCELLED || error == SCARD_W_CANCELLED_BY_USER) {
                    return std::nullopt;
                }
                failed(getLastError());
                continue;
            }
            auto content = decryptContent(envelope->enc_data, *key);
            wipe(*key);
            if (!content) return std::nullopt;
            return Unwrapped{std::move(*content), std::move(recipient)};
        }
    }
    setLastError(candidate ? firstError : CRYPT_E_NO_DECRYPT_CERT);
    return std::nullopt;
}

// The SignedData message inside a signed envelope. This side puts the
// whole message (its ContentInfo) there; others put the bare SignedData,
// as the content type signedData strictly asks. Both are read.
UniquePtr<PKCS7> innerSignedMessage(const std::string& content) {
    auto inner = decodeMessage(content);
    if (inner) return inner;
    const uint32_t error = getLastError();
    static const unsigned char signedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    const std::string wrapped =
        derTlv(0x30, std::string(reinterpret_cast<const char*>(signedDataOid), sizeof signedDataOid) +
                         derTlv(0xA0, content));
    inner = decodeMessage(wrapped);
    if (!inner) setLastError(error);
    return inner;
}

}  // namespace

std::optional<size_t> signedMessageSize(const CertPtr& signer, size_t dataLength, bool detached) {
    CallScope scope;
    return guarded([&]() -> std::optional<size_t> {
        if (dataLength >= MAX_CONTENT) {
            setLastError(E_INVALIDARG);
            return std::nullopt;
        }
        auto key = signingKeyOf(signer);
        if (!key || !key->provider->hasKey(key->keySpec)) return std::nullopt;

        // The message without content, with a signature of the right
        // length, then the content's share worked out from the DER lengths:
        // no need to hold a copy of the data for the size alone.
        const auto message = buildSignedData(*signer, std::string(key->signatureLength, '\0'), std::nullopt);
        const size_t detachedSize = message ? encodeDer(i2d_PKCS7, message.get()).size() : 0;
        const size_t signedDataSize = message ? encodeDer(i2d_PKCS7_SIGNED, message->d.sign).size() : 0;
        const size_t innerSize = message ? encodeDer(i2d_PKCS7, message->d.sign->contents).size() : 0;
        if (detachedSize == 0 || signedDataSize == 0 || innerSize == 0) {
            setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
            return std::nullopt;
        }
        if (detached) return detachedSize;
        // ContentInfo { OID, [0] { SignedData { ..., ContentInfo { OID, [0] { OCTET STRING } }, ... } } }
        const size_t innerWithContent = tlvSize(tlvContentLength(innerSize) + tlvSize(tlvSize(dataLength)));
        const size_t signedDataWithContent =
            tlvSize(tlvContentLength(signedDataSize) - innerSize + innerWithContent);
        const size_t outer = tlvContentLength(detachedSize) - tlvSize(signedDataSize) + tlvSize(signedDataWithContent);
        return tlvSize(outer);
    });
}

std::optional<std::string> signMessage(const CertPtr& signer, std::string_view data, bool detached) {
    CallScope scope;
    return guarded([&] { return signContent(signer, data, detached); });
}

std::optional<Verified> verifyMessage(std::string_view der) {
    CallScope scope;
    return guarded([&]() -> std::optional<Verified> {
        const auto message = decodeMessage(der);
        if (!message) return std::nullopt;
        return verifyDecoded(message.get());
    });
}

CertPtr verifyDetachedMessage(std::string_view der, std::string_view content) {
    CallScope scope;
    return guarded([&]() -> CertPtr {
        const auto message = decodeMessage(der);
        if (!message) return nullptr;
        PKCS7_SIGNED* signedData = signedDataOf(message.get());
        if (signedData == nullptr) return nullptr;
        return verifySigner(signedData, content);
    });
}

std::optional<std::string> encryptMessage(const CertPtr& recipient, std::string_view content) {
    CallScope scope;
    return guarded([&] { return envelope(recipient, content, NID_pkcs7_data); });
}

std::optional<Opened> decryptMessage(const std::vector<const Store*>& stores, std::string_view der) {
    CallScope scope;
    return guarded([&]() -> std::optional<Opened> {
        const auto message = decodeMessage(der);
        if (!message) return std::nullopt;
        PKCS7_ENVELOPE* enveloped = envelopeOf(message.get());
        if (enveloped == nullptr) return std::nullopt;
        auto opened = openEnvelope(stores, enveloped);
        if (!opened) return std::nullopt;
        return Opened{std::move(opened->content), std::move(opened->recipient), nullptr};
    });
}

std::optional<std::string> signAndEncryptMessage(const CertPtr& signer, const CertPtr& recipient,
                                                 std::string_view content) {
    CallScope scope;
    return guarded([&]() -> std::optional<std::string> {
        // Refused before the signer's key is reached, so that nobody is
        // asked for a pass phrase in vain.
        if (!recipient) {
            setLastError(E_INVALIDARG);
            return std::nullopt;
        }
        const auto signedMessage = signContent(signer, content, false);
        if (!signedMessage) return std::nullopt;
        return envelope(recipient, *signedMessage, NID_pkcs7_signed);
    });
}

std::optional<Opened> decryptAndVerifyMessage(const std::vector<const Store*>& stores, std::string_view der) {
    CallScope scope;
    return guarded([&]() -> std::optional<Opened> {
        const auto message = decodeMessage(der);
        if (!message) return std::nullopt;
        PKCS7_ENVELOPE* enveloped = envelopeOf(message.get());
        if (enveloped == nullptr) return std::nullopt;
        auto opened = openEnvelope(stores, enveloped);
        if (!opened) return std::nullopt;
        const auto inner = innerSignedMessage(opened->content);
        if (!inner) return std::nullopt;
        auto verified = verifyDecoded(inner.get());
        if (!verified) return std::nullopt;
        return Opened{std::move(verified->content), std::move(opened->recipient), std::move(verified->signer)};
    });
}

std::string sha1(std::string_view data) {
    CallScope scope;
    return guarded([&]() -> std::string {
        const auto md = fetchDigest("SHA1");
        auto digest = md ? digestOf(md.get(), data) : std::nullopt;
        if (!digest) {
            setLastError(errorFromOpenSsl(CRYPT_E_UNKNOWN_ALGO));
            return {};
        }
        return std::move(*digest);
    });
}

}  // namespace crypto
