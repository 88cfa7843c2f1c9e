#include "encoding/node_list.h"

namespace qm {

int32_t NodeList::append(std::string_view bytes) {
    if (bytes.empty()) return LIST_NO_ITEM;
    items_.emplace_back(bytes);
    return 0;
}

int32_t NodeList::item(int32_t index, std::string_view& bytes) const {
    bytes = {};
    if (index < 0) return LIST_BAD_INDEX;
    if (static_cast<size_t>(index) >= items_.size()) return LIST_NO_ITEM;
    bytes = items_[static_cast<size_t>(index)];
    return 0;
}

}  // namespace qm
