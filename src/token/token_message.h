// The token message: what a page stages one part at a time for a token
// signature, and the tag-length-value layout it is signed in.
//
// Every element is a 1-byte tag, a 4-byte big-endian length and the value.
// A message is exactly two elements:
//
//   10 len  warning text                  shown by the token, not carried
//   11 len  body:
//             21 len  CSP hash message
//             23 len  user file name      } only when both are staged
//             24 len  user file data      }
//             25 len  P bytes '0'         padding, 1 to 64
//             22 len  key hash message
//
// The padding puts the key hash message's value a whole multiple of 64
// bytes behind the body's first byte: P = 64 - ((C + N + D + 30) mod 64)
// with a file, 64 - ((C + 20) mod 64) without (C, N, D: lengths of the CSP
// hash message, file name and file data), 64 where that would be 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/state/control_state.h"

namespace qm {

constexpr uint8_t TOKEN_TAG_WARNING = 0x10;
constexpr uint8_t TOKEN_TAG_BODY = 0x11;
constexpr uint8_t TOKEN_TAG_CSP_HASH = 0x21;
constexpr uint8_t TOKEN_TAG_KEY_HASH = 0x22;
constexpr uint8_t TOKEN_TAG_FILE_NAME = 0x23;
constexpr uint8_t TOKEN_TAG_FILE_DATA = 0x24;
constexpr uint8_t TOKEN_TAG_PADDING = 0x25;
constexpr size_t TOKEN_HEADER_SIZE = 5;
constexpr char TOKEN_PADDING_BYTE = '0';

// P for the lengths given (fileLengths: N + D, or nullopt without a file).
uint32_t tokenPaddingLength(uint64_t cspHashLength, std::optional<uint64_t> fileLengths);

// Builds the message from the staged parts. 0 with `message`;
// ERR_NO_SOURCE when the warning, the CSP hash message or the key hash
// message is missing; ERR_NO_MEMORY when memory is short or the message
// would not fit its 4-byte lengths. A file name without file data (or data
// without a name) leaves both file elements out.
int32_t buildTokenMessage(const Text& warningMsg, const Text& cspHashMsg, const Text& keyHashMsg,
                          const Text& userFileName, const Text& userFileData, std::string& message);

namespace members {

HRESULT QMSetWarningMsg(ControlState& state, BSTR szMsg);
HRESULT QMSetCSPHashMsg(ControlState& state, BSTR szMsg);
HRESULT QMSetKeyHashMsg(ControlState& state, BSTR szMsg);
HRESULT QMSetUserFileName(ControlState& state, BSTR szFileName);

}  // namespace members

}  // namespace qm
