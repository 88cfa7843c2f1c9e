#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_home.h"

using namespace registry;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

constexpr char HEADER[] = "Windows Registry Editor Version 5.00\n\n";

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

class RegistryTest : public testing_support::HomeTest {
protected:
    std::filesystem::path file = home.path() / "registry.reg";
    Hive hive{file};

    Key create(Root root, std::string_view path, uint32_t access = KEY_ALL_ACCESS) {
        Key key;
        EXPECT_EQ(hive.createKey(root, path, access, key), ERROR_SUCCESS) << path;
        return key;
    }

    // chmod a-w
    void makeReadOnly() {
        using std::filesystem::perms;
        std::filesystem::permissions(file, perms::owner_write | perms::group_write | perms::others_write,
                                     std::filesystem::perm_options::remove);
    }
};

TEST_F(RegistryTest, WritesTheExportFormat) {
    Key settings = create(Root::ClassesRoot, "CLSID\\{C0DE}\\CtlSettings");
    ASSERT_EQ(settings.setDword("maxsize", 5000), ERROR_SUCCESS);
    ASSERT_EQ(settings.setString("stubPath", "c:\\quillmarkStub\\"), ERROR_SUCCESS);
    ASSERT_EQ(settings.setString("", "say \"hi\""), ERROR_SUCCESS);
    create(Root::CurrentUser, "Software\\Quillmark\\Empty");

    const std::string expected = std::string(HEADER) +
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID]\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{C0DE}]\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{C0DE}\\CtlSettings]\n"
                                 "\"maxsize\"=dword:00001388\n"
                                 "\"stubPath\"=\"c:\\\\quillmarkStub\\\\\"\n"
                                 "@=\"say \\\"hi\\\"\"\n"
                                 "\n"
                                 "[HKEY_CURRENT_USER\\Software]\n\n"
                                 "[HKEY_CURRENT_USER\\Software\\Quillmark]\n\n"
                                 "[HKEY_CURRENT_USER\\Software\\Quillmark\\Empty]\n\n";
    EXPECT_EQ(readFile(file), expected);
    EXPECT_EQ(hive.exportText(), expected);
}

TEST_F(RegistryTest, EveryValueTypeSurvivesTheFile) {
    std::string large;
    for (int i = 0; i < 300; ++i) large += static_cast<char>(i * 7);
    struct Case {
        const char* name;
        Value value;
    } cases[] = {
        {"plain", {REG_SZ, "hello"}},
        {"escapes", {REG_SZ, "c:\\dir\\\"quoted\"\\"}},
        {"chinese", {REG_SZ, "数字签名控件 – 测试"}},
        {"empty text", {REG_SZ, ""}},
        {"lines", {REG_SZ, "first\r\nsecond\n"}},  // cannot stay on one quoted line
        {"nul inside", {REG_SZ, std::string("a\0b", 3)}},
        {"expand", {REG_EXPAND_SZ, "%HOME%\\签名\\😀"}},
        {"dword", {REG_DWORD, bytes({0x8a, 0x13, 0x00, 0xff})}},
        {"short dword", {REG_DWORD, bytes({0x01, 0x02})}},
        {"binary", {REG_BINARY, large}},
        {"empty binary", {REG_BINARY, ""}},
        {"none", {REG_NONE, bytes({0x00, 0xff})}},
        {"qword", {0xb, bytes({1, 2, 3, 4, 5, 6, 7, 8})}},
        {"", {REG_SZ, "the default, 中文"}},
        {"Chinese name 名称", {REG_DWORD, bytes({0, 0, 0, 0})}},
        {"quote\" and \\ in name", {REG_SZ, "x"}},
    };
    Key key = create(Root::LocalMachine, "SOFTWARE\\Quillmark\\Types");
    for (const auto& c : cases) ASSERT_EQ(key.setValue(c.name, c.value), ERROR_SUCCESS) << c.name;
    const std::string written = readFile(file);
    EXPECT_EQ(hive.exportText(), written);

    Hive again(file);
    Key reread;
    ASSERT_EQ(again.openKey(Root::LocalMachine, "SOFTWARE\\Quillmark\\Types", KEY_ALL_ACCESS, reread), ERROR_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Value value;
        ASSERT_EQ(reread.queryValue(c.name, value), ERROR_SUCCESS);
        EXPECT_EQ(value.type, c.value.type);
        EXPECT_EQ(value.data, c.value.data);
        // Writing the same again leaves the file as it is.
        ASSERT_EQ(reread.setValue(c.name, value), ERROR_SUCCESS);
    }
    EXPECT_EQ(readFile(file), written);
    EXPECT_EQ(again.parseError(), std::nullopt);
    // A long binary is wrapped; no line grows past what regedit writes.
    std::istringstream lines(written);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheFirstCase) {
    Key key = create(Root::CurrentUser, "Software\\QuillMark");
    ASSERT_EQ(key.setDword("MaxSize", 1), ERROR_SUCCESS);
    ASSERT_EQ(key.setDword("MAXSIZE", 2), ERROR_SUCCESS);

    Key other;
    bool created = true;
    ASSERT_EQ(hive.createKey(Root::CurrentUser, "SOFTWARE\\quillmark", KEY_ALL_ACCESS, other, &created), ERROR_SUCCESS);
    EXPECT_FALSE(created);
    EXPECT_EQ(other.path(), "HKEY_CURRENT_USER\\Software\\QuillMark");
    uint32_t value = 0;
    ASSERT_EQ(other.queryDword("maxsize", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    std::vector<std::string> names;
    ASSERT_EQ(other.enumValues(names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"MaxSize"});

    // Only ASCII folds: other letters are different names.
    ASSERT_EQ(key.setDword("Ä", 1), ERROR_SUCCESS);
    EXPECT_EQ(key.queryDword("ä", value), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ClassesRootIsTheClassesKeyOfTheMachine) {
    Key clsid = create(Root::ClassesRoot, "CLSID\\{X}");
    ASSERT_EQ(clsid.setString("", "Quillmark"), ERROR_SUCCESS);
    EXPECT_EQ(clsid.path(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}");
    EXPECT_EQ(rootPath(Root::ClassesRoot), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes");
    Key viaMachine;
    ASSERT_EQ(hive.openKey(Root::LocalMachine, "software\\classes\\clsid\\{x}", KEY_READ, viaMachine), ERROR_SUCCESS);
    std::string text;
    ASSERT_EQ(viaMachine.queryString("", text), ERROR_SUCCESS);
    EXPECT_EQ(text, "Quillmark");

    // The file may name it either way, and by the short names.
    writeFile(file, std::string(HEADER) +
                        "[HKEY_CLASSES_ROOT\\A]\n\"v\"=\"1\"\n\n"
                        "[HKCR\\B]\n\n"
                        "[HKLM\\Software\\Classes\\C]\n\n"
                        "[HKCU\\D]\n\n");
    std::vector<std::string> names;
    Key classes;
    ASSERT_EQ(hive.openKey(Root::ClassesRoot, "", KEY_READ, classes), ERROR_SUCCESS);
    ASSERT_EQ(classes.enumSubKeys(names), ERROR_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "C"}));
    Key d;
    EXPECT_EQ(hive.openKey(Root::CurrentUser, "D", KEY_READ, d), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ClassesRootExistsBeforeAnythingIsInIt) {
    Key classes = create(Root::ClassesRoot, "");
    std::vector<std::string> names{"stale"};
    ASSERT_EQ(classes.enumSubKeys(names), ERROR_SUCCESS);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(hive.exportText(), HEADER);  // opening it wrote nothing
    ASSERT_EQ(classes.setString("x", "y"), ERROR_SUCCESS);
    EXPECT_EQ(readFile(file), std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n\"x\"=\"y\"\n\n");
}

TEST_F(RegistryTest, ReadsAHandWrittenFile) {
    const std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; written by hand\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmark\\Settings]\r\n"
        "\"maxsize\"=dword:0000138A\r\n"
        "\"stubPath\" = \"c:\\\\quillmarkStub\\\\\"\r\n"
        "\"blob\"=hex:01,02,\\\r\n"
        "  03,04,\\\r\n"
        "  05\r\n"
        // %PATH% as regedit writes REG_EXPAND_SZ: UTF-16LE with a terminator
        "\"path\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n"
        "@=\"默认\"   \r\n"
        "\r\n"
        "[HKLM\\Software\\Quillmark\\Empty]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmark\\Settings]\r\n"
        "\"maxsize\"=dword:00000001\r\n";
    writeFile(file, text);
    ASSERT_EQ(hive.parseError(), std::nullopt);

    Key key;
    ASSERT_EQ(hive.openKey(Root::LocalMachine, "SOFTWARE\\Quillmark\\Settings", KEY_READ, key), ERROR_SUCCESS);
    uint32_t number = 0;
    ASSERT_EQ(key.queryDword("maxsize", number), ERROR_SUCCESS);
    EXPECT_EQ(number, 1u);  // the later section wins
    std::string s;
    ASSERT_EQ(key.queryString("stubPath", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "c:\\quillmarkStub\\");
    ASSERT_EQ(key.queryString("path", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "%PATH%");
    ASSERT_EQ(key.queryString("", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "默认");
    Value blob;
    ASSERT_EQ(key.queryValue("blob", blob), ERROR_SUCCESS);
    EXPECT_EQ(blob.type, REG_BINARY);
    EXPECT_EQ(blob.data, bytes({1, 2, 3, 4, 5}));
    Key empty;
    EXPECT_EQ(hive.openKey(Root::LocalMachine, "SOFTWARE\\Quillmark\\Empty", KEY_READ, empty), ERROR_SUCCESS);
    // Reading leaves the file alone.
    EXPECT_EQ(readFile(file), text);
}

TEST_F(RegistryTest, ReadsARegeditFileInUtf16) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\签名]\r\n\"a\"=\"b\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (size_t i = 0; i < text.size();) {
        // Only ASCII and the two CJK characters (three UTF-8 bytes each) occur here.
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            utf16 += static_cast<char>(c);
            utf16 += '\0';
            ++i;
        } else {
            const unsigned cp = (c & 0x0Fu) << 12 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 |
                                (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            utf16 += static_cast<char>(cp & 0xFF);
            utf16 += static_cast<char>(cp >> 8);
            i += 3;
        }
    }
    writeFile(file, utf16);
    Key key;
    ASSERT_EQ(hive.openKey(Root::CurrentUser, "签名", KEY_READ, key), ERROR_SUCCESS)
        << hive.parseError().value_or("");
    std::string s;
    ASSERT_EQ(key.queryString("a", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "b");
}

TEST_F(RegistryTest, ADamagedFileReadsAsEmptyAndIsNeverOverwritten) {
    const std::string good = "[HKEY_CURRENT_USER\\Good]\n\"v\"=\"1\"\n\n";
    struct Case {
        const char* name;
        std::string text;
        int line;
    } cases[] = {
        // the header line comes first
        {"no header", good, 1},
        {"old header", "REGEDIT4\n\n" + good, 1},
        // a string ends with its quote
        {"unterminated string", HEADER + good + "\"w\"=\"abc\n", 6},
        {"unterminated name", HEADER + good + "\"w=\"abc\"\n", 6},
        // only \\ and \" are escapes
        {"bad escape", HEADER + good + "\"w\"=\"c:\\dir\"\n", 6},
        {"text after string", HEADER + good + "\"w\"=\"a\"b\n", 6},
        // a dword has eight hex digits
        {"short dword", HEADER + good + "\"w\"=dword:1388\n", 6},
        {"bad dword", HEADER + good + "\"w\"=dword:0000138g\n", 6},
        // hex bytes are two digits separated by commas
        {"odd hex digit", HEADER + good + "\"w\"=hex:01,2\n", 6},
        {"trailing comma", HEADER + good + "\"w\"=hex:01,02,\n", 6},
        {"bad hex", HEADER + good + "\"w\"=hex:0x\n", 6},
        {"bad hex type", HEADER + good + "\"w\"=hex(z):00\n", 6},
        {"continued past the end", HEADER + good + "\"w\"=hex:01,\\\n", 6},
        // text in hex(1) is UTF-16LE
        {"odd utf16", HEADER + good + "\"w\"=hex(1):41\n", 6},
        {"lone surrogate", HEADER + good + "\"w\"=hex(1):00,d8,00,00\n", 6},
        // lines are sections, values, blanks or comments
        {"unknown shape", HEADER + good + "w=1\n", 6},
        {"unknown data", HEADER + good + "\"w\"=qword:1\n", 6},
        {"missing equals", HEADER + good + "\"w\" \"x\"\n", 6},
        {"value before any key", std::string(HEADER) + "\"w\"=\"x\"\n" + good, 3},
        // a section names a known root and no empty key names
        {"unterminated section", HEADER + good + "[HKEY_CURRENT_USER\\X\n", 6},
        {"unknown root", HEADER + good + "[HKEY_USERS\\X]\n", 6},
        {"empty component", HEADER + good + "[HKEY_CURRENT_USER\\X\\\\Y]\n", 6},
        {"trailing backslash", HEADER + good + "[HKEY_CURRENT_USER\\]\n", 6},
        // a hive holds state, not deletions
        {"key deletion", HEADER + good + "[-HKEY_CURRENT_USER\\Good]\n", 6},
        {"value deletion", HEADER + good + "\"v\"=-\n", 6},
        // the text is UTF-8
        {"not utf8", HEADER + good + "\"w\"=\"\xB2\xE2\xCA\xD4\"\n", 6},
        {"nul byte", HEADER + good + std::string("\"w\"=\"a\0\"\n", 9), 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(file, c.text);
        const auto error = hive.parseError();
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(error->find("line " + std::to_string(c.line) + ":"), std::string::npos) << *error;

        Key key;
        EXPECT_EQ(hive.openKey(Root::CurrentUser, "Good", KEY_READ, key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(hive.exportText(), HEADER);
        EXPECT_EQ(hive.createKey(Root::CurrentUser, "New", KEY_ALL_ACCESS, key), ERROR_REGISTRY_CORRUPT);
        Key root;
        ASSERT_EQ(hive.openKey(Root::CurrentUser, "", KEY_ALL_ACCESS, root), ERROR_SUCCESS);
        EXPECT_EQ(root.setString("x", "y"), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(hive.deleteKeyTree(Root::CurrentUser, ""), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(readFile(file), c.text);
    }

    // Mended by hand, it is read again.
    writeFile(file, HEADER + good);
    EXPECT_EQ(hive.parseError(), std::nullopt);
    Key key;
    EXPECT_EQ(hive.openKey(Root::CurrentUser, "Good", KEY_READ, key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AnEmptyOrMissingFileIsAnEmptyHive) {
    EXPECT_EQ(hive.exportText(), HEADER);
    for (const char* text : {"", "\xEF\xBB\xBF"}) {
        writeFile(file, text);
        EXPECT_EQ(hive.parseError(), std::nullopt);
        create(Root::CurrentUser, "K");
        EXPECT_EQ(readFile(file), std::string(HEADER) + "[HKEY_CURRENT_USER\\K]\n\n");
    }
}

TEST_F(RegistryTest, AReadOnlyHiveRefusesWriteAccessEvenToRoot) {
    Key before = create(Root::LocalMachine, "SOFTWARE\\Quillmark");
    ASSERT_EQ(before.setDword("maxsize", 7), ERROR_SUCCESS);
    const std::string text = readFile(file);
    makeReadOnly();  // tests run as root: only the mode bits can say no
    EXPECT_TRUE(hive.isReadOnly());

    Key key;
    for (uint32_t access : {KEY_ALL_ACCESS, KEY_WRITE, KEY_SET_VALUE, DELETE, KEY_READ | KEY_CREATE_SUB_KEY}) {
        SCOPED_TRACE(access);
        EXPECT_EQ(hive.openKey(Root::LocalMachine, "SOFTWARE\\Quillmark", access, key), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(key.isOpen());
        EXPECT_EQ(hive.createKey(Root::LocalMachine, "SOFTWARE\\Quillmark", access, key), ERROR_ACCESS_DENIED);
    }
    ASSERT_EQ(hive.openKey(Root::LocalMachine, "SOFTWARE\\Quillmark", KEY_READ, key), ERROR_SUCCESS);
    uint32_t value = 0;
    ASSERT_EQ(key.queryDword("maxsize", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    // Creating what exists only opens it; creating anew is a write.
    EXPECT_EQ(hive.createKey(Root::LocalMachine, "SOFTWARE\\Quillmark", KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(hive.createKey(Root::LocalMachine, "SOFTWARE\\Other", KEY_READ, key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(hive.deleteKeyTree(Root::LocalMachine, "SOFTWARE\\Quillmark"), ERROR_ACCESS_DENIED);
    // A key opened for writing before the hive became read-only cannot write either.
    EXPECT_EQ(before.setDword("maxsize", 8), ERROR_ACCESS_DENIED);
    EXPECT_EQ(before.deleteValue("maxsize"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(readFile(file), text);
}

TEST_F(RegistryTest, AHandleDoesOnlyWhatItWasOpenedFor) {
    create(Root::CurrentUser, "K\\Sub").setString("v", "1");
    Key read;
    ASSERT_EQ(hive.openKey(Root::CurrentUser, "K", KEY_READ, read), ERROR_SUCCESS);
    Key out;
    EXPECT_EQ(read.setString("v", "2"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read.deleteValue("v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read.createSubKey("New", KEY_READ, out), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read.deleteSubKey("Sub"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read.deleteSubKeyTree("Sub"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read.openSubKey("Sub", KEY_READ, out), ERROR_SUCCESS);

    Key setOnly;
    ASSERT_EQ(hive.openKey(Root::CurrentUser, "K\\Sub", KEY_SET_VALUE, setOnly), ERROR_SUCCESS);
    std::string s;
    std::vector<std::string> names;
    EXPECT_EQ(setOnly.queryString("v", s), ERROR_ACCESS_DENIED);
    EXPECT_EQ(setOnly.enumValues(names), ERROR_ACCESS_DENIED);
    EXPECT_EQ(setOnly.enumSubKeys(names), ERROR_ACCESS_DENIED);
    EXPECT_EQ(setOnly.setString("v", "3"), ERROR_SUCCESS);

    Key closed;
    EXPECT_EQ(closed.queryString("v", s), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.createSubKey("x", KEY_READ, out), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, BadNamesAreRefused) {
    Key key = create(Root::CurrentUser, "K");
    Key out;
    struct Case {
        const char* name;
        std::string subKey;
    } paths[] = {
        // key paths have no empty components
        {"doubled separator", "a\\\\b"},
        {"leading separator", "\\a"},
        {"trailing separator", "a\\"},
        // a name fits on one line of the file
        {"newline", "a\nb"},
        {"nul", std::string("a\0b", 3)},
        // names are UTF-8
        {"not utf8", "\xB2\xE2"},
    };
    for (const auto& c : paths) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hive.createKey(Root::CurrentUser, c.subKey, KEY_ALL_ACCESS, out), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(key.createSubKey(c.subKey, KEY_ALL_ACCESS, out), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(key.openSubKey(c.subKey, KEY_READ, out), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(key.deleteSubKeyTree(c.subKey), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(key.setString("a\r\nb", "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.setString("\xFF", "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.setString("x", "\xB2\xE2\xCA\xD4"), ERROR_INVALID_PARAMETER);  // text must be UTF-8
    EXPECT_EQ(key.setValue("x", {REG_BINARY, "\xB2\xE2"}), ERROR_SUCCESS);      // bytes need not be
    EXPECT_EQ(hive.exportText(), readFile(file));
}

TEST_F(RegistryTest, TypedQueries) {
    Key key = create(Root::CurrentUser, "K");
    ASSERT_EQ(key.setDword("dword", 0x1388), ERROR_SUCCESS);
    ASSERT_EQ(key.setValue("two", {REG_BINARY, bytes({0x34, 0x12})}), ERROR_SUCCESS);
    ASSERT_EQ(key.setValue("five", {REG_BINARY, bytes({1, 2, 3, 4, 5})}), ERROR_SUCCESS);
    ASSERT_EQ(key.setString("text", "abc"), ERROR_SUCCESS);
    ASSERT_EQ(key.setValue("expand", {REG_EXPAND_SZ, "%X%"}), ERROR_SUCCESS);
    struct Case {
        const char* name;
        LSTATUS dwordStatus;
        uint32_t dword;
        LSTATUS stringStatus;
    } cases[] = {
        {"dword", ERROR_SUCCESS, 0x1388, ERROR_UNSUPPORTED_TYPE},
        {"two", ERROR_SUCCESS, 0x1234, ERROR_UNSUPPORTED_TYPE},  // zero-extended
        {"five", ERROR_MORE_DATA, 0xFFFFFFFF, ERROR_UNSUPPORTED_TYPE},
        {"text", ERROR_SUCCESS, 0x636261, ERROR_SUCCESS},  // four bytes whatever the type
        {"expand", ERROR_SUCCESS, 0x255825, ERROR_SUCCESS},
        {"missing", ERROR_FILE_NOT_FOUND, 0xFFFFFFFF, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t number = 0xFFFFFFFF;
        EXPECT_EQ(key.queryDword(c.name, number), c.dwordStatus);
        EXPECT_EQ(number, c.dword);
        std::string text;
        EXPECT_EQ(key.queryString(c.name, text), c.stringStatus);
    }
}

TEST_F(RegistryTest, DeleteTreeAndDeleteSubKey) {
    Key top = create(Root::CurrentUser, "Top");
    create(Root::CurrentUser, "Top\\Mid\\Leaf").setString("v", "x");
    create(Root::CurrentUser, "Top\\Other");
    Key leaf;
    ASSERT_EQ(hive.openKey(Root::CurrentUser, "Top\\Mid\\Leaf", KEY_READ, leaf), ERROR_SUCCESS);
    const std::string text = readFile(file);

    EXPECT_EQ(top.deleteSubKey("Mid"), ERROR_ACCESS_DENIED);  // it has a subkey
    EXPECT_EQ(top.deleteSubKey("Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(top.deleteSubKeyTree("Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readFile(file), text);

    EXPECT_EQ(top.deleteSubKeyTree("MID"), ERROR_SUCCESS);
    std::string s;
    EXPECT_EQ(leaf.queryString("v", s), ERROR_KEY_DELETED);
    std::vector<std::string> names;
    ASSERT_EQ(top.enumSubKeys(names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"Other"});
    EXPECT_EQ(top.deleteSubKey("other"), ERROR_SUCCESS);
    EXPECT_EQ(readFile(file), std::string(HEADER) + "[HKEY_CURRENT_USER\\Top]\n\n");

    Key root;
    ASSERT_EQ(hive.openKey(Root::CurrentUser, "", KEY_ALL_ACCESS, root), ERROR_SUCCESS);
    EXPECT_EQ(root.deleteSubKey(""), ERROR_ACCESS_DENIED);  // a root stays
    EXPECT_EQ(hive.deleteKeyTree(Root::CurrentUser, "Top"), ERROR_SUCCESS);
    EXPECT_EQ(hive.deleteKeyTree(Root::CurrentUser, "Top"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(top.setString("v", "x"), ERROR_KEY_DELETED);
    EXPECT_EQ(readFile(file), HEADER);
}

TEST_F(RegistryTest, KeysAndValuesKeepCreationOrder) {
    Key key = create(Root::CurrentUser, "K");
    for (const char* name : {"zeta", "alpha", "Mid"}) {
        Key sub;
        ASSERT_EQ(key.createSubKey(name, KEY_ALL_ACCESS, sub), ERROR_SUCCESS);
        ASSERT_EQ(key.setString(name, name), ERROR_SUCCESS);
    }
    const std::vector<std::string> expected{"zeta", "alpha", "Mid"};
    std::vector<std::string> names;
    ASSERT_EQ(key.enumSubKeys(names), ERROR_SUCCESS);
    EXPECT_EQ(names, expected);
    ASSERT_EQ(key.enumValues(names), ERROR_SUCCESS);
    EXPECT_EQ(names, expected);
}

TEST_F(RegistryTest, WritesAreAtomicAndMakeTheFolder) {
    const auto nested = home.path() / "deep" / "er" / "registry.reg";
    Hive fresh(nested);
    EXPECT_FALSE(fresh.isReadOnly());
    Key key;
    ASSERT_EQ(fresh.createKey(Root::CurrentUser, "K", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(key.setDword("n", i), ERROR_SUCCESS);
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(nested.parent_path())) {
        entries.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(entries, std::vector<std::string>{"registry.reg"});
    EXPECT_EQ(readFile(nested), std::string(HEADER) + "[HKEY_CURRENT_USER\\K]\n\"n\"=dword:00000004\n\n");
}

TEST_F(RegistryTest, ChangesFromOutsideAreSeen) {
    Key key = create(Root::CurrentUser, "K");
    ASSERT_EQ(key.setDword("n", 1), ERROR_SUCCESS);
    // Same size, same moment: only the content tells.
    writeFile(file, std::string(HEADER) + "[HKEY_CURRENT_USER\\K]\n\"n\"=dword:00000002\n\n");
    uint32_t n = 0;
    ASSERT_EQ(key.queryDword("n", n), ERROR_SUCCESS);
    EXPECT_EQ(n, 2u);

    Hive other(file);
    Key otherKey;
    ASSERT_EQ(other.openKey(Root::CurrentUser, "K", KEY_ALL_ACCESS, otherKey), ERROR_SUCCESS);
    ASSERT_EQ(otherKey.setDword("m", 3), ERROR_SUCCESS);
    ASSERT_EQ(key.setDword("n", 4), ERROR_SUCCESS);  // keeps the other hive's change
    ASSERT_EQ(otherKey.queryDword("n", n), ERROR_SUCCESS);
    EXPECT_EQ(n, 4u);
    ASSERT_EQ(key.queryDword("m", n), ERROR_SUCCESS);
    EXPECT_EQ(n, 3u);

    std::filesystem::remove(file);
    EXPECT_EQ(key.queryDword("n", n), ERROR_KEY_DELETED);
    EXPECT_EQ(hive.exportText(), HEADER);
}

TEST_F(RegistryTest, ThreadsDoNotLoseChanges) {
    Key key = create(Root::CurrentUser, "K");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Key own;
            ASSERT_EQ(hive.openKey(Root::CurrentUser, "K", KEY_ALL_ACCESS, own), ERROR_SUCCESS);
            for (int i = 0; i < 10; ++i) {
                const std::string name = "v" + std::to_string(t) + "_" + std::to_string(i);
                ASSERT_EQ(own.setDword(name, static_cast<uint32_t>(i)), ERROR_SUCCESS);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<std::string> names;
    ASSERT_EQ(key.enumValues(names), ERROR_SUCCESS);
    EXPECT_EQ(names.size(), 40u);
}

}  // namespace
