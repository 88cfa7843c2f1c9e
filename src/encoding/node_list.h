// The list of byte strings that finders and packages build and read within
// one call: items in the order they were appended, counted from 0, never
// empty. Items keep NUL bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

constexpr int32_t LIST_BAD_INDEX = -3;  // a negative index
constexpr int32_t LIST_NO_ITEM = -4;    // an empty item refused, or an index past the end

class NodeList {
public:
    // 0, or LIST_NO_ITEM for an empty item (nothing is added).
    int32_t append(std::string_view bytes);
    int32_t count() const { return static_cast<int32_t>(items_.size()); }
    // 0 with the item, LIST_BAD_INDEX or LIST_NO_ITEM.
    int32_t item(int32_t index, std::string_view& bytes) const;

private:
    std::vector<std::string> items_;
};

}  // namespace qm
