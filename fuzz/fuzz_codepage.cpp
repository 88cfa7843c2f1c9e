// Code page 936 both ways on any input: conversions never stop or overrun,
// and text that came from bytes converts back without growing beyond two
// bytes a character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/codepage/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string wide = codepage::toWide(bytes, codepage::CP_GBK);
    const std::string back = codepage::fromWide(wide, codepage::CP_GBK);
    if (back.size() > 2 * wide.size()) std::abort();
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    (void)codepage::fromWide(units, codepage::CP_GBK);
    (void)codepage::fromWide(units, codepage::CP_UTF8);
    (void)codepage::toWide(bytes, codepage::CP_UTF8);
    return 0;
}
