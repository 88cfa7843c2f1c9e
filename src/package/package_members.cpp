#include "package/package_members.h"

#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "control/state/identity.h"
#include "control/state/member.h"
#include "package/file_io.h"
#include "package/form_package.h"
#include "platform/codepage/codepage.h"
#include "platform/context/context.h"
#include "platform/files/files.h"
#include "platform/registry/registry.h"

namespace qm {

namespace {

constexpr std::string_view MSG_RECEIVED_EMPTY = "原文为空";
constexpr std::string_view MSG_NOT_AGREED_PLAINTEXT = "不是约定原文，不可分解";
constexpr std::string_view MSG_APPEND_FAILED = "加入表单失败";
constexpr std::string_view MSG_COMPOSE_FAILED = "数据编码失败";
constexpr std::string_view MSG_FILE_NOT_CHOSEN = "没有选择文件或者文件没有找到";
constexpr std::string_view MSG_FILE_READ_FAILED = "读取文件失败";
constexpr std::string_view MSG_FILE_SAVE_FAILED = "保存文件失败";
constexpr std::string_view MSG_NO_SETTINGS_KEY = "找不到包含文件保存路径的注册表记录项!";
// The value's name is cut short in this text, and stays so: pages and
// operators match the message as it has always read.
constexpr std::string_view MSG_NO_STUB_PATH = "在相应注册表记录项中找不到“tubPath”值域!";

constexpr int64_t FIELD = static_cast<int64_t>(PACKAGE_FIELD_SIZE);

// The agreed plaintext of `package` as a new text.
std::string composeText(const FormPackage& package) {
    int32_t length = 0;
    if (const int32_t code = package.compose({}, &length); code != PACKAGE_OK) fail(code, MSG_COMPOSE_FAILED);
    std::string text(static_cast<size_t>(length), '\0');
    if (const int32_t code = package.compose(text, &length); code != PACKAGE_OK) fail(code, MSG_COMPOSE_FAILED);
    return text;
}

// The package an add starts from: what is pending, when that is an agreed
// plaintext. Anything else pending (a text staged for signing, say) is
// dropped by the add that follows.
void parsePending(const ControlState& state, FormPackage& package) {
    if (state.pendingPlainText && !state.pendingPlainText->empty()) package.parse(*state.pendingPlainText);
}

// The received package, parsed once and then taken apart from the front.
// What is left is items [nextItem_, itemCount) and files [nextFile_,
// fileCount); the totals are those of what is left, so that whether the rest
// still fits its length fields is known without walking it.
class PackageCursor final : public ReceivedPackage {
public:
    // False when `text` is not an agreed plaintext.
    bool load(std::string_view text) {
        if (package_.parse(text) != PACKAGE_OK) return false;
        for (int32_t i = 0; i < package_.itemCount(); ++i) formTotal_ += FIELD + size(package_.item(i));
        for (int32_t i = 0; i < package_.fileCount(); ++i) {
            const auto [name, content] = package_.file(i);
            filesTotal_ += 2 * FIELD + size(name) + size(content);
        }
        return true;
    }

    bool hasItem() const { return nextItem_ < package_.itemCount(); }
    bool hasFile() const { return nextFile_ < package_.fileCount(); }
    bool empty() const { return !hasItem() && !hasFile(); }

    std::string_view nextItem() const { return package_.item(nextItem_); }
    std::pair<std::string_view, std::string_view> nextFile() const { return package_.file(nextFile_); }
    int64_t nextItemShare() const { return hasItem() ? FIELD + size(nextItem()) : 0; }
    int64_t nextFileShare() const {
        if (!hasFile()) return 0;
        const auto [name, content] = nextFile();
        return 2 * FIELD + size(name) + size(content);
    }

    // Whether the rest, less the given shares, composes. Once it does, every
    // later rest does too: the totals only shrink.
    bool restFits(int64_t itemShare, int64_t fileShare) const {
        return formTotal_ - itemShare <= MAX_PACKAGE_FIELD && filesTotal_ - fileShare <= MAX_PACKAGE_FIELD;
    }

    void takeItem() {
        formTotal_ -= nextItemShare();
        ++nextItem_;
    }
    void takeFile() {
        filesTotal_ -= nextFileShare();
        ++nextFile_;
    }

    Text compose() const override {
        if (empty()) return std::nullopt;
        FormPackage rest;
        for (int32_t i = nextItem_; i < package_.itemCount(); ++i) rest.appendItem(package_.item(i));
        for (int32_t i = nextFile_; i < package_.fileCount(); ++i) {
            const auto [name, content] = package_.file(i);
            rest.appendFile(name, content);
        }
        if (rest.itemCount() != package_.itemCount() - nextItem_ || rest.fileCount() != package_.fileCount() - nextFile_) {
            throw std::bad_alloc();
        }
        int32_t length = 0;
        std::string text;
        if (rest.compose({}, &length) == PACKAGE_OK) {
            text.assign(static_cast<size_t>(length), '\0');
            if (rest.compose(text, &length) == PACKAGE_OK) return text;
        }
        // The getters never leave a rest that does not fit (restFits).
        throw std::logic_error("received package does not compose");
    }

private:
    static int64_t size(std::string_view bytes) { return static_cast<int64_t>(bytes.size()); }

    FormPackage package_;
    int32_t nextItem_ = 0;
    int32_t nextFile_ = 0;
    int64_t formTotal_ = 0;
    int64_t filesTotal_ = 0;
};

// The received package as it stands for this get: the cursor an earlier get
// left (receivedPlainText is null then), or a fresh parse of
// receivedPlainText, held in `fresh` until the get commits.
PackageCursor& openReceived(ControlState& state, std::unique_ptr<PackageCursor>& fresh) {
    if (!state.receivedPlainText) {
        auto* cursor = dynamic_cast<PackageCursor*>(state.receivedPackage.get());
        if (!cursor || cursor->empty()) fail(ERR_NO_RECEIVED_TEXT, MSG_RECEIVED_EMPTY);
        return *cursor;
    }
    if (state.receivedPlainText->empty()) fail(ERR_NO_RECEIVED_TEXT, MSG_RECEIVED_EMPTY);
    try {
        fresh = std::make_unique<PackageCursor>();
        if (!fresh->load(*state.receivedPlainText)) fail(ERR_NOT_AGREED_PLAINTEXT, MSG_NOT_AGREED_PLAINTEXT);
    } catch (const std::bad_alloc&) {
        fail(ERR_NO_MEMORY, MSG_NO_MEMORY_ALT);
    }
    return *fresh;
}

// Makes what is left the received text: the cursor becomes the state's and
// receivedPlainText null, or both go when nothing is left. A cursor that is
// used up is handed back so that the views into it stay valid for the rest
// of the call.
std::unique_ptr<ReceivedPackage> commit(ControlState& state, std::unique_ptr<PackageCursor> fresh) {
    if (fresh) state.receivedPackage = std::move(fresh);
    state.receivedPlainText.reset();
    const auto* cursor = dynamic_cast<const PackageCursor*>(state.receivedPackage.get());
    if (cursor && cursor->empty()) return std::move(state.receivedPackage);
    return nullptr;
}

// A name taken from a received package is only ever a name. One that would
// climb out of the folder it is saved in (a separator, "." or ".."), that is
// empty, or that holds a NUL (the rest would be cut off on disk) is refused.
// The test is made on the text as it lands on disk, so that the second byte
// of a double-byte character is never taken for a backslash.
bool isSafeReceivedName(std::string_view ansiName) {
    if (ansiName.find('\0') != std::string_view::npos) return false;
    return files::isPlainFileName(codepage::utf8FromAnsi(ansiName));
}

}  // namespace

std::string readStubPath() {
    registry::Key key;
    if (platform::context().registry().openKey(registry::Root::LocalMachine, settingsKeyPath(),
                                               registry::KEY_ALL_ACCESS, key) != registry::ERROR_SUCCESS) {
        fail(ERR_NO_SAVE_FOLDER, MSG_NO_SETTINGS_KEY);
    }
    registry::Value value;
    if (key.queryValue("stubPath", value) != registry::ERROR_SUCCESS) fail(ERR_NO_SAVE_FOLDER, MSG_NO_STUB_PATH);
    // The type is not checked: text is taken in the ANSI code page, any
    // other value as its bytes; either up to its first NUL.
    const std::string_view data = std::string_view(value.data).substr(0, value.data.find('\0'));
    if (value.type == registry::REG_SZ || value.type == registry::REG_EXPAND_SZ) return codepage::ansiFromUtf8(data);
    return std::string(data);
}

}  // namespace qm

namespace qm::members {

HRESULT QMAddFormItem(ControlState& state, BSTR itemContent) {
    return runMember(state, nullptr, [&] {
        try {
            FormPackage package;
            parsePending(state, package);
            const std::optional<std::string> item = ansiArgument(itemContent);
            if (!item) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
            if (const int32_t code = package.appendItem(*item); code != PACKAGE_OK) fail(code, MSG_APPEND_FAILED);
            state.pendingPlainText = composeText(package);
        } catch (const std::bad_alloc&) {
            fail(ERR_NO_MEMORY, MSG_NO_MEMORY_ALT);
        }
    });
}

HRESULT QMAddFile(ControlState& state, BSTR fileName) {
    return runMember(state, nullptr, [&] {
        const std::optional<std::string> path = ansiArgument(fileName);
        if (!path && state.serverMode) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
        std::string name;
        std::string content;
        const int32_t read = loadFileContents(ansiFromUtf8(FILE_OPEN_TITLE), FILE_FILTER_ALL, name, content, path);
        if (read == ERR_FILE_NOT_CHOSEN) fail(ERR_NO_FILE, MSG_FILE_NOT_CHOSEN);
        if (read != OK) fail(read, MSG_FILE_READ_FAILED);
        try {
            FormPackage package;
            parsePending(state, package);
            if (const int32_t code = package.appendFile(name, content); code != PACKAGE_OK) {
                fail(code, MSG_APPEND_FAILED);
            }
            state.pendingPlainText = composeText(package);
        } catch (const std::bad_alloc&) {
            fail(ERR_NO_MEMORY, MSG_NO_MEMORY_ALT);
        }
    });
}

// Each get takes one element from the front and leaves the rest as the
// received text. The rest is not composed here: the cursor stands in for it
// until somebody reads the text, so taking a package apart costs time in
// proportion to its size rather than to its size times its element count.
HRESULT QMGetFormItem(ControlState& state, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        std::unique_ptr<PackageCursor> fresh;
        PackageCursor& cursor = openReceived(state, fresh);
        if (!cursor.restFits(cursor.nextItemShare(), 0)) fail(PACKAGE_FAILED, MSG_COMPOSE_FAILED);
        // The item is converted before it leaves the package, so that a
        // conversion that runs out of memory loses nothing.
        com::Bstr result;
        if (cursor.hasItem()) {
            result = toWide(cursor.nextItem());
            cursor.takeItem();
        }
        commit(state, std::move(fresh));
        return result;
    });
}

HRESULT QMGetFile(ControlState& state, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        std::unique_ptr<PackageCursor> fresh;
        PackageCursor& cursor = openReceived(state, fresh);
        if (!cursor.restFits(0, cursor.nextFileShare())) fail(PACKAGE_FAILED, MSG_COMPOSE_FAILED);
        if (!cursor.hasFile()) {
            commit(state, std::move(fresh));
            return com::Bstr();
        }
        const auto [name, content] = cursor.nextFile();
        com::Bstr result = toWide(name);
        cursor.takeFile();
        // From here on the file has left the received text, whether or not
        // it reaches the disk.
        const std::unique_ptr<ReceivedPackage> usedUp = commit(state, std::move(fresh));

        if (!isSafeReceivedName(name)) fail(ERR_FILE_READ, MSG_FILE_SAVE_FAILED);
        std::optional<std::string> target;
        // The folder text is taken as it stands: the registered one ends
        // with a backslash, and no separator is put in between.
        if (state.serverMode) target = readStubPath() + std::string(name);
        const int32_t saved = saveFileContents(ansiFromUtf8(FILE_SAVE_TITLE), FILE_FILTER_ALL, name, content, target);
        if (saved != OK) fail(saved, MSG_FILE_SAVE_FAILED);
        return result;
    });
}

}  // namespace qm::members
