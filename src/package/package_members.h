// The members that pack form items and files into the agreed plaintext and
// take them out again on the receiving side.
//
// The sender adds items and files one call at a time; each add rebuilds
// pendingPlainText, which a signing or envelope member then consumes. The
// receiver, after verification or decryption left receivedPlainText, takes
// items and then files out one call at a time, oldest first; every file taken
// out is written to disk (through the save dialog, or in server mode into the
// registry's stubPath folder without asking).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/state/control_state.h"
#include "platform/com/com.h"

namespace qm {

// The getters' two failures of their own. They sit outside the catalogue's
// range so that they never read as one of its codes.
constexpr int32_t ERR_NO_RECEIVED_TEXT = -10032;      // "原文为空"
constexpr int32_t ERR_NOT_AGREED_PLAINTEXT = -10033;  // "不是约定原文，不可分解"

// The folder that server mode saves received files into (the "stubPath"
// value under the settings key), in ANSI, up to its first NUL. Throws Failure
// with ERR_NO_SAVE_FOLDER and one of the two registry messages.
std::string readStubPath();

}  // namespace qm

namespace qm::members {

HRESULT QMAddFile(ControlState& state, BSTR fileName);
HRESULT QMAddFormItem(ControlState& state, BSTR itemContent);
HRESULT QMGetFile(ControlState& state, BSTR* pVal);
HRESULT QMGetFormItem(ControlState& state, BSTR* pVal);

}  // namespace qm::members
