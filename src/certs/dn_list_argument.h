// The partial-DN list a signing or envelope member takes from its argument.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "certs/partial_dn.h"
#include "control/state/control_state.h"

namespace qm {

// None when the argument is empty. A list that breaks the separator rules
// is dropped after a plain box tells the user why (shown in server mode
// too): "未设置DN分隔符" / "设置分隔符" without a separator, and
// `tooManyText` / "DN设置失败" with more than five parts.
std::optional<std::string> dnListArgument(const ControlState& state, BSTR argument,
                                          std::string_view tooManyText = MSG_DN_TOO_MANY_PARTS);

}  // namespace qm
