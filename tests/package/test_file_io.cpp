#include "package/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "control/state/boundary.h"
#include "control/state/codes.h"
#include "platform/codepage/codepage.h"
#include "support/test_home.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

const std::string CESHI_GBK = "\xb2\xe2\xca\xd4";  // 测试
const std::string CESHI_UTF8 = "测试";
// 乗: a GBK character whose second byte is 0x5C, the byte of a backslash.
const std::string JOU_GBK = "\x81\x5c";
const std::string JOU_UTF8 = "乗";
const std::string THREE_BYTES = std::string("\x00\xff\x7c", 3);

class FileIoTest : public testing_support::HomeTest {
protected:
    void SetUp() override { codepage::setAnsiCodePage(codepage::CP_GBK); }
    void TearDown() override { codepage::setAnsiCodePage(0); }

    fs::path drive(char letter) { return home.path() / "drives" / std::string(1, letter); }

    int32_t load(const std::optional<std::string>& path) {
        return qm::loadFileContents(qm::ansiFromUtf8(qm::FILE_OPEN_TITLE), qm::FILE_FILTER_ALL, name, content, path);
    }
    int32_t save(std::string_view fileName, std::string_view bytes, const std::optional<std::string>& path) {
        return qm::saveFileContents(qm::ansiFromUtf8(qm::FILE_SAVE_TITLE), qm::FILE_FILTER_ALL, fileName, bytes, path);
    }

    std::string name = "stale name";
    std::string content = "stale content";
};

TEST_F(FileIoTest, ReadsByPath) {
    writeFile(drive('c') / "in" / "three.bin", THREE_BYTES);
    writeFile(drive('d') / CESHI_UTF8 / (CESHI_UTF8 + ".txt"), "abc");
    writeFile(drive('d') / "in" / (JOU_UTF8 + ".txt"), "def");
    writeFile(home.path() / "plain" / "a.txt", "x");
    const std::string absolute = (home.path() / "plain" / "a.txt").string();

    struct Case {
        const char* name;
        std::string path;
        std::string fileName;
        std::string content;
    };
    const Case cases[] = {
        {"drive letter, backslashes", "c:\\in\\three.bin", "three.bin", THREE_BYTES},
        {"upper-case drive, forward slashes", "C:/in/three.bin", "three.bin", THREE_BYTES},
        {"mixed separators, name after the last", "c:/in\\three.bin", "three.bin", THREE_BYTES},
        {"GBK path and name", "d:\\" + CESHI_GBK + "\\" + CESHI_GBK + ".txt", CESHI_GBK + ".txt", "abc"},
        // The second byte of a double-byte character is no separator.
        {"GBK name with a 0x5C byte", "d:\\in\\" + JOU_GBK + ".txt", JOU_GBK + ".txt", "def"},
        {"absolute path", absolute, "a.txt", "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(load(c.path), qm::OK);
        EXPECT_EQ(name, c.fileName);
        EXPECT_EQ(content, c.content);
        EXPECT_EQ(content.size(), c.content.size());
    }
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(FileIoTest, RefusesWhatItCannotRead) {
    writeFile(drive('c') / "empty.txt", "");
    writeFile(drive('c') / "dir" / "inside.txt", "x");
    ASSERT_EQ(::mkfifo((drive('c') / "pipe").c_str(), 0600), 0);

    struct Case {
        const char* name;
        std::string path;
    };
    const Case cases[] = {
        // The name is the part after the last separator; there is none.
        {"no separator", "a.txt"},
        {"empty path", ""},
        // An empty file has no content to carry.
        {"empty file", "c:\\empty.txt"},
        {"missing file", "c:\\missing.txt"},
        {"missing drive folder", "q:\\missing.txt"},
        {"folder", "c:\\dir"},
        {"path ending with a separator", "c:\\dir\\"},
        // Not a regular file: opening it would wait for a writer forever.
        {"FIFO", "c:\\pipe"},
        // A NUL would end the path early and name another file.
        {"NUL inside the path", std::string("c:\\dir\\inside.txt\0x", 19)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        name = "stale name";
        content = "stale content";
        EXPECT_EQ(load(c.path), qm::ERR_FILE_READ);
        EXPECT_EQ(name, "");
        EXPECT_EQ(content, "");
    }
}

TEST_F(FileIoTest, OpenDialogAsksAndReadsTheChosenFile) {
    const fs::path file = drive('c') / "chosen" / "three.bin";
    writeFile(file, THREE_BYTES);
    home.answer("file " + file.string());

    ASSERT_EQ(load(std::nullopt), qm::OK);
    EXPECT_EQ(name, "three.bin");
    EXPECT_EQ(content, THREE_BYTES);

    const auto& requests = home.ui().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, "open");
    EXPECT_EQ(requests[0].title, "选择文件");
    EXPECT_EQ(requests[0].filter, "*.*");
    EXPECT_EQ(requests[0].name, "");
    EXPECT_EQ(requests[0].flags, 0x1800u);
}

TEST_F(FileIoTest, OpenDialogOutcomes) {
    writeFile(drive('c') / "empty.txt", "");
    const std::string longPath = (home.path() / std::string(1100, 'n')).string();

    struct Case {
        const char* name;
        std::string answer;
        int32_t code;
    };
    const Case cases[] = {
        {"cancelled", "cancel", qm::ERR_FILE_NOT_CHOSEN},
        // The chosen file is read by the rules of a given path.
        {"empty file chosen", "file " + (drive('c') / "empty.txt").string(), qm::ERR_FILE_READ},
        {"missing file chosen", "file " + (drive('c') / "gone.txt").string(), qm::ERR_FILE_READ},
        {"bare name chosen", "file a.txt", qm::ERR_FILE_READ},
        // The dialog holds names of fewer than 1024 bytes.
        {"path too long for the dialog", "file " + longPath, qm::ERR_FILE_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        home.answer(c.answer);
        name = "stale name";
        content = "stale content";
        EXPECT_EQ(load(std::nullopt), c.code);
        EXPECT_EQ(name, "");
        EXPECT_EQ(content, "");
    }
    EXPECT_EQ(home.ui().requests().size(), std::size(cases));
}

TEST_F(FileIoTest, WritesByPath) {
    fs::create_directories(drive('c') / "out");
    const fs::path existing = drive('c') / "out" / "old.txt";
    writeFile(existing, "a longer earlier content");

    struct Case {
        const char* name;
        std::string path;
        fs::path lands;
        std::string content;
    };
    const Case cases[] = {
        {"new file under the drive", "c:\\out\\new.bin", drive('c') / "out" / "new.bin", THREE_BYTES},
        {"replaces an existing file", "C:/out/old.txt", existing, "short"},
        {"empty content", "c:\\out\\empty.txt", drive('c') / "out" / "empty.txt", ""},
        {"GBK name", "c:\\out\\" + CESHI_GBK, drive('c') / "out" / CESHI_UTF8, "abc"},
        {"absolute path", (home.path() / "abs.txt").string(), home.path() / "abs.txt", "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(save("ignored.txt", c.content, c.path), qm::OK);
        ASSERT_TRUE(fs::is_regular_file(c.lands));
        EXPECT_EQ(readFile(c.lands), c.content);
    }
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(FileIoTest, WriteFailures) {
    fs::create_directories(drive('c') / "dir");
    ASSERT_EQ(::mkfifo((drive('c') / "pipe").c_str(), 0600), 0);

    struct Case {
        const char* name;
        std::string path;
    };
    const Case cases[] = {
        // Folders are not made on the way.
        {"missing folder", "c:\\nowhere\\a.txt"},
        {"folder in the way", "c:\\dir"},
        {"empty path", ""},
        // Not a regular file: opening it would wait for a reader forever.
        {"FIFO", "c:\\pipe"},
        // A NUL would end the path early and name another file.
        {"NUL inside the path", std::string("c:\\dir\\a.txt\0x", 14)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(save("a.txt", "data", c.path), qm::ERR_FILE_READ);
    }
    EXPECT_FALSE(fs::exists(drive('c') / "dir" / "a.txt"));
}

TEST_F(FileIoTest, SaveDialogStartsWithTheNameAndWritesTheChosenFile) {
    fs::create_directories(drive('c') / "out");
    const fs::path target = drive('c') / "out" / "saved.bin";
    writeFile(target, "to be replaced, and longer");
    home.answer("file " + target.string());

    ASSERT_EQ(save(CESHI_GBK + ".bin", THREE_BYTES, std::nullopt), qm::OK);
    EXPECT_EQ(readFile(target), THREE_BYTES);

    const auto& requests = home.ui().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, "save");
    EXPECT_EQ(requests[0].title, "保存文件");
    EXPECT_EQ(requests[0].filter, "*.*");
    EXPECT_EQ(requests[0].name, CESHI_UTF8 + ".bin");
    EXPECT_EQ(requests[0].flags, 0x2802u);
}

TEST_F(FileIoTest, SaveDialogCancelledWritesNothing) {
    home.answer("cancel");
    EXPECT_EQ(save("a.txt", "data", std::nullopt), qm::ERR_FILE_READ);
    EXPECT_EQ(home.ui().requests().size(), 1u);
    EXPECT_TRUE(fs::is_empty(drive('c')));
}

TEST_F(FileIoTest, SaveDialogNameMustFitItsBuffer) {
    // 1023 bytes and the NUL fill the dialog's 1024-byte buffer.
    const std::string fits(1023, 'n');
    home.answer("cancel");
    EXPECT_EQ(save(fits, "data", std::nullopt), qm::ERR_FILE_READ);
    ASSERT_EQ(home.ui().requests().size(), 1u);
    EXPECT_EQ(home.ui().requests()[0].name, fits);

    // One byte more is refused before any dialog is shown.
    home.ui().clearRequests();
    EXPECT_EQ(save(std::string(1024, 'n'), "data", std::nullopt), qm::ERR_FILE_READ);
    EXPECT_TRUE(home.ui().requests().empty());

    // So is a chosen path the dialog could not have held.
    home.answer("file " + (home.path() / std::string(1100, 'n')).string());
    EXPECT_EQ(save("a.txt", "data", std::nullopt), qm::ERR_FILE_READ);
    EXPECT_EQ(home.ui().pending(), 0u);
}

}  // namespace
