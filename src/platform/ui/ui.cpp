#include "platform/ui/ui.h"

#include <charconv>
#include <climits>

#include "platform/ui/internal.h"

namespace ui {

int measureText(std::string_view ansi) {
    // Saturate rather than overflow: the control accepts texts of up to
    // 100 MiB, which would not fit in an int at six units a byte.
    constexpr size_t MAX_BYTES = static_cast<size_t>(INT_MAX / TEXT_WIDTH_PER_BYTE);
    if (ansi.size() > MAX_BYTES) return INT_MAX;
    return static_cast<int>(ansi.size()) * TEXT_WIDTH_PER_BYTE;
}

Button safeDefault(const MessageBoxRequest& request) {
    return request.buttons == Buttons::YesNo ? Button::No : Button::Ok;
}

namespace {

constexpr std::string_view BLANKS = " \t\r\n\v\f";

std::string_view trim(std::string_view text) {
    size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(BLANKS);
    return text.substr(first, last - first + 1);
}

}  // namespace

// Keywords are case-sensitive and an argument is required where the form has
// one: an answers file is written by a program or a careful person, and a
// line that does not say exactly what it means should stop the run rather
// than answer something nobody intended. "file" and "pin" take the rest of
// the line, inner blanks included, so paths with spaces need no quoting.
std::optional<ScriptedAnswer> parseScriptedAnswer(std::string_view line) {
    line = trim(line);
    size_t split = line.find_first_of(BLANKS);
    std::string_view keyword = line.substr(0, split);
    std::string_view rest = split == std::string_view::npos ? std::string_view{} : trim(line.substr(split));

    ScriptedAnswer answer;
    if (keyword == "ok" || keyword == "cancel" || keyword == "yes" || keyword == "no") {
        if (!rest.empty()) return std::nullopt;
        answer.kind = keyword == "ok"       ? ScriptedAnswer::Kind::Ok
                      : keyword == "cancel" ? ScriptedAnswer::Kind::Cancel
                      : keyword == "yes"    ? ScriptedAnswer::Kind::Yes
                                            : ScriptedAnswer::Kind::No;
        return answer;
    }
    if (keyword == "select") {
        int index = 0;
        auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), index);
        if (rest.empty() || error != std::errc{} || end != rest.data() + rest.size()) return std::nullopt;
        if (index < -1) return std::nullopt;  // -1 is "nothing selected"; below that is no entry at all
        answer.kind = ScriptedAnswer::Kind::Select;
        answer.index = index;
        return answer;
    }
    if (keyword == "file" || keyword == "pin") {
        if (rest.empty()) return std::nullopt;
        answer.kind = keyword == "file" ? ScriptedAnswer::Kind::File : ScriptedAnswer::Kind::Pin;
        answer.text = std::string(rest);
        return answer;
    }
    return std::nullopt;
}

namespace detail {

// Overlong forms, surrogates and code points above U+10FFFF are not
// well-formed.
size_t utf8SequenceLength(std::string_view text) {
    if (text.empty()) return 0;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) return 0;
        if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
        if (lead == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
        if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
        if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

const char* buttonsName(Buttons buttons) { return buttons == Buttons::YesNo ? "yesno" : "ok"; }

const char* iconName(Icon icon) {
    switch (icon) {
    case Icon::Warning: return "warning";
    case Icon::Error: return "error";
    case Icon::Question: return "question";
    case Icon::Information: return "information";
    case Icon::None: break;
    }
    return "";
}

const char* ownerName(Owner owner) { return owner == Owner::Control ? "control" : "none"; }

const char* secretName(SecretKind what) { return what == SecretKind::PassPhrase ? "pass phrase" : "PIN"; }

std::string formatScriptedAnswer(const ScriptedAnswer& answer) {
    switch (answer.kind) {
    case ScriptedAnswer::Kind::Ok: return "ok";
    case ScriptedAnswer::Kind::Cancel: return "cancel";
    case ScriptedAnswer::Kind::Yes: return "yes";
    case ScriptedAnswer::Kind::No: return "no";
    case ScriptedAnswer::Kind::Select: return "select " + std::to_string(answer.index);
    case ScriptedAnswer::Kind::File: return "file " + answer.text;
    case ScriptedAnswer::Kind::Pin: return "pin ***";
    }
    return "";
}

}  // namespace detail

}  // namespace ui
