#include "control/registrar.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <vector>

namespace qm {

namespace {

// --- The script as a tree ---------------------------------------------------

enum class Flag { None, NoRemove, ForceRemove, Delete };

struct ValueSpec {
    char type = 's';
    std::string text;
};

struct KeyNode {
    Flag flag = Flag::None;
    std::string name;
    std::optional<ValueSpec> defaultValue;
    std::vector<std::pair<std::string, ValueSpec>> values;  // `val` entries
    std::vector<KeyNode> children;
};

struct RootNode {
    registry::Root root;
    std::vector<KeyNode> children;
    std::vector<std::pair<std::string, ValueSpec>> values;
};

struct Token {
    std::string text;
    bool quoted = false;
    size_t line = 0;
};

class Parser {
public:
    Parser(std::string_view script, const std::map<std::string, std::string>& replacements)
        : script_(script), replacements_(replacements) {}

    bool parse(std::vector<RootNode>& roots, std::string& error) {
        if (!tokenize(error)) return false;
        while (pos_ < tokens_.size()) {
            RootNode root;
            const Token& name = tokens_[pos_++];
            if (!rootFromName(name.text, root.root)) return failAt(name, "unknown root key '" + name.text + "'", error);
            if (!expect("{", error)) return false;
            if (!parseBody(root.children, root.values, error)) return false;
            roots.push_back(std::move(root));
        }
        return true;
    }

private:
    static bool rootFromName(const std::string& name, registry::Root& root) {
        std::string upper;
        for (char c : name) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        if (upper == "HKCR" || upper == "HKEY_CLASSES_ROOT") {
            root = registry::Root::ClassesRoot;
        } else if (upper == "HKLM" || upper == "HKEY_LOCAL_MACHINE") {
            root = registry::Root::LocalMachine;
        } else if (upper == "HKCU" || upper == "HKEY_CURRENT_USER") {
            root = registry::Root::CurrentUser;
        } else {
            return false;
        }
        return true;
    }

    bool failAt(const Token& token, const std::string& what, std::string& error) {
        error = "line " + std::to_string(token.line) + ": " + what;
        return false;
    }

    bool failAtEnd(const std::string& what, std::string& error) {
        error = "end of script: " + what;
        return false;
    }

    bool isWord(const Token& token, const char* word) const {
        if (token.quoted) return false;
        const std::string& t = token.text;
        size_t n = 0;
        while (word[n] != 0) ++n;
        if (t.size() != n) return false;
        for (size_t i = 0; i < n; ++i) {
            if (std::tolower(static_cast<unsigned char>(t[i])) != std::tolower(static_cast<unsigned char>(word[i]))) {
                return false;
            }
        }
        return true;
    }

    bool expect(const char* text, std::string& error) {
        if (pos_ >= tokens_.size()) return failAtEnd(std::string("expected '") + text + "'", error);
        const Token& token = tokens_[pos_];
        if (token.quoted || token.text != text) {
            return failAt(token, std::string("expected '") + text + "', found '" + token.text + "'", error);
        }
        ++pos_;
        return true;
    }

    bool peekIs(const char* text) const {
        return pos_ < tokens_.size() && !tokens_[pos_].quoted && tokens_[pos_].text == text;
    }

    bool parseValue(ValueSpec& value, std::string& error) {
        if (pos_ + 1 >= tokens_.size()) return failAtEnd("expected a type and a value", error);
        const Token& type = tokens_[pos_++];
        if (type.quoted || type.text.size() != 1 || std::string("sdb").find(type.text[0]) == std::string::npos) {
            return failAt(type, "unknown value type '" + type.text + "'", error);
        }
        const Token& text = tokens_[pos_++];
        if (!text.quoted) return failAt(text, "a value must be quoted", error);
        value.type = type.text[0];
        value.text = text.text;
        return true;
    }

    // Entries between a '{' already read and its '}'.
    bool parseBody(std::vector<KeyNode>& keys, std::vector<std::pair<std::string, ValueSpec>>& values,
                   std::string& error) {
        while (true) {
            if (pos_ >= tokens_.size()) return failAtEnd("missing '}'", error);
            if (peekIs("}")) {
                ++pos_;
                return true;
            }
            const Token& first = tokens_[pos_];
            if (isWord(first, "val")) {
                ++pos_;
                if (pos_ >= tokens_.size()) return failAtEnd("expected a value name", error);
                std::string name = tokens_[pos_++].text;
                if (!expect("=", error)) return false;
                ValueSpec value;
                if (!parseValue(value, error)) return false;
                values.emplace_back(std::move(name), std::move(value));
                continue;
            }
            KeyNode key;
            if (isWord(first, "NoRemove")) {
                key.flag = Flag::NoRemove;
                ++pos_;
            } else if (isWord(first, "ForceRemove")) {
                key.flag = Flag::ForceRemove;
                ++pos_;
            } else if (isWord(first, "Delete")) {
                key.flag = Flag::Delete;
                ++pos_;
            }
            if (pos_ >= tokens_.size()) return failAtEnd("expected a key name", error);
            const Token& name = tokens_[pos_++];
            if (!name.quoted && (name.text == "{" || name.text == "}" || name.text == "=")) {
                return failAt(name, "expected a key name, found '" + name.text + "'", error);
            }
            key.name = name.text;
            if (key.name.empty() || key.name.find('\\') != std::string::npos) {
                return failAt(name, "a key name must be one non-empty component", error);
            }
            if (peekIs("=")) {
                ++pos_;
                ValueSpec value;
                if (!parseValue(value, error)) return false;
                key.defaultValue = std::move(value);
            }
            if (peekIs("{")) {
                ++pos_;
                if (!parseBody(key.children, key.values, error)) return false;
            }
            keys.push_back(std::move(key));
        }
    }

    bool substitute(std::string& text, size_t line, std::string& error) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '%') {
                out.push_back(text[i]);
                continue;
            }
            const size_t end = text.find('%', i + 1);
            if (end == std::string::npos) {
                error = "line " + std::to_string(line) + ": unterminated %NAME%";
                return false;
            }
            const std::string name = text.substr(i + 1, end - i - 1);
            if (name.empty()) {
                out.push_back('%');
            } else {
                const auto found = replacements_.find(name);
                if (found == replacements_.end()) {
                    error = "line " + std::to_string(line) + ": no replacement for %" + name + "%";
                    return false;
                }
                out += found->second;
            }
            i = end;
        }
        text = std::move(out);
        return true;
    }

    bool tokenize(std::string& error) {
        size_t line = 1;
        size_t i = 0;
        while (i < script_.size()) {
            const char c = script_[i];
            if (c == '\n') {
                ++line;
                ++i;
                continue;
            }
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++i;
                continue;
            }
            Token token;
            token.line = line;
            if (c == '\'') {
                token.quoted = true;
                ++i;
                bool closed = false;
                while (i < script_.size()) {
                    if (script_[i] == '\'') {
                        if (i + 1 < script_.size() && script_[i + 1] == '\'') {
                            token.text.push_back('\'');
                            i += 2;
                            continue;
                        }
                        ++i;
                        closed = true;
                        break;
                    }
                    if (script_[i] == '\n') ++line;
                    token.text.push_back(script_[i++]);
                }
                if (!closed) {
                    error = "line " + std::to_string(token.line) + ": unterminated string";
                    return false;
                }
            } else {
                while (i < script_.size() && !std::isspace(static_cast<unsigned char>(script_[i])) &&
                       script_[i] != '\'') {
                    token.text.push_back(script_[i++]);
                }
            }
            if (!substitute(token.text, token.line, error)) return false;
            tokens_.push_back(std::move(token));
        }
        return true;
    }

    std::string_view script_;
    const std::map<std::string, std::string>& replacements_;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
};

// --- Running it ---------------------------------------------------------------

class Runner {
public:
    explicit Runner(std::string& error) : error_(error) {}

    bool registerKeys(registry::Key& parent, const std::vector<KeyNode>& keys) {
        for (const KeyNode& key : keys) {
            if (key.flag == Flag::Delete || key.flag == Flag::ForceRemove) {
                const registry::LSTATUS status = parent.deleteSubKeyTree(key.name);
                if (status != registry::ERROR_SUCCESS && status != registry::ERROR_FILE_NOT_FOUND) {
                    return failed("cannot delete " + parent.path() + "\\" + key.name, status);
                }
                if (key.flag == Flag::Delete) continue;
            }
            registry::Key child;
            if (const auto status = parent.createSubKey(key.name, registry::KEY_ALL_ACCESS, child);
                status != registry::ERROR_SUCCESS) {
                return failed("cannot create " + parent.path() + "\\" + key.name, status);
            }
            if (key.defaultValue && !setValue(child, "", *key.defaultValue)) return false;
            for (const auto& [name, value] : key.values) {
                if (!setValue(child, name, value)) return false;
            }
            if (!registerKeys(child, key.children)) return false;
        }
        return true;
    }

    bool setRootValues(registry::Key& root, const std::vector<std::pair<std::string, ValueSpec>>& values) {
        for (const auto& [name, value] : values) {
            if (!setValue(root, name, value)) return false;
        }
        return true;
    }

    // Unregistration removes what registration wrote and leaves what others
    // keep beside it: a key is deleted only when nothing else remains in it,
    // unless it is marked ForceRemove.
    bool unregisterKeys(registry::Key& parent, const std::vector<KeyNode>& keys) {
        for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
            const KeyNode& key = *it;
            if (key.flag == Flag::Delete) continue;
            if (key.flag == Flag::ForceRemove) {
                const registry::LSTATUS status = parent.deleteSubKeyTree(key.name);
                if (status != registry::ERROR_SUCCESS && status != registry::ERROR_FILE_NOT_FOUND) {
                    return failed("cannot delete " + parent.path() + "\\" + key.name, status);
                }
                continue;
            }
            registry::Key child;
            const registry::LSTATUS opened = parent.openSubKey(key.name, registry::KEY_ALL_ACCESS, child);
            if (opened == registry::ERROR_FILE_NOT_FOUND) continue;
            if (opened != registry::ERROR_SUCCESS) return failed("cannot open " + parent.path() + "\\" + key.name, opened);
            if (!unregisterKeys(child, key.children)) return false;
            if (key.flag == Flag::NoRemove) continue;
            for (const auto& [name, value] : key.values) child.deleteValue(name);
            if (key.defaultValue) child.deleteValue("");
            std::vector<std::string> subKeys;
            std::vector<std::string> values;
            child.enumSubKeys(subKeys);
            child.enumValues(values);
            if (subKeys.empty() && values.empty()) {
                const registry::LSTATUS status = parent.deleteSubKey(key.name);
                if (status != registry::ERROR_SUCCESS && status != registry::ERROR_FILE_NOT_FOUND) {
                    return failed("cannot delete " + parent.path() + "\\" + key.name, status);
                }
            }
        }
        return true;
    }

    bool failed(const std::string& what, registry::LSTATUS status) {
        error_ = what + " (error " + std::to_string(status) + ")";
        return false;
    }

private:
    bool setValue(registry::Key& key, const std::string& name, const ValueSpec& spec) {
        registry::Value value;
        switch (spec.type) {
            case 's':
                value.type = registry::REG_SZ;
                value.data = spec.text;
                break;
            case 'd': {
                std::optional<uint32_t> number = parseNumber(spec.text);
                if (!number) {
                    error_ = "'" + spec.text + "' is not a number";
                    return false;
                }
                value.type = registry::REG_DWORD;
                for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>((*number >> (8 * i)) & 0xFF));
                break;
            }
            case 'b': {
                if (spec.text.size() % 2 != 0) {
                    error_ = "'" + spec.text + "' is not a list of hex bytes";
                    return false;
                }
                value.type = registry::REG_BINARY;
                for (size_t i = 0; i < spec.text.size(); i += 2) {
                    const int high = hexDigit(spec.text[i]);
                    const int low = hexDigit(spec.text[i + 1]);
                    if (high < 0 || low < 0) {
                        error_ = "'" + spec.text + "' is not a list of hex bytes";
                        return false;
                    }
                    value.data.push_back(static_cast<char>(high * 16 + low));
                }
                break;
            }
            default:
                error_ = "unknown value type";
                return false;
        }
        if (const auto status = key.setValue(name, value); status != registry::ERROR_SUCCESS) {
            return failed("cannot set " + key.path() + "\\" + (name.empty() ? "@" : name), status);
        }
        return true;
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    static std::optional<uint32_t> parseNumber(const std::string& text) {
        uint64_t value = 0;
        size_t i = 0;
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            i = 2;
        }
        if (i >= text.size()) return std::nullopt;
        for (; i < text.size(); ++i) {
            const int digit = hexDigit(text[i]);
            if (digit < 0 || digit >= base) return std::nullopt;
            value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
            if (value > 0xFFFFFFFFu) return std::nullopt;
        }
        return static_cast<uint32_t>(value);
    }

    std::string& error_;
};

}  // namespace

HRESULT runRegistrar(registry::Hive& hive, std::string_view script,
                     const std::map<std::string, std::string>& replacements, RegistrarAction action,
                     std::string* error) {
    std::string message;
    std::vector<RootNode> roots;
    Parser parser(script, replacements);
    if (!parser.parse(roots, message)) {
        if (error) *error = "registry script: " + message;
        return DISP_E_EXCEPTION;
    }
    Runner runner(message);
    for (const RootNode& node : roots) {
        registry::Key root;
        const registry::LSTATUS status = action == RegistrarAction::Register
                                             ? hive.createKey(node.root, "", registry::KEY_ALL_ACCESS, root)
                                             : hive.openKey(node.root, "", registry::KEY_ALL_ACCESS, root);
        if (status != registry::ERROR_SUCCESS) {
            runner.failed("cannot open " + registry::rootPath(node.root), status);
            if (error) *error = message;
            return SELFREG_E_CLASS;
        }
        const bool ok = action == RegistrarAction::Register
                            ? runner.setRootValues(root, node.values) && runner.registerKeys(root, node.children)
                            : runner.unregisterKeys(root, node.children);
        if (!ok) {
            if (error) *error = message;
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

}  // namespace qm
