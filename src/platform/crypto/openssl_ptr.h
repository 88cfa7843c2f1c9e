// Owners for OpenSSL handles. Every object we get from OpenSSL lands in a
// UniquePtr at once; nothing outside this header calls a *_free function.
//
//   crypto::UniquePtr<X509> cert(X509_new_ex(crypto::libraryContext(), nullptr));
//
// A type gets its owner from one QUILLMARK_OPENSSL_DELETER line below. The
// ASN.1 string types (ASN1_INTEGER, ASN1_TIME, ASN1_OCTET_STRING, ...) are
// all the one struct asn1_string_st in OpenSSL, so UniquePtr<ASN1_STRING>
// owns any of them. Buffers that OpenSSL allocates for us (i2d output,
// OBJ_obj2txt copies, BN_bn2hex) are UniquePtr<uint8_t> or UniquePtr<char>,
// released with OPENSSL_free.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <string>

namespace crypto {

template <typename T>
struct DeleterFor;  // specialised once per owned type, below

template <typename T>
struct Deleter {
    void operator()(T* p) const { DeleterFor<T>::free(p); }
};

template <typename T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

#define QUILLMARK_OPENSSL_DELETER(type, freeFunction)     \
    template <>                                           \
    struct DeleterFor<type> {                             \
        static void free(type* p) { freeFunction(p); }    \
    }

QUILLMARK_OPENSSL_DELETER(uint8_t, OPENSSL_free);
QUILLMARK_OPENSSL_DELETER(char, OPENSSL_free);
QUILLMARK_OPENSSL_DELETER(OSSL_LIB_CTX, OSSL_LIB_CTX_free);
QUILLMARK_OPENSSL_DELETER(OSSL_PROVIDER, OSSL_PROVIDER_unload);
QUILLMARK_OPENSSL_DELETER(BIO, BIO_free_all);
QUILLMARK_OPENSSL_DELETER(BIGNUM, BN_free);
QUILLMARK_OPENSSL_DELETER(BN_CTX, BN_CTX_free);
QUILLMARK_OPENSSL_DELETER(ASN1_STRING, ASN1_STRING_free);
QUILLMARK_OPENSSL_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);
QUILLMARK_OPENSSL_DELETER(ASN1_TYPE, ASN1_TYPE_free);
QUILLMARK_OPENSSL_DELETER(X509, X509_free);
QUILLMARK_OPENSSL_DELETER(X509_NAME, X509_NAME_free);
QUILLMARK_OPENSSL_DELETER(X509_NAME_ENTRY, X509_NAME_ENTRY_free);
QUILLMARK_OPENSSL_DELETER(X509_EXTENSION, X509_EXTENSION_free);
QUILLMARK_OPENSSL_DELETER(X509_CRL, X509_CRL_free);
QUILLMARK_OPENSSL_DELETER(X509_REVOKED, X509_REVOKED_free);
QUILLMARK_OPENSSL_DELETER(X509_STORE, X509_STORE_free);
QUILLMARK_OPENSSL_DELETER(X509_STORE_CTX, X509_STORE_CTX_free);
QUILLMARK_OPENSSL_DELETER(X509_ALGOR, X509_ALGOR_free);
QUILLMARK_OPENSSL_DELETER(X509_PUBKEY, X509_PUBKEY_free);
QUILLMARK_OPENSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
QUILLMARK_OPENSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
QUILLMARK_OPENSSL_DELETER(EVP_MD, EVP_MD_free);
QUILLMARK_OPENSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
QUILLMARK_OPENSSL_DELETER(EVP_CIPHER, EVP_CIPHER_free);
QUILLMARK_OPENSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
QUILLMARK_OPENSSL_DELETER(PKCS7, PKCS7_free);
QUILLMARK_OPENSSL_DELETER(PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free);
QUILLMARK_OPENSSL_DELETER(PKCS7_RECIP_INFO, PKCS7_RECIP_INFO_free);
QUILLMARK_OPENSSL_DELETER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free);
QUILLMARK_OPENSSL_DELETER(PKCS12, PKCS12_free);

#undef QUILLMARK_OPENSSL_DELETER

// Stacks own their elements: freeing the stack frees what it holds.
template <>
struct DeleterFor<STACK_OF(X509)> {
    static void free(STACK_OF(X509) * p) { sk_X509_pop_free(p, X509_free); }
};
template <>
struct DeleterFor<STACK_OF(X509_CRL)> {
    static void free(STACK_OF(X509_CRL) * p) { sk_X509_CRL_pop_free(p, X509_CRL_free); }
};

// The DER encoding of an object through its i2d function, as owned bytes;
// empty when OpenSSL cannot encode it (the reason stays in the error queue).
//   std::string der = crypto::encodeDer(i2d_X509_NAME, name);
template <typename I2d, typename T>
std::string encodeDer(I2d i2d, T* object) {
    if (object == nullptr) return {};
    unsigned char* raw = nullptr;
    const int length = i2d(object, &raw);
    UniquePtr<uint8_t> owned(raw);
    if (length <= 0 || raw == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(raw), static_cast<size_t>(length));
}

}  // namespace crypto
