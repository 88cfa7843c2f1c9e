#include "certs/dn_list_argument.h"

#include "control/state/boundary.h"
#include "control/state/message_box.h"

namespace qm {

std::optional<std::string> dnListArgument(const ControlState& state, BSTR argument, std::string_view tooManyText) {
    std::optional<std::string> list = ansiArgument(argument);
    if (!list) return std::nullopt;
    switch (checkPartialDnList(*list, state.dnSplitter)) {
        case DN_LIST_OK:
            return list;
        case DN_LIST_NO_SEPARATOR:
            showMessageBox(MSG_DN_NO_SEPARATOR, CAPTION_DN_NO_SEPARATOR, ui::Icon::None);
            return std::nullopt;
        case DN_LIST_TOO_MANY_PARTS:
            showMessageBox(tooManyText, CAPTION_DN_TOO_MANY_PARTS, ui::Icon::None);
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace qm
