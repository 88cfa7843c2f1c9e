// What the back ends share: the names requests are logged and shown under.
// Not part of the interface.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/ui/ui.h"

namespace ui::detail {

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0
// (also for an empty text).
size_t utf8SequenceLength(std::string_view text);

// "ok" / "yesno", as the log writes them.
const char* buttonsName(Buttons buttons);
// "warning", "error", "question", "information"; "" for no icon.
const char* iconName(Icon icon);
// "none" / "control".
const char* ownerName(Owner owner);
// "PIN" / "pass phrase".
const char* secretName(SecretKind what);

// An answer as the answers file writes it, except that a PIN never appears:
// it is written "pin ***".
std::string formatScriptedAnswer(const ScriptedAnswer& answer);

}  // namespace ui::detail
