// How a failed message call of the platform becomes one of the control's
// result codes.
#pragma once

#include <cstdint>
#include <new>

#include "control/state/codes.h"

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

// The code of a failed size pass when signing by partial-DN list: the
// mapping, except that an error it does not name is passed on as the
// platform's own value. A failure that left no error at all (a provider
// that did not say why) must not come out as 0, which reads as success;
// it is the signing fallback.
int32_t signSizePassError(uint32_t lastError);

// Runs an engine's body. An engine answers with a code whatever happens
// inside it: a failed allocation is ERR_NO_MEMORY, which the member reports
// with its own text like any other engine failure.
template <class Body>
int32_t runEngine(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
}

}  // namespace qm
