#include "platform/crypto/errors.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <functional>
#include <thread>

#include "platform/crypto/library.h"
#include "platform/crypto/openssl_ptr.h"

using namespace crypto;

namespace {

TEST(CryptoErrors, OpenSslQueueBecomesOneCode) {
    struct Case {
        const char* name;
        std::function<void()> raise;
        uint32_t expected;
    };
    const Case cases[] = {
        {"empty queue", [] {}, NTE_BAD_KEYSET},
        {"decoding error", [] { ERR_raise(ERR_LIB_ASN1, ASN1_R_HEADER_TOO_LONG); }, CRYPT_E_OSS_ERROR},
        {"decoding error reported by X509", [] { ERR_raise(ERR_LIB_X509, ERR_R_NESTED_ASN1_ERROR); }, CRYPT_E_OSS_ERROR},
        {"memory", [] { ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE); }, NTE_NO_MEMORY},
        {"memory wins over decoding",
         [] {
             ERR_raise(ERR_LIB_ASN1, ASN1_R_HEADER_TOO_LONG);
             ERR_raise(ERR_LIB_EVP, ERR_R_MALLOC_FAILURE);
         },
         NTE_NO_MEMORY},
        {"anything else", [] { ERR_raise(ERR_LIB_PEM, PEM_R_NO_START_LINE); }, NTE_BAD_KEYSET},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CallScope scope;
        c.raise();
        EXPECT_EQ(errorFromOpenSsl(NTE_BAD_KEYSET), c.expected);
        EXPECT_EQ(ERR_peek_error(), 0u) << "the queue is consumed";
    }
}

TEST(CryptoErrors, OutermostScopeOwnsTheQueue) {
    ERR_raise(ERR_LIB_PEM, PEM_R_NO_START_LINE);  // a host's leftover
    {
        CallScope outer;
        EXPECT_EQ(ERR_peek_error(), 0u) << "entry clears what the host left";
        {
            CallScope nested;
            ERR_raise(ERR_LIB_ASN1, ASN1_R_HEADER_TOO_LONG);
        }
        EXPECT_NE(ERR_peek_error(), 0u) << "a nested service keeps the caller's errors";
    }
    EXPECT_EQ(ERR_peek_error(), 0u) << "nothing of ours reaches the host";
}

TEST(CryptoErrors, LastErrorIsPerThread) {
    setLastError(CRYPT_E_NOT_FOUND);
    uint32_t seen = 1;
    std::thread([&] {
        seen = getLastError();
        setLastError(NTE_BAD_SIGNATURE);
    }).join();
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(getLastError(), CRYPT_E_NOT_FOUND);
}

TEST(CryptoLibrary, OwnContextHasTheLegacyAlgorithms) {
    ASSERT_NE(libraryContext(), nullptr);
    EXPECT_EQ(libraryContext(), libraryContext());
    UniquePtr<EVP_CIPHER> rc4(EVP_CIPHER_fetch(libraryContext(), "RC4", PROPERTY_QUERY));
    EXPECT_NE(rc4, nullptr) << "RC4 comes from the legacy provider";
    UniquePtr<EVP_MD> sha1(EVP_MD_fetch(libraryContext(), "SHA1", PROPERTY_QUERY));
    EXPECT_NE(sha1, nullptr);
    ERR_clear_error();
}

}  // namespace
