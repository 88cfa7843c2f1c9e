#include "token/token_message.h"

#include <limits>
#include <new>

#include "control/state/member.h"
#include "package/file_io.h"

namespace qm {

namespace {

constexpr uint32_t PADDING_BLOCK = 64;
// The five-byte headers counted in front of the key hash message's value:
// the body's, the CSP hash message's, the padding's and its own, and with a
// file the file name's and the file data's as well.
constexpr uint64_t HEADERS_WITHOUT_FILE = 4 * TOKEN_HEADER_SIZE;
constexpr uint64_t HEADERS_WITH_FILE = 6 * TOKEN_HEADER_SIZE;

void putElementHeader(std::string& out, uint8_t tag, uint64_t length) {
    out.push_back(static_cast<char>(tag));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((length >> shift) & 0xFF));
}

void putElement(std::string& out, uint8_t tag, std::string_view value) {
    putElementHeader(out, tag, value.size());
    out.append(value);
}

}  // namespace

uint32_t tokenPaddingLength(uint64_t cspHashLength, std::optional<uint64_t> fileLengths) {
    const uint64_t ahead = fileLengths ? cspHashLength + *fileLengths + HEADERS_WITH_FILE
                                       : cspHashLength + HEADERS_WITHOUT_FILE;
    return PADDING_BLOCK - static_cast<uint32_t>(ahead % PADDING_BLOCK);
}

int32_t buildTokenMessage(const Text& warningMsg, const Text& cspHashMsg, const Text& keyHashMsg,
                          const Text& userFileName, const Text& userFileData, std::string& message) {
    message.clear();
    if (!warningMsg || !cspHashMsg || !keyHashMsg) return ERR_NO_SOURCE;
    const bool withFile = userFileName.has_value() && userFileData.has_value();

    const uint64_t fileLengths = withFile ? uint64_t{userFileName->size()} + userFileData->size() : 0;
    const uint32_t padding =
        tokenPaddingLength(cspHashMsg->size(), withFile ? std::optional<uint64_t>(fileLengths) : std::nullopt);
    const uint64_t elements = withFile ? 5 : 3;
    const uint64_t bodyLength = uint64_t{cspHashMsg->size()} + fileLengths + padding + keyHashMsg->size() +
                                elements * TOKEN_HEADER_SIZE;
    const uint64_t messageLength = uint64_t{warningMsg->size()} + bodyLength + 2 * TOKEN_HEADER_SIZE;
    // Each length travels in four bytes; every value is far smaller than
    // the body, so the body's length decides.
    if (bodyLength > std::numeric_limits<uint32_t>::max() || warningMsg->size() > std::numeric_limits<uint32_t>::max()) {
        return ERR_NO_MEMORY;
    }

    try {
        std::string built;
        built.reserve(static_cast<size_t>(messageLength));
        putElement(built, TOKEN_TAG_WARNING, *warningMsg);
        putElementHeader(built, TOKEN_TAG_BODY, bodyLength);
        putElement(built, TOKEN_TAG_CSP_HASH, *cspHashMsg);
        if (withFile) {
            putElement(built, TOKEN_TAG_FILE_NAME, *userFileName);
            putElement(built, TOKEN_TAG_FILE_DATA, *userFileData);
        }
        putElementHeader(built, TOKEN_TAG_PADDING, padding);
        built.append(padding, TOKEN_PADDING_BYTE);
        putElement(built, TOKEN_TAG_KEY_HASH, *keyHashMsg);
        message = std::move(built);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    return OK;
}

namespace members {

namespace {

constexpr std::string_view MSG_NO_WARNING = "警告信息为空";
constexpr std::string_view MSG_FILE_NOT_CHOSEN = "没有选择文件或者文件没有找到";
constexpr std::string_view MSG_FILE_READ_FAILED = "读取文件失败";

// The three texts share one message whichever is missing. A failed call
// leaves the staged text as it was.
std::string stagedText(BSTR text) {
    std::optional<std::string> ansi = ansiArgument(text);
    if (!ansi) fail(ERR_NO_SOURCE, MSG_NO_WARNING);
    return std::move(*ansi);
}

// Each CR that comes right before an LF goes; a lone CR stays.
std::string withoutCrBeforeLf(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace

HRESULT QMSetWarningMsg(ControlState& state, BSTR szMsg) {
    return runMember(state, nullptr, [&] { state.warningMsg = stagedText(szMsg); });
}

HRESULT QMSetCSPHashMsg(ControlState& state, BSTR szMsg) {
    return runMember(state, nullptr, [&] { state.cspHashMsg = stagedText(szMsg); });
}

HRESULT QMSetKeyHashMsg(ControlState& state, BSTR szMsg) {
    return runMember(state, nullptr, [&] { state.keyHashMsg = withoutCrBeforeLf(stagedText(szMsg)); });
}

// Unlike the other file members this one never looks at serverMode: an
// empty name shows the open dialog in server mode too.
HRESULT QMSetUserFileName(ControlState& state, BSTR szFileName) {
    return runMember(state, nullptr, [&] {
        const std::optional<std::string> path = ansiArgument(szFileName);
        std::string name;
        std::string content;
        const int32_t read = loadFileContents(ansiFromUtf8(FILE_OPEN_TITLE), FILE_FILTER_ALL, name, content, path);
        if (read == ERR_FILE_NOT_CHOSEN) fail(ERR_NO_FILE, MSG_FILE_NOT_CHOSEN);
        if (read != OK) fail(read, MSG_FILE_READ_FAILED);
        state.userFileName = std::move(name);
        state.userFileData = std::move(content);
    });
}

}  // namespace members

}  // namespace qm
