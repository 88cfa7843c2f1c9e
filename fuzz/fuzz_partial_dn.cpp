// The partial-DN rules on any list and separator.
#include <cstddef>
#include <cstdint>
#include <string>

#include "certs/partial_dn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte says how long the separator is.
    const size_t separatorLength = std::min<size_t>(data[0] % 4, size - 1);
    const std::string separator(reinterpret_cast<const char*>(data + 1), separatorLength);
    const std::string_view list(reinterpret_cast<const char*>(data + 1 + separatorLength), size - 1 - separatorLength);
    (void)qm::checkPartialDnList(list, separator);
    (void)qm::normalizeDnText(list);
    const auto parts = qm::splitPartialDns(list, separator);
    (void)qm::matchesPartialDns("C=CN, O=Bank, OU=Branch, CN=Test User", parts);
    (void)qm::dnKeyValue(list);
    (void)qm::issuerTextEquals("C=CN, CN=Test CA", list);
    return 0;
}
