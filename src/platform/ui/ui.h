// The user interface the control talks to: message boxes, the certificate
// chooser, file dialogs and secret prompts. Every request is answered
// synchronously, as a modal dialog would be. Texts travel as ANSI bytes, the
// way the control holds them; back ends convert for display.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

enum class Buttons { Ok, YesNo };
enum class Icon { None, Warning, Error, Question, Information };
enum class Owner { None, Control };
enum class Button { Ok, Cancel, Yes, No };

struct MessageBoxRequest {
    std::string text;     // ANSI
    std::string caption;  // ANSI
    Buttons buttons = Buttons::Ok;
    Icon icon = Icon::None;
    Owner owner = Owner::None;
};

struct ChooserRequest {
    int dialogId = 0;                  // 104 or 203
    std::string caption;               // ANSI
    std::string edit;                  // the edit field's text, ANSI
    std::vector<std::string> entries;  // ANSI, in list order
    int width = 0;                     // measured drop-down width; 0 when not set
};

struct ChooserAnswer {
    bool ok = false;  // false: Cancel
    int index = -1;   // the selected entry, -1 when none was selected
};

enum class FileDialogKind { Open, Save };

struct FileDialogRequest {
    FileDialogKind kind = FileDialogKind::Open;
    std::string title;        // ANSI
    std::string filter;       // ANSI
    std::string initialName;  // ANSI; the name the save dialog starts with
    uint32_t flags = 0;       // the dialog flags the caller asked for
};

struct FileDialogAnswer {
    enum class Kind { Chosen, Cancelled, Error } kind = Kind::Cancelled;
    std::string path;  // ANSI, when chosen
};

enum class SecretKind { Pin, PassPhrase };

struct SecretRequest {
    std::string who;      // provider, token label or key file (UTF-8)
    SecretKind what = SecretKind::Pin;
    std::string warning;  // for a token signature: what is being signed (ANSI)
};

struct SecretAnswer {
    bool ok = false;  // false: Cancel
    std::string secret;
};

class UserInterface {
public:
    virtual ~UserInterface() = default;
    virtual Button messageBox(const MessageBoxRequest& request) = 0;
    virtual ChooserAnswer chooseCertificate(const ChooserRequest& request) = 0;
    virtual FileDialogAnswer fileDialog(const FileDialogRequest& request) = 0;
    virtual SecretAnswer askSecret(const SecretRequest& request) = 0;
};

// Text measurement: a fixed model, so that widths come out the same on every
// machine. Every ANSI byte is TEXT_WIDTH_PER_BYTE units wide.
constexpr int TEXT_WIDTH_PER_BYTE = 6;
int measureText(std::string_view ansi);

// The answer a user without a terminal would give: OK for a plain box, No for
// a question, Cancel for choosers, file dialogs and prompts.
Button safeDefault(const MessageBoxRequest& request);

// --- The console: the terminal, or safe defaults without one -------------

// Shows requests on the controlling terminal (UTF-8) and reads answers from
// it. Without a terminal every request gets its safe default and what would
// have been shown is printed to standard error. (console.h has a variant
// over streams of the caller's choosing.)
std::unique_ptr<UserInterface> makeConsoleUserInterface();

// --- Scripted: answers from a queue, every request recorded ---------------

// One answer, as the host's answers file writes it: "ok", "cancel", "yes",
// "no", "select N", "file PATH", "pin TEXT".
struct ScriptedAnswer {
    enum class Kind { Ok, Cancel, Yes, No, Select, File, Pin } kind = Kind::Ok;
    int index = 0;     // Select
    std::string text;  // File (UTF-8 path), Pin
};

std::optional<ScriptedAnswer> parseScriptedAnswer(std::string_view line);

// One request as it was made, with every field a user would have seen, and
// the answer it got ("unanswered" when no queued answer fitted it). Texts are
// UTF-8. A secret prompt is recorded with title = who asks, text = the
// warning and caption = "PIN" or "pass phrase"; a PIN answer as "pin ***".
struct RecordedRequest {
    std::string kind;  // "box", "chooser", "open", "save", "pin"
    std::string json;  // the whole request as one JSON object
    std::string caption, text, edit, title, filter, name, buttons, icon, owner, answer;
    int dialog = 0;
    int width = 0;
    std::vector<std::string> entries;
    uint32_t flags = 0;  // file dialogs: the flags asked for (not in the JSON line)
};

class ScriptedUserInterface : public UserInterface {
public:
    ScriptedUserInterface();
    ~ScriptedUserInterface() override;

    void push(ScriptedAnswer answer);
    void push(std::string_view line);  // throws std::invalid_argument for a bad line
    size_t pending() const;

    const std::vector<RecordedRequest>& requests() const;
    void clearRequests();

    // Called for a request that finds the queue empty, or an answer at its
    // head that does not fit the request (which then stays queued), before
    // the safe default answers it. Tests make this fail loudly.
    void onUnanswered(std::function<void(const RecordedRequest&)> handler);
    // Every request, as a JSON line, goes here too (the host's --ui-log).
    void onRecord(std::function<void(const RecordedRequest&)> handler);

    Button messageBox(const MessageBoxRequest& request) override;
    ChooserAnswer chooseCertificate(const ChooserRequest& request) override;
    FileDialogAnswer fileDialog(const FileDialogRequest& request) override;
    SecretAnswer askSecret(const SecretRequest& request) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// --- Drawing ---------------------------------------------------------------

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

constexpr uint32_t TA_LEFT = 0;
constexpr uint32_t TA_BASELINE = 24;
constexpr uint32_t TA_CENTER = 6;

// The little a control needs to draw its face.
class Canvas {
public:
    virtual ~Canvas() = default;
    // With the current pen and brush.
    virtual void rectangle(const Rect& bounds) = 0;
    virtual void setTextAlign(uint32_t align) = 0;
    virtual void textOut(int x, int y, std::string_view ansi) = 0;
};

// Records what was drawn, for tests.
class RecordingCanvas : public Canvas {
public:
    struct Operation {
        std::string kind;  // "rectangle", "align", "text"
        Rect bounds;
        uint32_t align = 0;
        int x = 0, y = 0;
        std::string text;
    };
    void rectangle(const Rect& bounds) override { operations.push_back({"rectangle", bounds, 0, 0, 0, {}}); }
    void setTextAlign(uint32_t align) override { operations.push_back({"align", {}, align, 0, 0, {}}); }
    void textOut(int x, int y, std::string_view ansi) override {
        operations.push_back({"text", {}, 0, x, y, std::string(ansi)});
    }
    std::vector<Operation> operations;
};

}  // namespace ui
