// The first generation's signing: makeAttachedSign, makeDetachedSign and
// makeSignAndEncryptEnvelop sign what the page staged and leave the result
// in a property that hands it out once.
//
// The three methods answer S_OK whatever happens; the page reads errorNum:
//
//     0    the result is ready in its property
//    -3    the user declined the confirmation or cancelled a chooser
//    -5    the signer certificate's names cannot be read
//    -7    no memory for the confirmation text or the Base64 text
//   -11    stopped with a box titled "错误" (legacyStop)
//   -18    the signing size pass failed      } each after a box with the
//   -19    the signing pass failed           } platform's last error
//   -20    the envelope could not be made    } (ShowPlatformError)
//
// Signed and enveloped messages of maxCompSize bytes or more travel in the
// compressed form; results are plain (one-line) Base64.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/state/control_state.h"
#include "platform/crypto/certificate.h"

namespace qm {

constexpr int32_t LEGACY_SIGN_SIZE_FAILED = -18;
constexpr int32_t LEGACY_SIGN_FAILED = -19;
constexpr int32_t LEGACY_ENCRYPT_SIZE_FAILED = -20;
// The platform makes the envelope in one pass, so whatever goes wrong with
// it is reported as the size pass (-20); -21 is kept for what it meant.
constexpr int32_t LEGACY_ENCRYPT_FAILED = -21;

// The text ShowPlatformError shows for a last-error code (UTF-8).
std::string platformErrorText(uint32_t lastError);
// A box with the platform's last error, read here: call it right after the
// failing call. Warning icon, no owner window.
void ShowPlatformError(std::string_view utf8Caption);

// The question the user answers before legacy signing when showPlainText
// was called: `utf8Prompt` followed by the signed bytes up to their first
// zero byte. True for Yes.
bool ConfirmSigning(std::string_view utf8Prompt, std::string_view utf8Caption, std::string_view signedBytes);

// Whether a recipient candidate is the one defaultDNRecv names: its subject
// written as "KEY=value" components (the first attribute of each RDN; CN,
// O, OU, S, C and E get their key, other attributes only their value)
// joined by commas without spaces, in encoded order or reversed, must equal
// `defaultDNRecv` byte for byte. Values are written in the ANSI code page,
// so a page's "CN=张三,O=Bank" names a certificate that holds 张三 as
// UTF8String or BMPString. The rendering has no length limit.
bool RecipientSubjectMatch(const crypto::Certificate& candidate, std::string_view defaultDNRecv);

namespace members {

HRESULT makeAttachedSign(ControlState& state);
HRESULT makeDetachedSign(ControlState& state);
HRESULT makeSignAndEncryptEnvelop(ControlState& state);

// Each hands its text out once: a second read (or one before any result)
// gives an empty string. The first three also release the packed plaintext.
HRESULT getAttachedSign(ControlState& state, BSTR* pVal);
HRESULT getDetachedSign(ControlState& state, BSTR* pVal);
HRESULT getSignAndEncryptEnvelop(ControlState& state, BSTR* pVal);
HRESULT getSignsPlaintextBase64(ControlState& state, BSTR* pVal);
HRESULT getSignsHashBase64(ControlState& state, BSTR* pVal);

}  // namespace members

}  // namespace qm
