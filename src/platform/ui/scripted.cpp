#include "platform/ui/ui.h"

#include <cstdio>
#include <deque>
#include <stdexcept>
#include <utility>

#include "platform/codepage/codepage.h"
#include "platform/ui/internal.h"

namespace ui {

namespace {

// A JSON string. Texts converted from ANSI are valid UTF-8, but the names a
// caller passes in UTF-8 and the paths an answers file holds are not checked
// by anyone before they reach the log; a byte that is not part of a
// well-formed sequence becomes U+FFFD, so every log line stays valid JSON.
void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out += "\\\""; ++i; continue;
        case '\\': out += "\\\\"; ++i; continue;
        case '\b': out += "\\b"; ++i; continue;
        case '\f': out += "\\f"; ++i; continue;
        case '\n': out += "\\n"; ++i; continue;
        case '\r': out += "\\r"; ++i; continue;
        case '\t': out += "\\t"; ++i; continue;
        default: break;
        }
        if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
            continue;
        }
        size_t length = detail::utf8SequenceLength(text.substr(i));
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    out += '"';
}

class JsonObject {
public:
    JsonObject() : text_("{") {}

    JsonObject& string(const char* key, std::string_view value) {
        this->key(key);
        appendJsonString(text_, value);
        return *this;
    }
    JsonObject& number(const char* key, int value) {
        this->key(key);
        text_ += std::to_string(value);
        return *this;
    }
    JsonObject& strings(const char* key, const std::vector<std::string>& values) {
        this->key(key);
        text_ += '[';
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) text_ += ',';
            appendJsonString(text_, values[i]);
        }
        text_ += ']';
        return *this;
    }
    std::string finish() { return std::move(text_) + "}"; }

private:
    void key(const char* name) {
        if (text_.size() > 1) text_ += ',';
        appendJsonString(text_, name);
        text_ += ':';
    }
    std::string text_;
};

// Wipes a string's bytes before it goes away, for queued PINs.
void wipe(std::string& text) {
    volatile char* bytes = text.data();
    for (size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
    text.clear();
}

}  // namespace

struct ScriptedUserInterface::State {
    std::deque<ScriptedAnswer> queue;
    std::vector<RecordedRequest> requests;
    std::function<void(const RecordedRequest&)> unanswered;
    std::function<void(const RecordedRequest&)> record;

    // Takes the first queued answer when `fits` accepts it. Otherwise the
    // request is unanswered and the queue stays as it was: a script that has
    // fallen out of step with the control should show where it happened,
    // not hand its answers to the wrong requests.
    std::optional<ScriptedAnswer> take(const std::function<bool(const ScriptedAnswer&)>& fits) {
        if (queue.empty() || !fits(queue.front())) return std::nullopt;
        ScriptedAnswer answer = queue.front();
        wipe(queue.front().text);
        queue.pop_front();
        return answer;
    }

    // Fills in the answer and the JSON line (fields in a fixed order), keeps
    // the request and tells the handlers.
    void finish(RecordedRequest& request, const std::optional<ScriptedAnswer>& answer) {
        request.answer = answer ? detail::formatScriptedAnswer(*answer) : "unanswered";

        JsonObject json;
        json.string("kind", request.kind);
        if (request.kind == "chooser") json.number("dialog", request.dialog);
        if (request.kind == "box" || request.kind == "chooser" || request.kind == "pin")
            json.string("caption", request.caption);
        if (request.kind == "box" || (request.kind == "pin" && !request.text.empty()))
            json.string("text", request.text);
        if (request.kind == "chooser") {
            json.string("edit", request.edit);
            json.strings("entries", request.entries);
            json.number("width", request.width);
        }
        if (request.kind == "box") {
            json.string("buttons", request.buttons);
            if (!request.icon.empty()) json.string("icon", request.icon);
            json.string("owner", request.owner);
        }
        if (request.kind == "open" || request.kind == "save" || request.kind == "pin")
            json.string("title", request.title);
        if (request.kind == "open" || request.kind == "save") {
            json.string("filter", request.filter);
            json.string("name", request.name);
        }
        json.string("answer", request.answer);
        request.json = json.finish();

        // The handlers get their own copy: one of them may make a request of
        // its own, which would move the stored ones.
        requests.push_back(request);
        if (!answer && unanswered) unanswered(request);
        if (record) record(request);
    }
};

ScriptedUserInterface::ScriptedUserInterface() : state_(std::make_unique<State>()) {}

ScriptedUserInterface::~ScriptedUserInterface() {
    for (auto& answer : state_->queue) wipe(answer.text);
}

void ScriptedUserInterface::push(ScriptedAnswer answer) { state_->queue.push_back(std::move(answer)); }

void ScriptedUserInterface::push(std::string_view line) {
    auto answer = parseScriptedAnswer(line);
    if (!answer)
        throw std::invalid_argument("not an answer (ok, cancel, yes, no, select N, file PATH or pin TEXT): \"" +
                                    std::string(line) + "\"");
    push(std::move(*answer));
}

size_t ScriptedUserInterface::pending() const { return state_->queue.size(); }

const std::vector<RecordedRequest>& ScriptedUserInterface::requests() const { return state_->requests; }

void ScriptedUserInterface::clearRequests() { state_->requests.clear(); }

void ScriptedUserInterface::onUnanswered(std::function<void(const RecordedRequest&)> handler) {
    state_->unanswered = std::move(handler);
}

void ScriptedUserInterface::onRecord(std::function<void(const RecordedRequest&)> handler) {
    state_->record = std::move(handler);
}

Button ScriptedUserInterface::messageBox(const MessageBoxRequest& request) {
    RecordedRequest recorded;
    recorded.kind = "box";
    recorded.caption = codepage::utf8FromAnsi(request.caption);
    recorded.text = codepage::utf8FromAnsi(request.text);
    recorded.buttons = detail::buttonsName(request.buttons);
    recorded.icon = detail::iconName(request.icon);
    recorded.owner = detail::ownerName(request.owner);

    using Kind = ScriptedAnswer::Kind;
    auto answer = state_->take([&](const ScriptedAnswer& a) {
        return request.buttons == Buttons::YesNo ? a.kind == Kind::Yes || a.kind == Kind::No : a.kind == Kind::Ok;
    });
    state_->finish(recorded, answer);
    if (!answer) return safeDefault(request);
    switch (answer->kind) {
    case Kind::Yes: return Button::Yes;
    case Kind::No: return Button::No;
    default: return Button::Ok;
    }
}

ChooserAnswer ScriptedUserInterface::chooseCertificate(const ChooserRequest& request) {
    RecordedRequest recorded;
    recorded.kind = "chooser";
    recorded.dialog = request.dialogId;
    recorded.caption = codepage::utf8FromAnsi(request.caption);
    recorded.edit = codepage::utf8FromAnsi(request.edit);
    recorded.entries.reserve(request.entries.size());
    for (const auto& entry : request.entries) recorded.entries.push_back(codepage::utf8FromAnsi(entry));
    recorded.width = request.width;

    using Kind = ScriptedAnswer::Kind;
    auto answer = state_->take([&](const ScriptedAnswer& a) {
        if (a.kind == Kind::Select)
            return a.index >= -1 && static_cast<long long>(a.index) < static_cast<long long>(request.entries.size());
        return a.kind == Kind::Ok || a.kind == Kind::Cancel;
    });
    state_->finish(recorded, answer);
    if (!answer || answer->kind == Kind::Cancel) return {false, -1};
    if (answer->kind == Kind::Ok) return {true, -1};
    return {true, answer->index};
}

FileDialogAnswer ScriptedUserInterface::fileDialog(const FileDialogRequest& request) {
    RecordedRequest recorded;
    recorded.kind = request.kind == FileDialogKind::Save ? "save" : "open";
    recorded.title = codepage::utf8FromAnsi(request.title);
    recorded.filter = codepage::utf8FromAnsi(request.filter);
    recorded.name = codepage::utf8FromAnsi(request.initialName);
    recorded.flags = request.flags;

    using Kind = ScriptedAnswer::Kind;
    auto answer = state_->take([](const ScriptedAnswer& a) { return a.kind == Kind::File || a.kind == Kind::Cancel; });
    state_->finish(recorded, answer);
    if (!answer || answer->kind == Kind::Cancel) return {FileDialogAnswer::Kind::Cancelled, {}};
    return {FileDialogAnswer::Kind::Chosen, codepage::ansiFromUtf8(answer->text)};
}

SecretAnswer ScriptedUserInterface::askSecret(const SecretRequest& request) {
    RecordedRequest recorded;
    recorded.kind = "pin";
    recorded.title = request.who;
    recorded.text = codepage::utf8FromAnsi(request.warning);
    recorded.caption = detail::secretName(request.what);

    using Kind = ScriptedAnswer::Kind;
    auto answer = state_->take([](const ScriptedAnswer& a) { return a.kind == Kind::Pin || a.kind == Kind::Cancel; });
    state_->finish(recorded, answer);
    if (!answer || answer->kind == Kind::Cancel) return {false, {}};
    SecretAnswer result{true, answer->text};
    wipe(answer->text);
    return result;
}

}  // namespace ui
