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

inline void clearCertInfo(CertInfoTexts& info) {
    for (auto& text : info) text.reset();
}

}  // namespace qm
