// The first generation's verification of an attached signature, with its
// own issuer lookup and checks, and the switch that makes legacy signing
// ask the user first.
//
// verifyAttachedSign answers S_OK with errorNum 0, or S_FALSE with:
//
//      -1  the message does not verify (after a box with the platform's
//          error); also for a null or empty text, which holds no message
//      -4  the issuer is not in "CA" and "Root" cannot be opened
//      -5  no signer certificate, or its names cannot be read
//      -6  the issuer is in neither "CA" nor "Root"
//      -7  no memory
//      -9  the chain policy reports an error other than expiry
//     -10  the chain cannot be built
//     -13  the certificate found as the issuer did not sign the signer's
//     -15  the file chosen for the verified text cannot be written
//     -16  the save dialog cannot be shown
//  -10023  the platform cannot digest the verified text (as hash1Base64)
//
// A chain that could be built is always checked, so the separate "policy
// check cannot be made" code (-8) does not occur here. errMsg is never
// touched.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control/state/codes.h"
#include "control/state/control_state.h"

namespace qm {

constexpr int32_t LEGACY_NOT_VERIFIED = -1;
constexpr int32_t LEGACY_NO_ROOT_STORE = -4;
constexpr int32_t LEGACY_NO_ISSUER = -6;
constexpr int32_t LEGACY_CHAIN_POLICY_FAILED = -8;
constexpr int32_t LEGACY_CHAIN_ERROR = -9;
constexpr int32_t LEGACY_NO_CHAIN = -10;
constexpr int32_t LEGACY_ISSUER_SIGNATURE = -13;
constexpr int32_t LEGACY_SAVE_FILE_FAILED = -15;
constexpr int32_t LEGACY_SAVE_DIALOG_FAILED = -16;
constexpr int32_t LEGACY_DIGEST_FAILED = ERR_DECRYPT;

// OFN_OVERWRITEPROMPT | OFN_CREATEPROMPT: ask before replacing a file and
// before making a new one.
constexpr uint32_t SAVE_PLAIN_DIALOG_FLAGS = 0x2002;
// The dialog's file-name buffer, its NUL included.
constexpr size_t SAVE_PLAIN_NAME_ROOM = 260;

namespace members {

// `swSign`: plain or wrapped Base64 of an attached signed message,
// compressed or not. With `savePlain` non-zero the user may save the
// verified text to a file.
HRESULT verifyAttachedSign(ControlState& state, BSTR swSign, int32_t savePlain);
HRESULT showPlainText(ControlState& state);

}  // namespace members

}  // namespace qm
