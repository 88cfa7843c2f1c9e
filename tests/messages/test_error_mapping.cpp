#include <gtest/gtest.h>

#include "control/state/codes.h"
#include "messages/error_mapping.h"
#include "platform/crypto/errors.h"

namespace {

using qm::MessageOperation;

TEST(ErrorMapping, PlatformErrorsBecomeResultCodes) {
    struct Case {
        MessageOperation operation;
        uint32_t lastError;
        int32_t code;
    } cases[] = {
        {MessageOperation::Signing, crypto::CRYPT_E_NO_KEY_PROPERTY, qm::ERR_NO_PRIVATE_KEY},
        {MessageOperation::Verification, crypto::CRYPT_E_NO_KEY_PROPERTY, qm::ERR_NO_PRIVATE_KEY},
        {MessageOperation::Encryption, crypto::CRYPT_E_NO_KEY_PROPERTY, qm::ERR_NO_PRIVATE_KEY},
        {MessageOperation::Decryption, crypto::CRYPT_E_NO_DECRYPT_CERT, qm::ERR_NO_PRIVATE_KEY},
        // Each operation has its own key error: the other one falls through.
        {MessageOperation::Decryption, crypto::CRYPT_E_NO_KEY_PROPERTY, qm::ERR_DECRYPT},
        {MessageOperation::Signing, crypto::CRYPT_E_NO_DECRYPT_CERT, qm::ERR_SIGN},
        {MessageOperation::Verification, crypto::CRYPT_E_OSS_ERROR, qm::ERR_ASN1},
        {MessageOperation::Decryption, crypto::NTE_BAD_SIGNATURE, qm::ERR_BAD_SIGNATURE},
        {MessageOperation::Signing, crypto::NTE_BAD_KEYSET, qm::ERR_SIGN},
        {MessageOperation::Verification, 0, qm::ERR_VERIFY},
        {MessageOperation::Encryption, crypto::E_INVALIDARG, qm::ERR_ENCRYPT},
        {MessageOperation::Decryption, crypto::NTE_BAD_KEYSET, qm::ERR_DECRYPT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastError);
        EXPECT_EQ(qm::mapMessageError(c.operation, c.lastError), c.code);
    }
    EXPECT_EQ(qm::platformErrorValue(crypto::NTE_BAD_KEYSET), -2146893802);
    EXPECT_EQ(qm::platformErrorValue(5), 5);
}

TEST(ErrorMapping, SizePassOfSigningByPartialDn) {
    struct Case {
        uint32_t lastError;
        int32_t code;
    } cases[] = {
        {crypto::CRYPT_E_NO_KEY_PROPERTY, qm::ERR_NO_PRIVATE_KEY},
        {crypto::CRYPT_E_OSS_ERROR, qm::ERR_ASN1},
        {crypto::NTE_BAD_SIGNATURE, qm::ERR_BAD_SIGNATURE},
        // Errors the mapping does not name go out as they are.
        {crypto::NTE_BAD_KEYSET, -2146893802},
        {5, 5},
        // A failure without an error must not read as success.
        {crypto::ERROR_SUCCESS, qm::ERR_SIGN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastError);
        EXPECT_EQ(qm::signSizePassError(c.lastError), c.code);
    }
}

}  // namespace
