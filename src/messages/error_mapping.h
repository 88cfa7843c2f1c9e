// How a failed message call of the platform becomes one of the control's
// result codes.
#pragma once

#include <cstdint>

namespace qm {

enum class MessageOperation { Signing, Verification, Encryption, Decryption };

// In this order: the operation's key error (a missing key property, or for
// decryption no certificate with a key) gives ERR_NO_PRIVATE_KEY; an ASN.1
// error ERR_ASN1; a bad signature ERR_BAD_SIGNATURE; anything else the
// operation's own fallback (ERR_SIGN, ERR_VERIFY, ERR_ENCRYPT, ERR_DECRYPT).
int32_t mapMessageError(MessageOperation operation, uint32_t lastError);

// The platform's error value as the control reports it when it passes one
// on unchanged: the 32 bits read as a signed number (0x80090016 becomes
// -2146893802; a plain system error number stays positive).
inline int32_t platformErrorValue(uint32_t lastError) { return static_cast<int32_t>(lastError); }

}  // namespace qm
