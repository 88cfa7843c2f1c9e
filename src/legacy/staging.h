// The first generation's staging: pages put their input into properties and
// adders, and a make method packs and signs it later.
//
// Form items are kept in code page 936 whatever the ANSI code page is, as
// records of "%08d" length and bytes; file paths are kept as they came,
// joined by TABs, and only read when the staged input is packed. The packed
// text has the agreed plaintext's layout:
//
//   "%08d" F, the form records (F bytes), "%08d" S, then per file
//   "%08d" (8 + N + C), "%08d" N, the name (N bytes), the content (C bytes)
//
// so one item "ab" packs to "0000001000000002ab00000000". Unlike the QM
// package members, empty items, empty names and empty files are accepted.
//
// The legacy members report through errorNum alone; errMsg is never
// touched. A failure the user has to hear about is a box.
#pragma once

#include <cstdint>
#include <string_view>

#include "control/state/codes.h"
#include "control/state/control_state.h"

namespace qm {

// The first generation's codes (errorNum).
constexpr int32_t LEGACY_DECLINED = -3;   // confirmation declined, chooser cancelled
constexpr int32_t LEGACY_NO_SIGNER = -5;  // no signer certificate, or its names cannot be read
constexpr int32_t LEGACY_STOPPED = -11;   // stopped with a box titled "错误"

// The largest number an 8-digit length field holds.
constexpr uint64_t LEGACY_MAX_FIELD = 99999999;

// Ends a legacy operation: the staged file names are released, errorNum
// becomes LEGACY_STOPPED and the user sees `utf8Message` in a box titled
// "错误" with the warning icon and no owner window.
void legacyStop(ControlState& state, std::string_view utf8Message);

// Packs formItems and fileNames into legacyPlainText and releases both.
// False when it stopped (legacyStop has run): nothing staged, a path
// without a separator or a file that cannot be read ("无法打开文件!"), a
// file of maxSignSize bytes or more ("文件长度过长!"). Files are read here,
// not when they are added.
bool buildLegacyPlainText(ControlState& state);

namespace members {

// S_FALSE with a box for a null argument; an empty item is a record of
// length 0.
HRESULT addFormItem(ControlState& state, BSTR formItem);
HRESULT addFileName(ControlState& state, BSTR fileName);
HRESULT putDefaultDN(ControlState& state, BSTR newVal);
HRESULT putDefaultDNRecv(ControlState& state, BSTR newVal);

}  // namespace members

}  // namespace qm
