#include "host_ui.h"

#include <iostream>
#include <sstream>

#include "platform/codepage/codepage.h"

namespace host {

std::vector<ui::ScriptedAnswer> parseAnswers(std::string_view text, std::string_view origin) {
    std::vector<ui::ScriptedAnswer> answers;
    size_t lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        auto answer = ui::parseScriptedAnswer(line);
        if (!answer) {
            throw InputError(std::string(origin) + ":" + std::to_string(lineNumber) + ": not an answer: \"" +
                             std::string(line) + "\"");
        }
        answers.push_back(std::move(*answer));
    }
    return answers;
}

std::vector<ui::ScriptedAnswer> readAnswers(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw InputError("cannot read the answers file " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw InputError("cannot read the answers file " + file.string());
    return parseAnswers(text.str(), file.string());
}

UiLog::UiLog(const std::filesystem::path& file) : file_(file), out_(file, std::ios::binary | std::ios::app) {
    if (!out_) throw InputError("cannot open the log " + file.string());
}

void UiLog::write(const ui::RecordedRequest& request) {
    out_ << request.json << '\n';
    out_.flush();
    if (!out_ && !warned_) {
        warned_ = true;
        std::cerr << "quillmark: cannot write to the log " << file_.string() << '\n';
    }
}

namespace {

// Replays each request, with the answer the real interface gave, through a
// scripted interface made for that one request: it records the request in the
// one format the project has, and a fresh one per request means an answer it
// did not take can never be handed to the next request.
class RecordingUserInterface : public ui::UserInterface {
public:
    RecordingUserInterface(std::unique_ptr<ui::UserInterface> inner,
                           std::function<void(const ui::RecordedRequest&)> record)
        : inner_(std::move(inner)), record_(std::move(record)) {}

    ui::Button messageBox(const ui::MessageBoxRequest& request) override {
        const ui::Button button = inner_->messageBox(request);
        replay(answerFor(button), [&](ui::ScriptedUserInterface& recorder) { recorder.messageBox(request); });
        return button;
    }

    ui::ChooserAnswer chooseCertificate(const ui::ChooserRequest& request) override {
        const ui::ChooserAnswer answer = inner_->chooseCertificate(request);
        ui::ScriptedAnswer given;
        if (answer.ok && answer.index >= 0) {
            given.kind = ui::ScriptedAnswer::Kind::Select;
            given.index = answer.index;
        } else if (answer.ok) {
            given.kind = ui::ScriptedAnswer::Kind::Ok;
        } else {
            given.kind = ui::ScriptedAnswer::Kind::Cancel;
        }
        replay(given, [&](ui::ScriptedUserInterface& recorder) { recorder.chooseCertificate(request); });
        return answer;
    }

    ui::FileDialogAnswer fileDialog(const ui::FileDialogRequest& request) override {
        const ui::FileDialogAnswer answer = inner_->fileDialog(request);
        ui::ScriptedAnswer given;
        if (answer.kind == ui::FileDialogAnswer::Kind::Chosen) {
            given.kind = ui::ScriptedAnswer::Kind::File;
            given.text = codepage::utf8FromAnsi(answer.path);
        } else {
            // The answers file has no word for a dialog error: it is logged
            // as the nearest thing, a cancel.
            given.kind = ui::ScriptedAnswer::Kind::Cancel;
        }
        replay(given, [&](ui::ScriptedUserInterface& recorder) { recorder.fileDialog(request); });
        return answer;
    }

    ui::SecretAnswer askSecret(const ui::SecretRequest& request) override {
        const ui::SecretAnswer answer = inner_->askSecret(request);
        ui::ScriptedAnswer given;
        // The secret itself never reaches the recorder: a log file is no place
        // for a PIN someone typed.
        given.kind = answer.ok ? ui::ScriptedAnswer::Kind::Pin : ui::ScriptedAnswer::Kind::Cancel;
        replay(given, [&](ui::ScriptedUserInterface& recorder) { recorder.askSecret(request); });
        return answer;
    }

private:
    static ui::ScriptedAnswer answerFor(ui::Button button) {
        ui::ScriptedAnswer given;
        switch (button) {
            case ui::Button::Ok: given.kind = ui::ScriptedAnswer::Kind::Ok; break;
            case ui::Button::Cancel: given.kind = ui::ScriptedAnswer::Kind::Cancel; break;
            case ui::Button::Yes: given.kind = ui::ScriptedAnswer::Kind::Yes; break;
            case ui::Button::No: given.kind = ui::ScriptedAnswer::Kind::No; break;
        }
        return given;
    }

    template <class Request>
    void replay(ui::ScriptedAnswer given, Request&& request) {
        // The real answer is already given; a failure to record it must not
        // take it back from the page.
        try {
            ui::ScriptedUserInterface recorder;
            recorder.onRecord(record_);
            recorder.push(std::move(given));
            request(recorder);
        } catch (const std::exception& e) {
            std::cerr << "quillmark: a request could not be logged: " << e.what() << '\n';
        }
    }

    std::unique_ptr<ui::UserInterface> inner_;
    std::function<void(const ui::RecordedRequest&)> record_;
};

}  // namespace

std::unique_ptr<ui::UserInterface> makeRecordingUserInterface(
    std::unique_ptr<ui::UserInterface> inner, std::function<void(const ui::RecordedRequest&)> record) {
    return std::make_unique<RecordingUserInterface>(std::move(inner), std::move(record));
}

}  // namespace host
