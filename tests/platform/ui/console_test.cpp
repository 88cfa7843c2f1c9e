#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/codepage/codepage.h"
#include "platform/ui/console.h"

namespace {

const std::string ZHONGWEN = "\xd6\xd0\xce\xc4";  // 中文, GBK
const std::string ZHANGSAN = "\xd5\xc5\xc8\xfd";  // 张三, GBK

// What the console writes, collected in memory.
class Capture {
public:
    Capture() : file_(open_memstream(&data_, &size_)) {}
    ~Capture() {
        std::fclose(file_);
        std::free(data_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_;
};

// A terminal whose keyboard is a pipe holding `typed`, closed after it.
class Terminal {
public:
    explicit Terminal(const std::string& typed) {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        if (::write(fds[1], typed.data(), typed.size()) != static_cast<ssize_t>(typed.size()))
            throw std::runtime_error("pipe write");
        ::close(fds[1]);
        input_ = ::fdopen(fds[0], "r");
        console = ui::makeConsoleUserInterface({input_, screen.file(), errors.file()});
    }
    ~Terminal() { std::fclose(input_); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    Capture screen, errors;
    std::unique_ptr<ui::UserInterface> console;

private:
    std::FILE* input_ = nullptr;
};

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override { codepage::setAnsiCodePage(codepage::CP_GBK); }
    void TearDown() override { codepage::setAnsiCodePage(0); }
};

TEST_F(ConsoleTest, ChooserIsAnsweredByNumber) {
    // A word, a number off the list and an over-long line are asked again.
    Terminal terminal("first\n3\n" + std::string(10000, '9') + "\n2\n");
    auto answer = terminal.console->chooseCertificate(
        {203, ZHONGWEN, "CN=" + ZHANGSAN, {"CN=" + ZHANGSAN, "CN=\x1b[2Jx"}, 48});
    EXPECT_TRUE(answer.ok);
    EXPECT_EQ(answer.index, 1);

    std::string shown = terminal.screen.text();
    EXPECT_NE(shown.find("中文\nCN=张三\n  1. CN=张三\n  2. CN=?[2Jx\n"), std::string::npos) << shown;
    // The escape sequence from the entry never reaches the terminal.
    EXPECT_EQ(shown.find('\x1b'), std::string::npos);
    EXPECT_TRUE(terminal.errors.text().empty());
}

TEST_F(ConsoleTest, TypedAnswers) {
    Terminal terminal("maybe\nY\n1234\n\n" "c:\\" "\xe7\x9b\xae\xe5\xbd\x95" "\\a.p7\n");
    EXPECT_EQ(terminal.console->messageBox({"t", "c", ui::Buttons::YesNo}), ui::Button::Yes);
    auto pin = terminal.console->askSecret({"token", ui::SecretKind::Pin, ""});
    EXPECT_TRUE(pin.ok);
    EXPECT_EQ(pin.secret, "1234");
    // Enter takes the initial name.
    auto save = terminal.console->fileDialog({ui::FileDialogKind::Save, "t", "", "a.p7", 0});
    EXPECT_EQ(save.kind, ui::FileDialogAnswer::Kind::Chosen);
    EXPECT_EQ(save.path, "a.p7");
    // A typed UTF-8 name comes back in ANSI.
    auto open = terminal.console->fileDialog({ui::FileDialogKind::Open, "t", "", "", 0});
    EXPECT_EQ(open.kind, ui::FileDialogAnswer::Kind::Chosen);
    EXPECT_EQ(open.path, "c:\\\xc4\xbf\xc2\xbc\\a.p7");
    EXPECT_EQ(terminal.screen.text().find("1234"), std::string::npos);
}

TEST_F(ConsoleTest, EndOfInputCancels) {
    Terminal terminal("");
    auto& console = *terminal.console;
    EXPECT_EQ(console.messageBox({"t", "c", ui::Buttons::Ok}), ui::Button::Ok);
    EXPECT_EQ(console.messageBox({"t", "c", ui::Buttons::YesNo}), ui::Button::No);
    auto chosen = console.chooseCertificate({104, "c", "", {}, 0});
    EXPECT_FALSE(chosen.ok);
    EXPECT_EQ(chosen.index, -1);
    EXPECT_EQ(console.fileDialog({ui::FileDialogKind::Save, "t", "", "a.p7", 0}).kind,
              ui::FileDialogAnswer::Kind::Cancelled);
    EXPECT_FALSE(console.askSecret({"token", ui::SecretKind::PassPhrase, ""}).ok);
}

TEST_F(ConsoleTest, WithoutATerminalSafeDefaultsAreReported) {
    Capture errors;
    auto console = ui::makeConsoleUserInterface({nullptr, nullptr, errors.file()});

    EXPECT_EQ(console->messageBox({"\xc8\xb7\xb6\xa8\xa3\xbf", ZHONGWEN, ui::Buttons::YesNo, ui::Icon::Question}),
              ui::Button::No);
    EXPECT_EQ(console->messageBox({std::string(1 << 20, '\xff'), "c"}), ui::Button::Ok);  // long, not valid GBK
    auto chosen = console->chooseCertificate({203, "c", "e", {"CN=" + ZHANGSAN}, 6});
    EXPECT_FALSE(chosen.ok);
    EXPECT_EQ(chosen.index, -1);
    EXPECT_EQ(console->fileDialog({ui::FileDialogKind::Open, "Open", std::string("All\0*.*\0\0", 9), "", 0}).kind,
              ui::FileDialogAnswer::Kind::Cancelled);
    EXPECT_FALSE(console->askSecret({"token", ui::SecretKind::Pin, ZHONGWEN}).ok);

    std::string text = errors.text();
    EXPECT_EQ(text.rfind("[question] 中文\n确定？\n-> no terminal: answered No\n", 0), 0u) << text.substr(0, 200);
    EXPECT_NE(text.find("-> no terminal: answered OK\n"), std::string::npos);
    EXPECT_NE(text.find("[certificate] c\ne\n  1. CN=张三\n-> no terminal: answered Cancel\n"), std::string::npos);
    EXPECT_NE(text.find("[open file] Open\nTypes: All | *.*\n-> no terminal: answered Cancel\n"), std::string::npos);
    EXPECT_NE(text.find("[PIN] token\n中文\n-> no terminal: answered Cancel\n"), std::string::npos);
}

}  // namespace
