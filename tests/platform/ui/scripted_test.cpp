#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"

namespace {

// GBK bytes of the Chinese texts used below.
const std::string ZHONGWEN = "\xd6\xd0\xce\xc4";      // 中文
const std::string ZHANGSAN = "\xd5\xc5\xc8\xfd";      // 张三
const std::string BAOCUN = "\xb1\xa3\xb4\xe6";        // 保存
const std::string QIANMING = "\xc7\xa9\xc3\xfb";      // 签名
const std::string MULU = "\xc4\xbf\xc2\xbc";          // 目录
const std::string ZHENGZAI = "\xc4\xfa\xd5\xfd\xd4\xda";  // 您正在

class ScriptedTest : public ::testing::Test {
protected:
    void SetUp() override {
        codepage::setAnsiCodePage(codepage::CP_GBK);
        ui.onUnanswered([this](const ui::RecordedRequest& request) { unanswered.push_back(request.json); });
        ui.onRecord([this](const ui::RecordedRequest& request) { logged.push_back(request.json); });
    }
    void TearDown() override { codepage::setAnsiCodePage(0); }

    ui::ScriptedUserInterface ui;
    std::vector<std::string> unanswered;
    std::vector<std::string> logged;
};

TEST_F(ScriptedTest, MessageBoxIsRecordedAndEscaped) {
    ui.push("yes");
    ui::MessageBoxRequest request{"line\r\n\"" + ZHONGWEN + "\" \\ \t\x01\x1f", ZHONGWEN, ui::Buttons::YesNo,
                                  ui::Icon::Warning, ui::Owner::Control};
    EXPECT_EQ(ui.messageBox(request), ui::Button::Yes);

    ASSERT_EQ(ui.requests().size(), 1u);
    const auto& r = ui.requests()[0];
    EXPECT_EQ(r.kind, "box");
    EXPECT_EQ(r.caption, "中文");
    EXPECT_EQ(r.text, "line\r\n\"中文\" \\ \t\x01\x1f");
    EXPECT_EQ(r.buttons, "yesno");
    EXPECT_EQ(r.icon, "warning");
    EXPECT_EQ(r.owner, "control");
    EXPECT_EQ(r.answer, "yes");
    EXPECT_EQ(r.json,
              R"({"kind":"box","caption":"中文","text":"line\r\n\"中文\" \\ \t\u0001\u001f",)"
              R"("buttons":"yesno","icon":"warning","owner":"control","answer":"yes"})");
    EXPECT_EQ(logged, std::vector<std::string>{r.json});
    EXPECT_TRUE(unanswered.empty());

    // No icon: the field is left out.
    ui.push("ok");
    EXPECT_EQ(ui.messageBox({"t", "c"}), ui::Button::Ok);
    EXPECT_EQ(ui.requests()[1].json,
              R"({"kind":"box","caption":"c","text":"t","buttons":"ok","owner":"none","answer":"ok"})");
}

TEST_F(ScriptedTest, ChooserIsRecordedAndAnswered) {
    ui::ChooserRequest request{203, ZHONGWEN, "CN=" + ZHANGSAN, {"CN=" + ZHANGSAN, "CN=\"Q\""}, 48};
    ui.push("select 1");
    auto answer = ui.chooseCertificate(request);
    EXPECT_TRUE(answer.ok);
    EXPECT_EQ(answer.index, 1);

    const auto& r = ui.requests()[0];
    EXPECT_EQ(r.dialog, 203);
    EXPECT_EQ(r.caption, "中文");
    EXPECT_EQ(r.edit, "CN=张三");
    EXPECT_EQ(r.entries, (std::vector<std::string>{"CN=张三", "CN=\"Q\""}));
    EXPECT_EQ(r.width, 48);
    EXPECT_EQ(r.json,
              R"({"kind":"chooser","dialog":203,"caption":"中文","edit":"CN=张三",)"
              R"("entries":["CN=张三","CN=\"Q\""],"width":48,"answer":"select 1"})");

    struct Case {
        const char* line;
        bool ok;
        int index;
    };
    const Case cases[] = {{"ok", true, -1}, {"select -1", true, -1}, {"select 0", true, 0}, {"cancel", false, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ui.push(c.line);
        auto a = ui.chooseCertificate(request);
        EXPECT_EQ(a.ok, c.ok);
        EXPECT_EQ(a.index, c.index);
        EXPECT_EQ(ui.requests().back().answer, c.line);
    }
    EXPECT_TRUE(unanswered.empty());
}

TEST_F(ScriptedTest, FileDialogsAreRecordedAndAnsweredInAnsi) {
    const std::string filter("P7 (*.p7)\0*.p7\0\0", 16);
    ui.push("file /tmp/目录 a/签名.p7");
    auto chosen = ui.fileDialog({ui::FileDialogKind::Save, BAOCUN, filter, QIANMING + ".p7", 0x2});
    EXPECT_EQ(chosen.kind, ui::FileDialogAnswer::Kind::Chosen);
    EXPECT_EQ(chosen.path, "/tmp/" + MULU + " a/" + QIANMING + ".p7");

    const auto& r = ui.requests()[0];
    EXPECT_EQ(r.title, "保存");
    EXPECT_EQ(r.filter, std::string("P7 (*.p7)\0*.p7\0\0", 16));
    EXPECT_EQ(r.name, "签名.p7");
    EXPECT_EQ(r.flags, 0x2u);
    EXPECT_EQ(r.json,
              R"({"kind":"save","title":"保存","filter":"P7 (*.p7)\u0000*.p7\u0000\u0000",)"
              R"("name":"签名.p7","answer":"file /tmp/目录 a/签名.p7"})");

    ui.push("cancel");
    auto cancelled = ui.fileDialog({ui::FileDialogKind::Open, "Open", "", "", 0});
    EXPECT_EQ(cancelled.kind, ui::FileDialogAnswer::Kind::Cancelled);
    EXPECT_EQ(ui.requests()[1].json, R"({"kind":"open","title":"Open","filter":"","name":"","answer":"cancel"})");
    EXPECT_TRUE(unanswered.empty());
}

TEST_F(ScriptedTest, SecretPromptsNeverLogTheSecret) {
    ui.push("pin 12 34");
    auto pin = ui.askSecret({"SoftHSM \"demo\"", ui::SecretKind::Pin, ZHENGZAI + QIANMING});
    EXPECT_TRUE(pin.ok);
    EXPECT_EQ(pin.secret, "12 34");
    const auto& r = ui.requests()[0];
    EXPECT_EQ(r.title, "SoftHSM \"demo\"");
    EXPECT_EQ(r.caption, "PIN");
    EXPECT_EQ(r.text, "您正在签名");
    EXPECT_EQ(r.answer, "pin ***");
    EXPECT_EQ(r.json,
              R"({"kind":"pin","caption":"PIN","text":"您正在签名","title":"SoftHSM \"demo\"","answer":"pin ***"})");

    // Without a warning there is no text; a name that is not UTF-8 still
    // makes valid JSON.
    ui.push("cancel");
    auto phrase = ui.askSecret({"key\xff.pem", ui::SecretKind::PassPhrase, ""});
    EXPECT_FALSE(phrase.ok);
    EXPECT_EQ(ui.requests()[1].json,
              R"({"kind":"pin","caption":"pass phrase","title":"key\ufffd.pem","answer":"cancel"})");
    for (const auto& line : logged) EXPECT_EQ(line.find("12 34"), std::string::npos);
}

TEST_F(ScriptedTest, UnansweredRequestsGetSafeDefaultsAndLeaveTheQueue) {
    const ui::ChooserRequest chooser{104, "c", "", {"a", "b"}, 6};
    struct Case {
        const char* name;
        const char* queued;  // nullptr: empty queue
        std::function<std::string(ui::ScriptedUserInterface&)> ask;  // the answer, as text
        std::string expected;
    };
    auto box = [](ui::Buttons buttons) {
        return [buttons](ui::ScriptedUserInterface& s) {
            return std::to_string(static_cast<int>(s.messageBox({"t", "c", buttons})));
        };
    };
    auto choose = [chooser](ui::ScriptedUserInterface& s) {
        auto a = s.chooseCertificate(chooser);
        return std::to_string(a.ok) + "/" + std::to_string(a.index);
    };
    auto file = [](ui::ScriptedUserInterface& s) {
        auto a = s.fileDialog({ui::FileDialogKind::Open, "t", "", "", 0});
        return std::to_string(static_cast<int>(a.kind)) + a.path;
    };
    auto secret = [](ui::ScriptedUserInterface& s) {
        auto a = s.askSecret({"who", ui::SecretKind::Pin, ""});
        return std::to_string(a.ok) + a.secret;
    };
    const std::string OK = std::to_string(static_cast<int>(ui::Button::Ok));
    const std::string NO = std::to_string(static_cast<int>(ui::Button::No));
    const std::string CANCELLED = std::to_string(static_cast<int>(ui::FileDialogAnswer::Kind::Cancelled));
    const Case cases[] = {
        {"OK box, empty queue", nullptr, box(ui::Buttons::Ok), OK},
        {"Yes/No box, empty queue", nullptr, box(ui::Buttons::YesNo), NO},
        {"chooser, empty queue", nullptr, choose, "0/-1"},
        {"file dialog, empty queue", nullptr, file, CANCELLED},
        {"prompt, empty queue", nullptr, secret, "0"},
        // An OK box takes only ok.
        {"OK box given yes", "yes", box(ui::Buttons::Ok), OK},
        // A Yes/No box takes only yes or no.
        {"Yes/No box given ok", "ok", box(ui::Buttons::YesNo), NO},
        // select must name an entry of the list.
        {"chooser given an entry past the end", "select 2", choose, "0/-1"},
        {"chooser given yes", "yes", choose, "0/-1"},
        // A file dialog takes a path or cancel.
        {"file dialog given a PIN", "pin 1234", file, CANCELLED},
        // A prompt takes a PIN or cancel.
        {"prompt given a path", "file /tmp/x", secret, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ui::ScriptedUserInterface s;
        std::vector<std::string> seen, recorded;
        s.onUnanswered([&](const ui::RecordedRequest& r) { seen.push_back(r.answer); });
        s.onRecord([&](const ui::RecordedRequest& r) { recorded.push_back(r.json); });
        if (c.queued) s.push(c.queued);

        EXPECT_EQ(c.ask(s), c.expected);
        EXPECT_EQ(seen, std::vector<std::string>{"unanswered"});
        ASSERT_EQ(s.requests().size(), 1u);
        EXPECT_EQ(s.requests()[0].answer, "unanswered");
        EXPECT_NE(s.requests()[0].json.find(R"("answer":"unanswered"})"), std::string::npos);
        EXPECT_EQ(recorded, std::vector<std::string>{s.requests()[0].json});
        EXPECT_EQ(s.pending(), c.queued ? 1u : 0u);
    }
}

TEST_F(ScriptedTest, AnAnswerLeftQueuedGoesToTheNextRequestThatFits) {
    ui.push("select 1");
    EXPECT_EQ(ui.messageBox({"t", "c"}), ui::Button::Ok);  // does not fit: unanswered
    EXPECT_EQ(unanswered.size(), 1u);
    EXPECT_EQ(ui.chooseCertificate({203, "c", "", {"a", "b"}, 6}).index, 1);
    EXPECT_EQ(ui.pending(), 0u);
    EXPECT_EQ(logged.size(), 2u);

    ui.clearRequests();
    EXPECT_TRUE(ui.requests().empty());
    EXPECT_THROW(ui.push("select two"), std::invalid_argument);
    EXPECT_EQ(ui.pending(), 0u);
}

}  // namespace
