#include "platform/ui/console.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/codepage/codepage.h"
#include "platform/ui/internal.h"

namespace ui {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Longer lines are refused whole rather than cut: a cut PIN or path would be
// a different PIN or path.
constexpr size_t MAX_LINE = 4096;

constexpr std::string_view BLANKS = " \t\r\n\v\f";

std::string_view trim(std::string_view text) {
    size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

void wipe(std::string& text) {
    volatile char* bytes = text.data();
    for (size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
    text.clear();
}

// Texts come from the page. Written to a terminal as they are, escape and
// control sequences in them would be obeyed by the terminal (moving the
// cursor, retitling the window, hiding what follows), so every control
// character other than a line break or a tab is shown as '?', C1 controls
// and bytes that are not UTF-8 included. A lone CR would overwrite the line
// it ends: CR and CR LF both become a line break.
std::string forTerminal(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c == '\r') {
            out += '\n';
            i += (i + 1 < utf8.size() && utf8[i + 1] == '\n') ? 2 : 1;
            continue;
        }
        if (c == '\n' || c == '\t') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            out += '?';
            ++i;
            continue;
        }
        size_t length = detail::utf8SequenceLength(utf8.substr(i));
        bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (length == 0 || c1) {
            out += '?';
            i += length == 0 ? 1 : length;
            continue;
        }
        out.append(utf8, i, length);
        i += length;
    }
    return out;
}

std::string showAnsi(std::string_view ansi) { return forTerminal(codepage::utf8FromAnsi(ansi)); }

// A filter is a list of description and pattern pairs, each NUL-terminated,
// with a NUL at the end.
std::string showFilter(std::string_view ansi) {
    while (!ansi.empty() && ansi.back() == '\0') ansi.remove_suffix(1);
    std::string joined;
    for (char c : ansi) {
        if (c == '\0')
            joined += " | ";
        else
            joined += c;
    }
    return showAnsi(joined);
}

std::string withNewline(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

std::string renderBox(const MessageBoxRequest& request) {
    const char* icon = detail::iconName(request.icon);
    std::string out = std::string("[") + (*icon ? icon : "message") + "] " + showAnsi(request.caption) + "\n";
    if (!request.text.empty()) out += withNewline(showAnsi(request.text));
    return out;
}

std::string renderChooser(const ChooserRequest& request) {
    std::string out = "[certificate] " + showAnsi(request.caption) + "\n";
    if (!request.edit.empty()) out += withNewline(showAnsi(request.edit));
    // Numbered from 1 for the person typing; the answer counts from 0, as
    // the list does.
    for (size_t i = 0; i < request.entries.size(); ++i) {
        std::string entry = showAnsi(request.entries[i]);
        for (char& c : entry)
            if (c == '\n') c = ' ';  // one line per entry, or the numbers stop meaning anything
        out += "  " + std::to_string(i + 1) + ". " + entry + "\n";
    }
    if (request.entries.empty()) out += "  (no certificates)\n";
    return out;
}

std::string renderFileDialog(const FileDialogRequest& request) {
    std::string out = std::string(request.kind == FileDialogKind::Save ? "[save file] " : "[open file] ") +
                      showAnsi(request.title) + "\n";
    if (!request.filter.empty()) out += withNewline("Types: " + showFilter(request.filter));
    if (!request.initialName.empty()) out += withNewline("Name: " + showAnsi(request.initialName));
    return out;
}

std::string renderSecret(const SecretRequest& request) {
    std::string out = std::string("[") + detail::secretName(request.what) + "] " + forTerminal(request.who) + "\n";
    if (!request.warning.empty()) out += withNewline(showAnsi(request.warning));
    return out;
}

const char* buttonName(Button button) {
    switch (button) {
    case Button::Ok: return "OK";
    case Button::Cancel: return "Cancel";
    case Button::Yes: return "Yes";
    case Button::No: return "No";
    }
    return "";
}

// Turns echo off on a terminal for as long as it lives; does nothing on a
// stream that is not a terminal.
class EchoOff {
public:
    explicit EchoOff(std::FILE* input) : fd_(fileno(input)) {
        if (fd_ < 0 || !::isatty(fd_) || ::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(fd_, TCSANOW, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

class ConsoleUserInterface : public UserInterface {
public:
    ConsoleUserInterface(const ConsoleStreams& streams, UniqueFile ownedInput, UniqueFile ownedOutput)
        : in_(streams.input),
          out_(streams.output ? streams.output : stderr),
          diagnostics_(streams.diagnostics ? streams.diagnostics : stderr),
          ownedInput_(std::move(ownedInput)),
          ownedOutput_(std::move(ownedOutput)) {}

    Button messageBox(const MessageBoxRequest& request) override {
        std::string shown = renderBox(request);
        if (!in_) {
            reportDefault(shown, buttonName(safeDefault(request)));
            return safeDefault(request);
        }
        write(shown);
        if (request.buttons == Buttons::Ok) {
            std::string line;
            readLine("Press Enter for OK: ", line);  // whatever comes, even the end of input, is OK
            return Button::Ok;
        }
        for (;;) {
            std::string line;
            if (readLine("Yes or no? [y/n]: ", line) == Read::End) return Button::No;
            std::string word(trim(line));
            for (char& c : word)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (word == "y" || word == "yes") return Button::Yes;
            if (word == "n" || word == "no") return Button::No;
        }
    }

    ChooserAnswer chooseCertificate(const ChooserRequest& request) override {
        std::string shown = renderChooser(request);
        if (!in_) {
            reportDefault(shown, "Cancel");
            return {false, -1};
        }
        write(shown);
        size_t count = request.entries.size();
        std::string prompt = count == 0 ? std::string("Press Enter to close: ")
                                        : "Certificate number (1-" + std::to_string(count) + "), Enter to cancel: ";
        for (;;) {
            std::string line;
            Read read = readLine(prompt, line);
            if (read == Read::End) return {false, -1};
            if (read == Read::TooLong) continue;
            std::string_view word = trim(line);
            if (word.empty() || word == "c" || word == "cancel") return {false, -1};
            size_t number = 0;
            bool digits = word.size() <= 9;
            for (char c : word) {
                if (c < '0' || c > '9') digits = false;
                if (digits) number = number * 10 + static_cast<size_t>(c - '0');
            }
            if (digits && number >= 1 && number <= count) return {true, static_cast<int>(number - 1)};
        }
    }

    FileDialogAnswer fileDialog(const FileDialogRequest& request) override {
        std::string shown = renderFileDialog(request);
        if (!in_) {
            reportDefault(shown, "Cancel");
            return {FileDialogAnswer::Kind::Cancelled, {}};
        }
        write(shown);
        std::string prompt = request.initialName.empty()
                                 ? std::string("File name (Enter to cancel): ")
                                 : "File name (Enter for \"" + showAnsi(request.initialName) + "\", Ctrl-D to cancel): ";
        for (;;) {
            std::string line;
            Read read = readLine(prompt, line);
            if (read == Read::End) return {FileDialogAnswer::Kind::Cancelled, {}};
            if (read == Read::TooLong) continue;
            std::string_view name = trim(line);
            if (name.empty()) {
                if (request.initialName.empty()) return {FileDialogAnswer::Kind::Cancelled, {}};
                return {FileDialogAnswer::Kind::Chosen, request.initialName};
            }
            // The control holds paths as NUL-terminated ANSI text; a name it
            // cannot hold would come back cut short or with '?' in it, and
            // name another file.
            std::string ansi = codepage::ansiFromUtf8(name);
            if (name.find('\0') == std::string_view::npos && codepage::utf8FromAnsi(ansi) == name)
                return {FileDialogAnswer::Kind::Chosen, ansi};
            write("That name cannot be written in code page " + std::to_string(codepage::ansiCodePage()) +
                  "; please choose another.\n");
        }
    }

    SecretAnswer askSecret(const SecretRequest& request) override {
        std::string shown = renderSecret(request);
        if (!in_) {
            reportDefault(shown, "Cancel");
            return {false, {}};
        }
        write(shown);
        std::string prompt = std::string(detail::secretName(request.what)) + " (Enter to cancel): ";
        for (;;) {
            std::string line;
            Read read;
            {
                EchoOff quiet(in_);
                read = readLine(prompt, line);
            }
            write("\n");  // the Enter that ended the line was not echoed
            if (read == Read::End) return {false, {}};
            if (read == Read::TooLong) {
                wipe(line);
                continue;
            }
            if (line.empty()) return {false, {}};
            SecretAnswer answer{true, line};
            wipe(line);
            return answer;
        }
    }

private:
    enum class Read { Line, End, TooLong };

    void write(std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), out_);
        std::fflush(out_);
    }

    // Without a terminal nobody can answer, but whoever reads standard error
    // later should see what was asked and what the control was told.
    void reportDefault(const std::string& shown, const char* answer) {
        std::string block = shown + "-> no terminal: answered " + answer + "\n";
        std::fwrite(block.data(), 1, block.size(), diagnostics_);
        std::fflush(diagnostics_);
    }

    // Reads one line without its line break. The end of input (Ctrl-D on a
    // terminal, the end of a pipe) is the user closing the dialog; the
    // stream is reset after it so that the next request on a terminal can
    // still be answered. A line longer than MAX_LINE is read to its end and
    // refused.
    Read readLine(const std::string& prompt, std::string& line) {
        write(prompt);
        line.clear();
        line.reserve(MAX_LINE);  // no reallocation, so no stray copies of a secret
        bool tooLong = false;
        for (;;) {
            int c = std::getc(in_);
            if (c == EOF) {
                std::clearerr(in_);
                if (line.empty() && !tooLong) return Read::End;
                break;
            }
            if (c == '\n') break;
            if (line.size() < MAX_LINE)
                line += static_cast<char>(c);
            else
                tooLong = true;
        }
        if (tooLong) {
            write("That line is too long.\n");
            return Read::TooLong;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return Read::Line;
    }

    std::FILE* in_;
    std::FILE* out_;
    std::FILE* diagnostics_;
    UniqueFile ownedInput_;
    UniqueFile ownedOutput_;
};

}  // namespace

std::unique_ptr<UserInterface> makeConsoleUserInterface(const ConsoleStreams& streams) {
    return std::make_unique<ConsoleUserInterface>(streams, nullptr, nullptr);
}

// The controlling terminal, not standard input and output: those belong to
// the page (its output, perhaps a pipe), and a prompt must reach the person
// even when they are redirected.
std::unique_ptr<UserInterface> makeConsoleUserInterface() {
    UniqueFile input(std::fopen("/dev/tty", "re"));
    UniqueFile output(input ? std::fopen("/dev/tty", "we") : nullptr);
    ConsoleStreams streams;
    if (input && output) {
        // Unbuffered, so that a PIN typed at the prompt leaves no copy in a
        // stdio buffer and nothing typed for a later request is read early.
        std::setvbuf(input.get(), nullptr, _IONBF, 0);
        streams.input = input.get();
        streams.output = output.get();
    } else {
        input.reset();
        output.reset();
    }
    return std::make_unique<ConsoleUserInterface>(streams, std::move(input), std::move(output));
}

}  // namespace ui
