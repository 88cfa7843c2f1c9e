#include "messages/error_mapping.h"

#include "platform/crypto/errors.h"

namespace qm {

int32_t mapMessageError(MessageOperation operation, uint32_t lastError) {
    const uint32_t keyError =
        operation == MessageOperation::Decryption ? crypto::CRYPT_E_NO_DECRYPT_CERT : crypto::CRYPT_E_NO_KEY_PROPERTY;
    if (lastError == keyError) return ERR_NO_PRIVATE_KEY;
    if (lastError == crypto::CRYPT_E_OSS_ERROR) return ERR_ASN1;
    if (lastError == crypto::NTE_BAD_SIGNATURE) return ERR_BAD_SIGNATURE;
    switch (operation) {
        case MessageOperation::Signing:
            return ERR_SIGN;
        case MessageOperation::Verification:
            return ERR_VERIFY;
        case MessageOperation::Encryption:
            return ERR_ENCRYPT;
        case MessageOperation::Decryption:
            return ERR_DECRYPT;
    }
    return ERR_VERIFY;
}

int32_t signSizePassError(uint32_t lastError) {
    const int32_t mapped = mapMessageError(MessageOperation::Signing, lastError);
    if (mapped != ERR_SIGN || lastError == crypto::ERROR_SUCCESS) return mapped;
    return platformErrorValue(lastError);
}

}  // namespace qm
