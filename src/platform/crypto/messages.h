// PKCS #7 messages in DER: signing, verifying, enveloping and opening, and
// the bare SHA-1 digest. Every message made here is one that `openssl cms`
// and `openssl smime` accept, and every message of the same forms that they
// make is accepted here.
//
// Forms made here:
//   SignedData     version 1; digestAlgorithms {SHA-1 1.3.14.3.2.26, NULL};
//                  content type data, the content inside (attached) or
//                  absent (detached); certificates: the signer's; one
//                  SignerInfo: version 1, the signer's issuer and serial
//                  number, SHA-1, rsaEncryption, no attributes, the
//                  PKCS #1 v1.5 signature made by the signer's provider.
//   EnvelopedData  version 0; one RecipientInfo (issuer and serial number,
//                  rsaEncryption key transport); content encrypted with RC4
//                  (1.2.840.113549.3.4, parameters absent, 128-bit key).
//   signed and enveloped: the whole SignedData message above (its
//                  ContentInfo) as the encrypted content of an
//                  EnvelopedData whose content type says signedData.
//
// Read here besides: SignedData with authenticated attributes (the
// messageDigest attribute is checked, and the signature is over the
// attributes), other digest algorithms OpenSSL knows, SignerInfos that name
// sha1WithRSAEncryption and friends; EnvelopedData with other ciphers
// OpenSSL knows whose parameters are a plain IV (AES, DES-EDE3); a signed
// envelope whose encrypted content is a bare SignedData (no ContentInfo
// around it) or is marked as data. Bytes after a message are ignored, as
// they are after a certificate.
//
// Errors (the last error, set by every call that fails):
//   E_INVALIDARG                 a null certificate; content of 1 GiB or more
//   CRYPT_E_OSS_ERROR            bytes that do not decode as a message
//   CRYPT_E_UNEXPECTED_MSG_TYPE  a message of another type (an envelope given
//                                for verifying, a SignedData for opening, a
//                                SignedData whose content is not data)
//   CRYPT_E_MSG_ERROR            verifyMessage of a detached message (there is
//                                no content to check); an envelope without
//                                its encrypted content
//   CRYPT_E_NO_SIGNER            a SignedData without a SignerInfo
//   CRYPT_E_NOT_FOUND            the signer's certificate is not among the
//                                message's certificates
//   CRYPT_E_UNKNOWN_ALGO         a digest, signature or cipher algorithm
//                                that cannot be used; RC4 unavailable
//   CRYPT_E_HASH_VALUE           the messageDigest attribute does not match
//                                the content
//   NTE_BAD_SIGNATURE            the signature does not verify
//   CRYPT_E_NO_KEY_PROPERTY      signing with a certificate without a key
//   CRYPT_E_NO_DECRYPT_CERT      no recipient of the envelope is in the
//                                stores with a key
//   NTE_BAD_KEY                  the signer's provider made a signature that
//                                the certificate's public key does not
//                                verify (the container holds another key)
//   NTE_BAD_DATA                 the content-encryption key or content does
//                                not decrypt
//   the provider's errors        NTE_BAD_KEYSET, NTE_KEYSET_ENTRY_BAD,
//                                ERROR_CANCELLED, ... (see provider.h)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/certificate.h"
#include "platform/crypto/store.h"

namespace crypto {

// CryptSignMessage, size pass: the exact size of the message signMessage
// makes for data of this length. It reaches the signer's key without
// unlocking it (no prompt).
std::optional<size_t> signedMessageSize(const CertPtr& signer, size_t dataLength, bool detached);
// CryptSignMessage: the signature comes from the signer's key through its
// key-provider property, so a key in any provider can sign. The provider's
// signature is checked against the certificate before the message is made.
std::optional<std::string> signMessage(const CertPtr& signer, std::string_view data, bool detached);

struct Verified {
    std::string content;
    CertPtr signer;
};
// CryptVerifyMessageSignature, signer index 0, the signer's certificate
// taken from the certificates in the message. Fails for a message that
// carries no content. Only the signature is checked here; trust in the
// signer's certificate is trust.h's business.
std::optional<Verified> verifyMessage(std::string_view der);
// CryptVerifyDetachedMessageSignature: the signature checked over
// `content`. A message that carries content of its own is checked against
// `content` all the same.
CertPtr verifyDetachedMessage(std::string_view der, std::string_view content);

// CryptEncryptMessage for one recipient.
std::optional<std::string> encryptMessage(const CertPtr& recipient, std::string_view content);

struct Opened {
    std::string content;
    CertPtr recipient;  // the certificate whose key opened it
    CertPtr signer;     // decryptAndVerifyMessage only
};
// CryptDecryptMessage: each RecipientInfo in turn is looked up by issuer
// and serial number in the stores, in the order given; the first
// certificate found with a key-provider property opens the envelope (when
// its key cannot, the next candidate is tried, except after the user
// cancelled a prompt). No candidate at all: CRYPT_E_NO_DECRYPT_CERT; all
// candidates failed: the first one's error.
std::optional<Opened> decryptMessage(const std::vector<const Store*>& stores, std::string_view der);

// CryptSignAndEncryptMessage, and its reverse: decrypt, then verify the
// inner SignedData (signer index 0); `signer` is its signer.
std::optional<std::string> signAndEncryptMessage(const CertPtr& signer, const CertPtr& recipient,
                                                 std::string_view content);
std::optional<Opened> decryptAndVerifyMessage(const std::vector<const Store*>& stores, std::string_view der);

// The bare 20-byte SHA-1 digest (CryptHashMessage's hash value); empty, with
// the last error set, only when OpenSSL fails.
std::string sha1(std::string_view data);

}  // namespace crypto
