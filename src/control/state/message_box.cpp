#include "control/state/message_box.h"

#include "control/state/boundary.h"
#include "platform/context/context.h"

namespace qm {

ui::Button showMessageBox(std::string_view utf8Text, std::string_view utf8Caption, ui::Icon icon,
                          ui::Buttons buttons, ui::Owner owner) {
    return showAnsiMessageBox(ansiFromUtf8(utf8Text), utf8Caption, icon, buttons, owner);
}

ui::Button showAnsiMessageBox(std::string ansiText, std::string_view utf8Caption, ui::Icon icon,
                              ui::Buttons buttons, ui::Owner owner) {
    ui::MessageBoxRequest request;
    request.text = std::move(ansiText);
    request.caption = ansiFromUtf8(utf8Caption);
    request.buttons = buttons;
    request.icon = icon;
    request.owner = owner;
    return platform::context().ui().messageBox(request);
}

}  // namespace qm
