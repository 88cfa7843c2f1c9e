// Staging and packing: what the legacy adders and DN properties keep, and
// the legacy plaintext that makeAttachedSign signs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "legacy_fixture.h"

using namespace testing_support;

namespace {

class LegacyStagingTest : public LegacyTest {
protected:
    void SetUp() override { pki.user("Signer").subject({{"O", "Bank"}, {"CN", "Signer"}}).install(); }

    void writeDriveFile(const char* path, std::string_view bytes) {
        writeFile(home.context().files().map(path), bytes);
    }
};

TEST_F(LegacyStagingTest, PacksItemsAndFilesInTheAgreedLayout) {
    writeDriveFile("c:\\legacy\\a.txt", "xyz");
    writeDriveFile("c:\\legacy\\b.bin", std::string("\0\1", 2));
    writeDriveFile("c:\\legacy\\empty.bin", "");
    writeDriveFile(gbk("c:\\legacy\\乗.txt").c_str(), "q");
    struct Case {
        const char* name;
        std::vector<const char*> items;
        std::vector<const char*> files;
        int32_t maxSignSize;  // 0: the default
        std::string expected;
    } cases[] = {
        {"one item", {"ab"}, {}, 0, std::string(ITEM_AB)},
        {"a Chinese and an empty item", {"中文", ""}, {}, 0,
         "00000020" "00000004" + gbk("中文") + "00000000" "00000000"},
        {"a file one byte under MaxSignSize", {}, {"c:\\legacy\\a.txt"}, 4,
         "00000000" "00000024" "00000016" "00000005" "a.txtxyz"},
        {"an item, an empty file by forward slashes", {"x"}, {"c:/legacy/empty.bin"}, 0,
         "00000009" "00000001x" "00000025" "00000017" "00000009" "empty.bin"},
        {"two files in order", {}, {"c:\\legacy\\b.bin", "c:\\legacy\\a.txt"}, 0,
         "00000000" "00000047" "00000015" "00000005" "b.bin" + std::string("\0\1", 2) +
             "00000016" "00000005" "a.txtxyz"},
        // 乗 is 81 5C in GBK: its second byte is not a separator.
        {"a GBK name with a 0x5C byte", {}, {"c:\\legacy\\乗.txt"}, 0,
         "00000000" "00000023" "00000015" "00000006" + gbk("乗.txt") + "q"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto page = newControl();
        if (c.maxSignSize) put(page.get(), "MaxSignSize", c.maxSignSize);
        for (const char* item : c.items) EXPECT_EQ(call(page.get(), "addFormItem", {item}).hr, S_OK);
        for (const char* file : c.files) EXPECT_EQ(call(page.get(), "addFileName", {file}).hr, S_OK);
        put(page.get(), "defaultDN", "CN=Signer");
        EXPECT_EQ(call(page.get(), "makeAttachedSign").hr, S_OK);
        EXPECT_EQ(errorNum(page.get()), 0);
        EXPECT_EQ(signedContent(get(page.get(), "attachedSign").text()), c.expected);
    }
    EXPECT_TRUE(home.ui().requests().empty());
}

TEST_F(LegacyStagingTest, FormItemsAreGbkWhateverTheAnsiCodePage) {
    codepage::setAnsiCodePage(1252);
    struct Restore {
        ~Restore() { codepage::setAnsiCodePage(0); }
    } restore;
    call(control(), "addFormItem", {"中"});
    put(control(), "defaultDN", "CN=Signer");
    call(control(), "makeAttachedSign");
    EXPECT_EQ(signedContent(get(control(), "attachedSign").text()), "00000010" "00000002\xD6\xD0" "00000000");
}

TEST_F(LegacyStagingTest, PackingStops) {
    writeDriveFile("c:\\legacy\\three.txt", "xyz");
    std::filesystem::create_directories(home.context().files().map("c:\\legacy\\folder"));
    struct Case {
        const char* name;
        std::function<void(IDispatch*)> stage;
        const char* message;
    } cases[] = {
        {"nothing staged", [](IDispatch*) {}, "未完成表单内容/文件名输入!"},
        // The file's name is what follows the last separator; there is none.
        {"a path without a separator", [](IDispatch* q) { call(q, "addFileName", {"three.txt"}); },
         "无法打开文件!"},
        {"a missing file", [](IDispatch* q) { call(q, "addFileName", {"c:\\legacy\\missing.txt"}); },
         "无法打开文件!"},
        // An empty name: a path ending in a separator names a folder.
        {"a folder", [](IDispatch* q) { call(q, "addFileName", {"c:\\legacy\\folder\\"}); }, "无法打开文件!"},
        {"a file of exactly MaxSignSize bytes",
         [](IDispatch* q) {
             put(q, "MaxSignSize", 3);
             call(q, "addFileName", {"c:\\legacy\\three.txt"});
         },
         "文件长度过长!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto page = newControl();
        c.stage(page.get());
        put(page.get(), "defaultDN", "CN=Signer");
        home.answer("ok");
        EXPECT_EQ(call(page.get(), "makeAttachedSign").hr, S_OK);
        EXPECT_EQ(errorNum(page.get()), -11);
        EXPECT_EQ(errMsg(page.get()), "");
        expectLastBox(c.message, "错误");
        EXPECT_EQ(get(page.get(), "attachedSign").text(), "");
    }
}

// A file is opened before its size counts: one that cannot be read is
// reported as such however long it is.
TEST_F(LegacyStagingTest, AnUnreadableLongFileCannotBeOpened) {
    if (::geteuid() == 0) GTEST_SKIP() << "the superuser reads every file";
    writeDriveFile("c:\\legacy\\locked.txt", "xyz");
    std::filesystem::permissions(home.context().files().map("c:\\legacy\\locked.txt"), std::filesystem::perms::none);
    put(control(), "MaxSignSize", 3);
    call(control(), "addFileName", {"c:\\legacy\\locked.txt"});
    put(control(), "defaultDN", "CN=Signer");
    home.answer("ok");
    call(control(), "makeAttachedSign");
    EXPECT_EQ(errorNum(control()), -11);
    expectLastBox("无法打开文件!", "错误");
}

TEST_F(LegacyStagingTest, AStopReleasesTheFilesButNotTheItems) {
    call(control(), "addFormItem", {"ab"});
    call(control(), "addFileName", {"c:\\legacy\\missing.txt"});
    put(control(), "defaultDN", "CN=Signer");
    home.answer("ok");
    call(control(), "makeAttachedSign");
    EXPECT_EQ(errorNum(control()), -11);
    // The next signing packs the items that stayed, without the file.
    call(control(), "makeAttachedSign");
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_EQ(signedContent(get(control(), "attachedSign").text()), ITEM_AB);
}

TEST_F(LegacyStagingTest, AbsentArgumentsOfTheAdders) {
    struct Case {
        const char* member;
        const char* message;
    } cases[] = {
        {"addFormItem", "表单内容为空!"},
        {"addFileName", "文件名为空!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.member);
        home.answer("ok");
        EXPECT_EQ(call(control(), c.member, {ScriptValue::null()}).hr, S_FALSE);
        expectLastBox(c.message, "输入错误");
    }
    // Nothing was staged by either.
    home.answer("ok");
    call(control(), "makeAttachedSign");
    expectLastBox("未完成表单内容/文件名输入!", "错误");
    EXPECT_EQ(errorNum(control()), -11);
}

TEST_F(LegacyStagingTest, DefaultDNFollowsTheSeparatorRules) {
    pki.user("Other").subject({{"O", "Bank"}, {"CN", "Other"}}).install();
    const auto signWith = [&](IDispatch* q) {
        call(q, "addFormItem", {"ab"});
        call(q, "makeAttachedSign");
        return get(q, "signerDN").text();
    };

    // Without a separator nothing is stored: the list staged before stays.
    put(control(), "defaultDN", "CN=Signer");
    put(control(), "DNspliter", ScriptValue::null());
    home.answer("ok");
    EXPECT_EQ(put(control(), "defaultDN", "CN=Other"), S_OK);
    expectLastBox("未设置DN分隔符", "设置分隔符", "");
    put(control(), "DNspliter", "|");
    EXPECT_EQ(signWith(control()), "O=Bank, CN=Signer");

    // Six parts: the list is dropped, and the chooser asks.
    home.answer("ok");
    put(control(), "defaultDN", "CN=Other|a|b|c|d|e");
    expectLastBox("部分DN最多为5个", "DN设置失败", "");
    home.answer("select 1");
    EXPECT_EQ(signWith(control()), "O=Bank, CN=Other");

    // An empty list after a real one: the chooser again.
    put(control(), "defaultDN", "CN=Other");
    put(control(), "defaultDN", "");
    home.answer("select 0");
    EXPECT_EQ(signWith(control()), "O=Bank, CN=Signer");
    EXPECT_EQ(home.ui().requests().back().kind, "chooser");
    EXPECT_EQ(errorNum(control()), 0);

    // An empty separator is set but fails every list: the new list is
    // dropped with the no-separator box, and so is the one staged before.
    put(control(), "defaultDN", "CN=Other");
    put(control(), "DNspliter", "");
    home.answer("ok");
    put(control(), "defaultDN", "CN=Other");
    expectLastBox("未设置DN分隔符", "设置分隔符", "");
    home.answer("select 0");
    EXPECT_EQ(signWith(control()), "O=Bank, CN=Signer");
    EXPECT_EQ(home.ui().requests().back().kind, "chooser");

    // An empty list is no list to check: it clears without a box.
    put(control(), "DNspliter", "|");
    put(control(), "defaultDN", "CN=Other");
    put(control(), "DNspliter", "");
    home.ui().clearRequests();
    put(control(), "defaultDN", "");
    EXPECT_TRUE(home.ui().requests().empty());
    home.answer("select 0");
    EXPECT_EQ(signWith(control()), "O=Bank, CN=Signer");
    EXPECT_EQ(home.ui().requests().back().kind, "chooser");
}

}  // namespace
