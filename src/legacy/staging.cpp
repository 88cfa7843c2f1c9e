#include "legacy/staging.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <system_error>

#include "certs/partial_dn.h"
#include "control/state/boundary.h"
#include "control/state/message_box.h"
#include "package/file_io.h"
#include "platform/codepage/codepage.h"
#include "platform/context/context.h"
#include "platform/files/files.h"

namespace qm {

namespace {

constexpr std::string_view CAPTION_STOP = "错误";
constexpr std::string_view CAPTION_INPUT = "输入错误";
constexpr std::string_view MSG_NO_FORM_ITEM = "表单内容为空!";
// The 8-digit length of the form records cannot say more; an item that
// would need more is refused where it comes in rather than packed into a
// text whose lengths lie.
constexpr std::string_view MSG_FORM_TOO_LONG = "表单内容过长!";
constexpr std::string_view MSG_NO_FILE_NAME = "文件名为空!";
constexpr std::string_view MSG_NOTHING_STAGED = "未完成表单内容/文件名输入!";
constexpr std::string_view MSG_CANNOT_OPEN_FILE = "无法打开文件!";
constexpr std::string_view MSG_FILE_TOO_LONG = "文件长度过长!";

std::u16string_view untilNul(BSTR text) {
    const std::u16string_view all(text, SysStringLen(text));
    return all.substr(0, all.find(u'\0'));
}

std::string lengthField(uint64_t length) {
    char field[24];
    std::snprintf(field, sizeof field, "%08llu", static_cast<unsigned long long>(length));
    return field;
}

// Why a staged file could not be packed; empty when it was.
std::string_view appendFile(std::string& text, std::string_view path, int32_t maxSignSize) {
    const std::optional<std::string_view> name = fileNameOfPath(path);
    if (!name || path.find('\0') != std::string_view::npos) return MSG_CANNOT_OPEN_FILE;
    const std::filesystem::path where = platform::context().files().map(path);
    std::error_code error;
    // Only a regular file has whole contents: a FIFO would block the page
    // until a writer came, and a folder (a path ending in a separator) has
    // none.
    if (std::filesystem::status(where, error).type() != std::filesystem::file_type::regular) {
        return MSG_CANNOT_OPEN_FILE;
    }
    const uintmax_t size = std::filesystem::file_size(where, error);
    const uint64_t limit = maxSignSize > 0 ? static_cast<uint64_t>(maxSignSize) : 0;
    if (error || size >= limit) {
        // The file is opened before its size counts: one that cannot be read
        // says so, however long it is.
        return std::ifstream(where, std::ios::binary) ? MSG_FILE_TOO_LONG : MSG_CANNOT_OPEN_FILE;
    }
    std::string content;
    if (files::readWholeFile(where, content) != files::ReadResult::Ok) return MSG_CANNOT_OPEN_FILE;
    // The file may have grown between the two looks.
    if (content.size() >= limit) return MSG_FILE_TOO_LONG;
    text += lengthField(8 + name->size() + content.size());
    text += lengthField(name->size());
    text += *name;
    text += content;
    return {};
}

}  // namespace

void legacyStop(ControlState& state, std::string_view utf8Message) {
    state.fileNames.reset();
    state.errorNum = LEGACY_STOPPED;
    showMessageBox(utf8Message, CAPTION_STOP, ui::Icon::Warning);
}

bool buildLegacyPlainText(ControlState& state) {
    if (!state.formItems && !state.fileNames) {
        legacyStop(state, MSG_NOTHING_STAGED);
        return false;
    }
    const std::string_view items = state.formItems ? std::string_view(*state.formItems) : std::string_view();
    std::string text = lengthField(items.size());
    text += items;
    const size_t filesField = text.size();
    text += lengthField(0);

    const std::string paths = state.fileNames.value_or(std::string());
    size_t start = 0;
    while (start <= paths.size()) {
        size_t end = paths.find('\t', start);
        if (end == std::string::npos) end = paths.size();
        const std::string_view path(paths.data() + start, end - start);
        start = end + 1;
        if (path.empty()) continue;
        if (const std::string_view stop = appendFile(text, path, state.maxSignSize); !stop.empty()) {
            legacyStop(state, stop);
            return false;
        }
    }
    // Each file is below maxSignSize, but many of them together can still
    // be more than the 8-digit field says.
    const uint64_t fileBytes = text.size() - filesField - 8;
    if (fileBytes > LEGACY_MAX_FIELD) {
        legacyStop(state, MSG_FILE_TOO_LONG);
        return false;
    }
    text.replace(filesField, 8, lengthField(fileBytes));
    state.legacyPlainText = std::move(text);
    state.formItems.reset();
    state.fileNames.reset();
    return true;
}

namespace members {

HRESULT addFormItem(ControlState& state, BSTR formItem) {
    if (!formItem) {
        showMessageBox(MSG_NO_FORM_ITEM, CAPTION_INPUT, ui::Icon::Warning);
        return S_FALSE;
    }
    try {
        // Code page 936 on purpose: the servers of these pages read form
        // items as GBK whatever system the page ran on.
        const std::string item = codepage::fromWide(untilNul(formItem), codepage::CP_GBK);
        const size_t staged = state.formItems ? state.formItems->size() : 0;
        if (staged + 8 + item.size() > LEGACY_MAX_FIELD) {
            showMessageBox(MSG_FORM_TOO_LONG, CAPTION_INPUT, ui::Icon::Warning);
            return S_FALSE;
        }
        std::string grown = state.formItems.value_or(std::string());
        grown += lengthField(item.size());
        grown += item;
        state.formItems = std::move(grown);
    } catch (const std::bad_alloc&) {
        state.errorNum = LEGACY_NO_MEMORY;
        return S_FALSE;
    }
    return S_OK;
}

HRESULT addFileName(ControlState& state, BSTR fileName) {
    if (!fileName) {
        showMessageBox(MSG_NO_FILE_NAME, CAPTION_INPUT, ui::Icon::Warning);
        return S_FALSE;
    }
    try {
        const Text path = toAnsi(fileName);
        std::string grown = state.fileNames.value_or(std::string());
        if (!grown.empty()) grown += '\t';
        grown += *path;
        state.fileNames = std::move(grown);
    } catch (const std::bad_alloc&) {
        state.errorNum = LEGACY_NO_MEMORY;
        return S_FALSE;
    }
    return S_OK;
}

HRESULT putDefaultDN(ControlState& state, BSTR newVal) {
    try {
        // With no separator at all nothing is stored, and a list staged
        // before stays.
        if (!state.dnSplitter) {
            showMessageBox(MSG_DN_NO_SEPARATOR, CAPTION_DN_NO_SEPARATOR, ui::Icon::None);
            return S_OK;
        }
        const Text list = toAnsi(newVal);
        if (!list || list->empty()) {
            state.defaultDN.reset();
            state.defaultDNText.reset();
            return S_OK;
        }
        state.defaultDN = *list;
        state.defaultDNText = com::Bstr(untilNul(newVal));
        // A list that fails its check is dropped, the one before it too: an
        // empty separator fails every list.
        switch (checkPartialDnList(*list, state.dnSplitter)) {
            case DN_LIST_OK:
                break;
            case DN_LIST_NO_SEPARATOR:
                showMessageBox(MSG_DN_NO_SEPARATOR, CAPTION_DN_NO_SEPARATOR, ui::Icon::None);
                state.defaultDN.reset();
                state.defaultDNText.reset();
                break;
            case DN_LIST_TOO_MANY_PARTS:
                showMessageBox(MSG_DN_TOO_MANY_PARTS, CAPTION_DN_TOO_MANY_PARTS, ui::Icon::None);
                state.defaultDN.reset();
                state.defaultDNText.reset();
                break;
        }
    } catch (const std::bad_alloc&) {
        state.defaultDN.reset();
        state.defaultDNText.reset();
    }
    return S_OK;
}

HRESULT putDefaultDNRecv(ControlState& state, BSTR newVal) {
    try {
        state.defaultDNRecv = toAnsi(newVal);
        if (!state.defaultDNRecv) {
            state.defaultDNRecvCN.reset();
            return S_OK;
        }
        const std::string& dn = *state.defaultDNRecv;
        const DnKey key = dnKeyValue(dn);
        state.defaultDNRecvCN = toWide(key.hasMarker() ? key.value : dn.substr(0, dn.find(',')));
    } catch (const std::bad_alloc&) {
        state.defaultDNRecv.reset();
        state.defaultDNRecvCN.reset();
    }
    return S_OK;
}

}  // namespace members

}  // namespace qm
