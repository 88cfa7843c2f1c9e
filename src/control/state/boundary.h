// Text at the automation boundary: strings from script become ANSI bytes on
// the way in, and results become strings on the way out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/state/control_state.h"
#include "platform/com/owners.h"

namespace qm {

// The ANSI form of a string argument, up to its first NUL character, with '?'
// for what the code page cannot hold. A null string gives nullopt.
Text toAnsi(BSTR text);

// The byte length of toAnsi(text); 0 for a null or empty string and for one
// whose ANSI form is longer than MAX_TEXT_BYTES. Members read 0 as "no data".
uint32_t ansiLength(BSTR text);

// The ANSI bytes of an argument when ansiLength says there are any.
std::optional<std::string> ansiArgument(BSTR text);

// A result text as a string: exactly the characters the ANSI conversion of
// the bytes before the first NUL yields.
com::Bstr toWide(std::string_view ansi);
inline com::Bstr toWide(const std::string& ansi) { return toWide(std::string_view(ansi)); }
inline com::Bstr toWide(const char* ansi) { return toWide(std::string_view(ansi)); }
// Null text gives a null string, which members hand out as empty.
com::Bstr toWide(const Text& ansi);

// The control's own fixed texts are written in UTF-8 in the source; these
// give them the form the system works in.
com::Bstr wideFromUtf8(std::string_view utf8);
std::string ansiFromUtf8(std::string_view utf8);

// A result text for the caller of a first-generation getter: never null, and
// a copy that cannot be made is not reported (the getter answers S_OK).
BSTR handOutText(const Text& text) noexcept;
// The same for a read-once result: the text is released once handed out.
HRESULT handOutOnce(Text& text, BSTR* pVal) noexcept;

// Stores a fixed message as the object's errMsg.
void setErrMsg(ControlState& state, std::string_view utf8Message);

}  // namespace qm
