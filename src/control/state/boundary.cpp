#include "control/state/boundary.h"

#include "control/state/codes.h"
#include "platform/codepage/codepage.h"

namespace qm {

namespace {

std::u16string_view untilNul(BSTR text) {
    const std::u16string_view all(text, SysStringLen(text));
    return all.substr(0, all.find(u'\0'));
}

}  // namespace

Text toAnsi(BSTR text) {
    if (!text) return std::nullopt;
    return codepage::ansiFromWide(untilNul(text));
}

uint32_t ansiLength(BSTR text) {
    if (!text) return 0;
    const std::u16string_view chars = untilNul(text);
    // Every character takes at least one byte: a string with more characters
    // than the limit allows is too long without converting it.
    if (chars.empty() || chars.size() > MAX_TEXT_BYTES) return 0;
    const std::string ansi = codepage::ansiFromWide(chars);
    return ansi.size() > MAX_TEXT_BYTES ? 0 : static_cast<uint32_t>(ansi.size());
}

std::optional<std::string> ansiArgument(BSTR text) {
    if (!text) return std::nullopt;
    const std::u16string_view chars = untilNul(text);
    if (chars.empty() || chars.size() > MAX_TEXT_BYTES) return std::nullopt;
    std::string ansi = codepage::ansiFromWide(chars);
    if (ansi.empty() || ansi.size() > MAX_TEXT_BYTES) return std::nullopt;
    return ansi;
}

com::Bstr toWide(std::string_view ansi) { return com::Bstr(codepage::wideFromAnsi(ansi.substr(0, ansi.find('\0')))); }

com::Bstr toWide(const Text& ansi) { return ansi ? toWide(std::string_view(*ansi)) : com::Bstr(); }

com::Bstr wideFromUtf8(std::string_view utf8) { return com::Bstr(codepage::wideFromUtf8(utf8)); }

std::string ansiFromUtf8(std::string_view utf8) { return codepage::ansiFromUtf8(utf8); }

BSTR handOutText(const Text& text) noexcept {
    try {
        com::Bstr wide = toWide(text);
        return wide.isNull() ? com::Bstr::empty().detach() : wide.detach();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

HRESULT handOutOnce(Text& text, BSTR* pVal) noexcept {
    if (!pVal) return E_POINTER;
    *pVal = handOutText(text);
    text.reset();
    return S_OK;
}

void setErrMsg(ControlState& state, std::string_view utf8Message) { state.errMsg = wideFromUtf8(utf8Message); }

}  // namespace qm
