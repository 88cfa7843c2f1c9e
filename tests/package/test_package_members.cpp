#include "package/package_members.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "control/registration.h"
#include "control/state/codes.h"
#include "control/state/identity.h"
#include "messages/verification.h"
#include "package/form_package.h"
#include "platform/codepage/codepage.h"
#include "support/test_home.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

const std::string AB_PACKAGE = "0000001800000001a00000001b00000000";

struct Outcome {
    HRESULT hr = E_FAIL;
    std::string text;  // UTF-8
    int32_t errorNum = 1;
    std::string errMsg;  // UTF-8
};

std::string utf8(const com::Bstr& text) { return codepage::utf8FromWide(text.view()); }
com::Bstr wide(std::string_view utf8Text) { return com::Bstr(codepage::wideFromUtf8(utf8Text)); }

// A package from its parts, composed as a sender would have sent it.
std::string package(const std::vector<std::string>& items,
                    const std::vector<std::pair<std::string, std::string>>& files) {
    qm::FormPackage built;
    for (const auto& item : items) EXPECT_EQ(built.appendItem(item), qm::PACKAGE_OK);
    for (const auto& [name, content] : files) EXPECT_EQ(built.appendFile(name, content), qm::PACKAGE_OK);
    int32_t length = 0;
    EXPECT_EQ(built.compose({}, &length), qm::PACKAGE_OK);
    std::string text(static_cast<size_t>(length), '\0');
    EXPECT_EQ(built.compose(text, &length), qm::PACKAGE_OK);
    return text;
}

class PackageMembersTest : public testing_support::HomeTest {
protected:
    void SetUp() override { codepage::setAnsiCodePage(codepage::CP_GBK); }
    void TearDown() override { codepage::setAnsiCodePage(0); }

    Outcome outcome(HRESULT hr, const com::Bstr& text = {}) {
        return {hr, utf8(text), state.errorNum, utf8(state.errMsg)};
    }
    Outcome addItem(std::string_view utf8Text) {
        return outcome(qm::members::QMAddFormItem(state, wide(utf8Text).get()));
    }
    Outcome addFile(const com::Bstr& path) { return outcome(qm::members::QMAddFile(state, path.get())); }
    Outcome getItem() {
        com::Bstr text;
        const HRESULT hr = qm::members::QMGetFormItem(state, text.out());
        return outcome(hr, text);
    }
    Outcome getFile() {
        com::Bstr text;
        const HRESULT hr = qm::members::QMGetFile(state, text.out());
        return outcome(hr, text);
    }
    // What a page reads back with QMGetPlainText (UTF-8 from the GBK bytes).
    std::string plainText() {
        com::Bstr text;
        EXPECT_EQ(qm::members::QMGetPlainText(state, text.out()), S_OK);
        return utf8(text);
    }

    void setStubPath(const std::optional<std::string>& folder) {
        registry::Key key;
        ASSERT_EQ(home.context().registry().createKey(registry::Root::LocalMachine, qm::settingsKeyPath(),
                                                      registry::KEY_ALL_ACCESS, key),
                  registry::ERROR_SUCCESS);
        if (folder) {
            ASSERT_EQ(key.setString("stubPath", *folder), registry::ERROR_SUCCESS);
        }
    }
    fs::path drive(char letter) { return home.path() / "drives" / std::string(1, letter); }

    qm::ControlState state;
};

void expectFailure(const Outcome& outcome, int32_t code, std::string_view message) {
    EXPECT_EQ(outcome.hr, S_FALSE);
    EXPECT_EQ(outcome.text, "");
    EXPECT_EQ(outcome.errorNum, code);
    EXPECT_EQ(outcome.errMsg, message);
}

void expectSuccess(const Outcome& outcome, std::string_view text) {
    EXPECT_EQ(outcome.hr, S_OK);
    EXPECT_EQ(outcome.text, text);
    EXPECT_EQ(outcome.errorNum, 0);
    EXPECT_EQ(outcome.errMsg, "");
}

TEST_F(PackageMembersTest, ItemsAddUpToTheAgreedPlaintext) {
    expectSuccess(addItem("a"), "");
    expectSuccess(addItem("b"), "");
    EXPECT_EQ(state.pendingPlainText, AB_PACKAGE);

    // A missing item changes nothing.
    expectFailure(outcome(qm::members::QMAddFormItem(state, nullptr)), qm::ERR_NO_SOURCE, "源数据为空");
    expectFailure(addItem(""), qm::ERR_NO_SOURCE, "源数据为空");
    EXPECT_EQ(state.pendingPlainText, AB_PACKAGE);

    // Text staged for signing is not a package: the first add replaces it.
    state.pendingPlainText = "ordinary text";
    expectSuccess(addItem("x"), "");
    EXPECT_EQ(state.pendingPlainText, "0000000900000001x00000000");

    // Items are counted in GBK bytes.
    state.pendingPlainText.reset();
    expectSuccess(addItem("转账"), "");
    EXPECT_EQ(state.pendingPlainText, "0000001200000004" + codepage::ansiFromUtf8("转账") + "00000000");
}

TEST_F(PackageMembersTest, FilesAreReadByPathOrChosen) {
    writeFile(drive('c') / "demo" / "statement.txt", "hello");
    writeFile(drive('c') / "demo" / "empty.txt", "");
    writeFile(home.path() / "chosen.bin", std::string("\0\1", 2));

    expectSuccess(addItem("ab"), "");
    expectSuccess(addFile(wide("c:\\demo\\statement.txt")), "");
    EXPECT_EQ(state.pendingPlainText, "0000001000000002ab000000340000002600000013statement.txthello");

    const std::string before = *state.pendingPlainText;
    const struct Case {
        const char* name;
        com::Bstr path;
        int32_t code;
        const char* message;
    } cases[] = {
        // The name is what follows the last separator: a bare name has none.
        {"no separator", wide("statement.txt"), qm::ERR_FILE_READ, "读取文件失败"},
        {"empty file", wide("c:\\demo\\empty.txt"), qm::ERR_FILE_READ, "读取文件失败"},
        {"missing file", wide("c:\\demo\\none.txt"), qm::ERR_FILE_READ, "读取文件失败"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectFailure(addFile(c.path), c.code, c.message);
        EXPECT_EQ(state.pendingPlainText, before);
    }

    // Without a path the open dialog asks; cancelled, nothing is added.
    home.answer("cancel");
    expectFailure(addFile(com::Bstr()), qm::ERR_NO_FILE, "没有选择文件或者文件没有找到");
    home.answer("file " + (home.path() / "chosen.bin").string());
    expectSuccess(addFile(com::Bstr()), "");
    ASSERT_EQ(home.ui().requests().size(), 2u);
    EXPECT_EQ(home.ui().requests()[1].kind, "open");
    EXPECT_EQ(home.ui().requests()[1].title, "选择文件");
    EXPECT_EQ(state.pendingPlainText,
              package({"ab"}, {{"statement.txt", "hello"}, {"chosen.bin", std::string("\0\1", 2)}}));

    // In server mode there is no dialog to ask.
    state.serverMode = 1;
    expectFailure(addFile(com::Bstr()), qm::ERR_NO_SOURCE, "源数据为空");
    EXPECT_EQ(home.ui().requests().size(), 2u);
}

TEST_F(PackageMembersTest, ItemsComeOutOldestFirstUntilNoneIsLeft) {
    state.receivedPlainText = AB_PACKAGE;
    expectSuccess(getItem(), "a");
    EXPECT_EQ(plainText(), "0000000900000001b00000000");
    expectSuccess(getItem(), "b");
    EXPECT_EQ(plainText(), "");
    EXPECT_FALSE(state.receivedPlainText);
    expectFailure(getItem(), qm::ERR_NO_RECEIVED_TEXT, "原文为空");
    expectFailure(getFile(), qm::ERR_NO_RECEIVED_TEXT, "原文为空");

    // An empty text is nothing to take apart either.
    state.receivedPlainText = "";
    expectFailure(getItem(), qm::ERR_NO_RECEIVED_TEXT, "原文为空");
}

TEST_F(PackageMembersTest, TextThatIsNoPackageStaysAsItIs) {
    for (const std::string text : {"hello", "00000000", "0000002100000002ab"}) {
        SCOPED_TRACE(text);
        state.receivedPlainText = text;
        expectFailure(getItem(), qm::ERR_NOT_AGREED_PLAINTEXT, "不是约定原文，不可分解");
        expectFailure(getFile(), qm::ERR_NOT_AGREED_PLAINTEXT, "不是约定原文，不可分解");
        EXPECT_EQ(plainText(), text);
    }
}

// A get that finds nothing of its kind succeeds with an empty string and
// leaves the other kind in place.
TEST_F(PackageMembersTest, EachGetLeavesTheOtherKindAlone) {
    const std::string filesOnly = package({}, {{"a.txt", "hello"}});
    state.receivedPlainText = filesOnly;
    expectSuccess(getItem(), "");
    EXPECT_EQ(plainText(), filesOnly);

    const std::string itemsOnly = package({"x", "y"}, {});
    state.receivedPlainText = itemsOnly;
    expectSuccess(getFile(), "");
    EXPECT_EQ(plainText(), itemsOnly);
    EXPECT_TRUE(home.ui().requests().empty());

    // What a get leaves is the package composed again: bytes the format
    // ignores do not survive it.
    state.receivedPlainText = filesOnly + "trailing bytes";
    expectSuccess(getItem(), "");
    EXPECT_EQ(plainText(), filesOnly);
}

TEST_F(PackageMembersTest, ServerModeSavesIntoTheStubPathFolder) {
    setStubPath("d:\\in\\");
    state.serverMode = 1;
    writeFile(drive('d') / "in" / "r.txt", "an older file, longer than the new one");
    state.receivedPlainText = package({"item"}, {{"r.txt", "new"}, {"s.txt", "second"}});

    expectSuccess(getFile(), "r.txt");
    EXPECT_EQ(readFile(drive('d') / "in" / "r.txt"), "new");
    EXPECT_EQ(plainText(), codepage::utf8FromAnsi(package({"item"}, {{"s.txt", "second"}})));
    expectSuccess(getFile(), "s.txt");
    EXPECT_EQ(readFile(drive('d') / "in" / "s.txt"), "second");
    expectSuccess(getFile(), "");
    expectSuccess(getItem(), "item");
    EXPECT_TRUE(home.ui().requests().empty());
}

// A received name is only a name: one that would land outside the folder is
// refused, the file is not written, and it has still left the package.
TEST_F(PackageMembersTest, NamesThatLeaveTheFolderAreRefused) {
    setStubPath("c:\\quillmarkStub\\");
    fs::create_directories(drive('c') / "quillmarkStub");
    state.serverMode = 1;
    const std::string gbkName = codepage::ansiFromUtf8("对账单.txt");
    const struct Case {
        const char* name;
        std::string fileName;
    } cases[] = {
        {"parent folder", ".."},
        {"this folder", "."},
        {"backslash", "..\\escaped.txt"},
        {"slash", "../escaped.txt"},
        {"inner separator", "sub\\escaped.txt"},
        {"NUL", std::string("escaped.txt\0.pdf", 16)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state.receivedPlainText = package({}, {{c.fileName, "payload"}, {gbkName, "kept"}});
        Outcome refused = getFile();
        expectFailure(refused, qm::ERR_FILE_READ, "保存文件失败");
        expectSuccess(getFile(), "对账单.txt");
        EXPECT_EQ(readFile(drive('c') / "quillmarkStub" / "对账单.txt"), "kept");
    }
    EXPECT_FALSE(fs::exists(drive('c') / "escaped.txt"));
    EXPECT_FALSE(fs::exists(drive('c') / "quillmarkStub" / "sub"));
    EXPECT_FALSE(fs::exists(drive('c') / "quillmarkStub" / "escaped.txt"));
}

TEST_F(PackageMembersTest, CancelledSaveDialogLosesOnlyThatFile) {
    state.receivedPlainText = package({}, {{"one.txt", "1"}, {"two.txt", "2"}});
    home.answer("cancel");
    expectFailure(getFile(), qm::ERR_FILE_READ, "保存文件失败");
    const auto target = home.path() / "saved" / "two.txt";
    fs::create_directories(target.parent_path());
    home.answer("file " + target.string());
    expectSuccess(getFile(), "two.txt");
    EXPECT_EQ(readFile(target), "2");

    const auto& requests = home.ui().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].kind, "save");
    EXPECT_EQ(requests[0].title, "保存文件");
    EXPECT_EQ(requests[0].name, "one.txt");
    EXPECT_EQ(requests[1].name, "two.txt");
}

TEST_F(PackageMembersTest, MissingSettingsStopServerMode) {
    state.serverMode = 1;
    const std::string twoFiles = package({}, {{"a.txt", "1"}, {"b.txt", "2"}});

    state.receivedPlainText = twoFiles;
    expectFailure(getFile(), qm::ERR_NO_SAVE_FOLDER, "找不到包含文件保存路径的注册表记录项!");
    setStubPath(std::nullopt);
    expectFailure(getFile(), qm::ERR_NO_SAVE_FOLDER, "在相应注册表记录项中找不到“tubPath”值域!");
    // Both files have gone: the failure comes after they left the package.
    expectFailure(getFile(), qm::ERR_NO_RECEIVED_TEXT, "原文为空");

    // The key must open with full access, which a read-only hive refuses.
    setStubPath("c:\\in\\");
    ASSERT_EQ(::chmod(home.context().registry().file().c_str(), 0444), 0);
    state.receivedPlainText = twoFiles;
    expectFailure(getFile(), qm::ERR_NO_SAVE_FOLDER, "找不到包含文件保存路径的注册表记录项!");
}

// Taking elements out does not compose the rest after every call; whatever
// is read or written in between must still see the package as it stands.
TEST_F(PackageMembersTest, TheRestIsWhatEveryReaderSees) {
    state.receivedPlainText = package({"1", "2", "3"}, {{"f", "c"}});
    expectSuccess(getItem(), "1");
    expectSuccess(getItem(), "2");
    EXPECT_EQ(plainText(), package({"3"}, {{"f", "c"}}));
    expectSuccess(getItem(), "3");
    EXPECT_EQ(plainText(), package({}, {{"f", "c"}}));

    // A new received text (verification, decryption) replaces what was
    // being taken apart.
    state.receivedPlainText = package({"p", "q"}, {});
    expectSuccess(getItem(), "p");
    state.receivedPlainText = package({"new"}, {});
    expectSuccess(getItem(), "new");
    expectFailure(getItem(), qm::ERR_NO_RECEIVED_TEXT, "原文为空");
}

TEST_F(PackageMembersTest, RegistrationMakesTheStubFolder) {
    ASSERT_EQ(qm::registerServer(home.context().registry(), (home.path() / "libquillmark.so").string()), S_OK);
    EXPECT_TRUE(fs::is_directory(drive('c') / "quillmarkStub"));

    state.serverMode = 1;
    state.receivedPlainText = package({}, {{"r.txt", "out of the box"}});
    expectSuccess(getFile(), "r.txt");
    EXPECT_EQ(readFile(drive('c') / "quillmarkStub" / "r.txt"), "out of the box");
}

}  // namespace
