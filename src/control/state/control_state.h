// Everything one control object keeps between calls: limits, the outcome of
// the last operation, what a page stages before an operation and what an
// operation leaves behind for later reading.
//
// Texts are bytes in the ANSI code page (GBK on the systems this control was
// made for); every length, limit and signed content is counted in those bytes.
// A text that may be absent is an optional: nullopt is the "null" state the
// members tell apart from an empty text. Wide texts are automation strings.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/com/owners.h"

namespace qm {

using Text = std::optional<std::string>;

constexpr int32_t MAX_SIGN_SIZE_CAP = 10240000;
constexpr int32_t DEFAULT_MAX_COMP_SIZE = 51200;

// One certificate described as five texts, in the order of the `type`
// argument of the information getters: subject, issuer, validity start,
// validity end, serial number.
using CertInfoTexts = std::array<com::Bstr, 5>;

// A received package that the getters are taking apart element by element.
// Recomposing the whole package after every element would make taking a form
// apart cost time quadratic in its size, so the getters keep the parsed
// package and compose what is left only when somebody reads the text.
class ReceivedPackage {
public:
    virtual ~ReceivedPackage() = default;
    // The agreed plaintext of what has not been taken out; nullopt when
    // nothing is left.
    virtual Text compose() const = 0;
};

struct ControlState {
    // Limits and the result of the last operation.
    int32_t maxSignSize = MAX_SIGN_SIZE_CAP;
    int32_t maxCompSize = DEFAULT_MAX_COMP_SIZE;
    int32_t errorNum = 0;
    com::Bstr errMsg;  // null after a success
    int32_t serverMode = 0;
    Text dnSplitter = std::string("|");

    // Staged input.
    Text pendingPlainText;
    Text warningMsg;
    Text cspHashMsg;
    Text keyHashMsg;
    Text userFileName;
    Text userFileData;
    Text plainTextForDetachedSign;
    Text defaultDN;
    com::Bstr defaultDNText;
    Text defaultDNRecv;
    com::Bstr defaultDNRecvCN;
    Text formItems;
    Text fileNames;
    Text legacyPlainText;
    int32_t showPlainTextFlag = 0;
    Text base64Source;

    // Results left for later reading.
    Text receivedPlainText;
    // While a package is being taken apart, receivedPlainText is null and
    // this holds what is left of it; the text is composed again on demand
    // (settleReceivedPlainText). Any writer that stores a new text makes it
    // stale without touching it: a cursor counts only beside a null
    // receivedPlainText. Whoever makes receivedPlainText null on purpose
    // resets this too.
    std::unique_ptr<ReceivedPackage> receivedPackage;
    CertInfoTexts signerCertInfo;
    CertInfoTexts reciptCertInfo;
    std::array<com::Bstr, 4> advPlainText;
    com::Bstr signerDN;
    Text attachedSignText;
    Text detachedSignText;
    Text signAndEncryptEnvelopText;
    Text signsPlaintextBase64Text;
    Text signsHashBase64Text;
    Text hash1Base64Text;
    Text base64Result;
};

// Reads the settings a new object starts with (the "maxsize" limit).
void loadSettings(ControlState& state);

// receivedPlainText as every reader must see it: composed again from what a
// package getter left, when one did. May throw std::bad_alloc, and then
// nothing is lost.
inline const Text& settleReceivedPlainText(ControlState& state) {
    if (state.receivedPackage) {
        if (!state.receivedPlainText) state.receivedPlainText = state.receivedPackage->compose();
        state.receivedPackage.reset();
    }
    return state.receivedPlainText;
}

inline void clearCertInfo(CertInfoTexts& info) {
    for (auto& text : info) text.reset();
}

}  // namespace qm
