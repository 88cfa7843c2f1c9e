// The plain message boxes the control shows: texts are written in UTF-8 in
// the source and shown in the ANSI code page, as the control's own were.
#pragma once

#include <string>
#include <string_view>

#include "platform/ui/ui.h"

namespace qm {

ui::Button showMessageBox(std::string_view utf8Text, std::string_view utf8Caption, ui::Icon icon,
                          ui::Buttons buttons = ui::Buttons::Ok, ui::Owner owner = ui::Owner::None);
// The same with a text that is already ANSI (a text made from page data).
ui::Button showAnsiMessageBox(std::string ansiText, std::string_view utf8Caption, ui::Icon icon,
                              ui::Buttons buttons = ui::Buttons::Ok, ui::Owner owner = ui::Owner::None);

}  // namespace qm
