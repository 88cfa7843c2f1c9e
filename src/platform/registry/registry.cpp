#include "platform/registry/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

// NOTES on the hive file
//
// The file is the state, not an import script: it is read again whenever it
// changed, so another process, a test or an editor may change it between two
// calls and the next call sees it. Each change rewrites the whole file under a
// lock on its folder (so that two processes do not lose each other's change),
// through a temporary file beside it, fsync and rename.
//
// Written form, as regedit writes it:
//   REG_SZ            "name"="text"   (\ and " escaped), or hex(1): when the
//                     text holds NUL, CR or LF, which the quoted form cannot
//   REG_EXPAND_SZ     hex(2):         the text as UTF-16LE with its terminator
//   REG_DWORD         dword:0000138a  (hex(4): when the data is not 4 bytes)
//   REG_BINARY        hex:01,02
//   other types N     hex(N):         the raw bytes
// Long hex lists are wrapped with a trailing backslash, as regedit does, and
// read back joined. hex(1) and hex(2) hold UTF-16LE text on Windows, so they
// are read as such and held as UTF-8 like any other text.
//
// Reading is strict, because a file that is misread would be rewritten
// wrongly on the next change: the header line, sections, values, blank lines
// and ';' comments are the only shapes; a dword has exactly eight digits;
// every hex byte has two. Deletion entries ([-KEY], "name"=-) have no meaning
// in a hive and are refused too. Tolerated: a UTF-8 BOM, CRLF, blank space
// around lines and around '=', a file in UTF-16LE with its BOM (what regedit
// itself writes), and a file of zero bytes, which is an empty hive.

namespace registry {

namespace {

constexpr std::string_view HEADER = "Windows Registry Editor Version 5.00";
// A hive is small; a file far larger than any hive is refused rather than
// read into memory whole.
constexpr size_t MAX_HIVE_BYTES = size_t{64} << 20;

constexpr std::string_view LOCAL_MACHINE = "HKEY_LOCAL_MACHINE";
constexpr std::string_view CURRENT_USER = "HKEY_CURRENT_USER";

constexpr uint32_t GENERIC_READ = 0x80000000;
constexpr uint32_t GENERIC_WRITE = 0x40000000;
constexpr uint32_t GENERIC_EXECUTE = 0x20000000;
constexpr uint32_t GENERIC_ALL = 0x10000000;

uint32_t mapGenericRights(uint32_t access) {
    uint32_t rights = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & (GENERIC_READ | GENERIC_EXECUTE)) rights |= KEY_READ;
    if (access & GENERIC_WRITE) rights |= KEY_WRITE;
    if (access & GENERIC_ALL) rights |= KEY_ALL_ACCESS;
    return rights;
}

// ---- names -------------------------------------------------------------

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    }
    return true;
}

// ---- UTF-8 and UTF-16 ------------------------------------------------------

// Decodes one well-formed UTF-8 sequence (no overlong forms, no surrogates).
bool decodeUtf8(std::string_view text, size_t& pos, uint32_t& cp) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos);
    size_t length = 0;
    uint32_t min = 0;
    if (lead < 0x80) {
        cp = lead;
        ++pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        cp = lead & 0x07u;
    } else {
        return false;
    }
    if (text.size() - pos < length) return false;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (byte(pos + i) & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    pos += length;
    return true;
}

bool isUtf8(std::string_view text) {
    uint32_t cp = 0;
    for (size_t pos = 0; pos < text.size();) {
        if (!decodeUtf8(text, pos, cp)) return false;
    }
    return true;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void appendUnit(std::string& out, uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>((unit >> 8) & 0xFF);
}

// UTF-8 text (already checked) as UTF-16LE bytes.
std::string toUtf16le(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    uint32_t cp = 0;
    for (size_t pos = 0; pos < text.size();) {
        if (!decodeUtf8(text, pos, cp)) break;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            appendUnit(out, 0xD800 | (cp >> 10));
            appendUnit(out, 0xDC00 | (cp & 0x3FF));
        } else {
            appendUnit(out, cp);
        }
    }
    return out;
}

// UTF-16LE bytes as UTF-8; false on an odd length or a lone surrogate.
bool fromUtf16le(std::string_view bytes, std::string& out) {
    if (bytes.size() % 2 != 0) return false;
    out.clear();
    const auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
    };
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t cp = unit(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 2 >= bytes.size()) return false;
            const uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        appendUtf8(out, cp);
    }
    return true;
}

// A name or text that one quoted line can hold.
bool fitsOneLine(std::string_view text) {
    return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

bool validName(std::string_view name) { return fitsOneLine(name) && isUtf8(name); }

bool isTextType(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// ---- the tree ----------------------------------------------------------------

struct Node {
    std::string name;
    std::vector<std::pair<std::string, Value>> values;  // creation order
    std::vector<Node> children;                         // creation order
};

Node* findChild(Node& node, std::string_view name) {
    for (auto& child : node.children) {
        if (sameName(child.name, name)) return &child;
    }
    return nullptr;
}

const Value* findValue(const Node& node, std::string_view name) {
    for (const auto& [valueName, value] : node.values) {
        if (sameName(valueName, name)) return &value;
    }
    return nullptr;
}

void putValue(Node& node, std::string_view name, Value value) {
    for (auto& [valueName, existing] : node.values) {
        if (sameName(valueName, name)) {
            existing = std::move(value);
            return;
        }
    }
    node.values.emplace_back(std::string(name), std::move(value));
}

// The two real roots; HKEY_CLASSES_ROOT lives inside the first.
struct Model {
    std::array<Node, 2> roots;
    Model() {
        roots[0].name = LOCAL_MACHINE;
        roots[1].name = CURRENT_USER;
    }
};

// A full path: the root's name first, then key names.
using Path = std::vector<std::string>;

Path rootComponents(Root root) {
    switch (root) {
    case Root::ClassesRoot:
        return {std::string(LOCAL_MACHINE), "SOFTWARE", "Classes"};
    case Root::LocalMachine:
        return {std::string(LOCAL_MACHINE)};
    case Root::CurrentUser:
        return {std::string(CURRENT_USER)};
    }
    return {std::string(LOCAL_MACHINE)};
}

std::string joinPath(const Path& path) {
    std::string out;
    for (const auto& component : path) {
        if (!out.empty()) out += '\\';
        out += component;
    }
    return out;
}

// Appends the components of a relative key path; false on an empty component
// or a name no line can hold.
bool appendSubKey(std::string_view subKey, Path& path) {
    if (subKey.empty()) return true;
    size_t start = 0;
    while (true) {
        const size_t end = subKey.find('\\', start);
        const std::string_view component = subKey.substr(start, end == std::string_view::npos ? end : end - start);
        if (component.empty() || !validName(component)) return false;
        path.emplace_back(component);
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

Path splitKeyPath(const std::string& keyPath) {
    Path path;
    size_t start = 0;
    while (true) {
        const size_t end = keyPath.find('\\', start);
        path.push_back(keyPath.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return path;
        start = end + 1;
    }
}

Node* rootNode(Model& model, std::string_view name) {
    for (auto& root : model.roots) {
        if (sameName(root.name, name)) return &root;
    }
    return nullptr;
}

// The node at `path`, or nullptr; `found` (when given) receives the names as
// stored.
Node* findNode(Model& model, const Path& path, Path* found = nullptr) {
    if (path.empty()) return nullptr;
    Node* node = rootNode(model, path[0]);
    if (!node) return nullptr;
    if (found) *found = {node->name};
    for (size_t i = 1; i < path.size() && node; ++i) {
        node = findChild(*node, path[i]);
        if (node && found) found->push_back(node->name);
    }
    return node;
}

Node& ensureNode(Model& model, const Path& path, Path* found = nullptr, bool* created = nullptr) {
    Node* node = rootNode(model, path[0]);
    if (found) *found = {node->name};
    if (created) *created = false;
    for (size_t i = 1; i < path.size(); ++i) {
        Node* child = findChild(*node, path[i]);
        if (!child) {
            node->children.push_back(Node{path[i], {}, {}});
            child = &node->children.back();
            if (created) *created = true;
        }
        node = child;
        if (found) found->push_back(node->name);
    }
    return *node;
}

// The keys that exist whatever the file says: the two roots and
// HKEY_CLASSES_ROOT.
bool isPredefined(const Path& path) {
    if (path.size() == 1) return true;
    return path.size() == 3 && sameName(path[0], LOCAL_MACHINE) && sameName(path[1], "SOFTWARE") &&
           sameName(path[2], "Classes");
}

// ---- writing the file --------------------------------------------------------

constexpr char HEX_DIGITS[] = "0123456789abcdef";

void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
}

// `lineLength` is what the current line already holds; wraps as regedit does.
void appendHexList(std::string& out, size_t lineLength, std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        out += HEX_DIGITS[b >> 4];
        out += HEX_DIGITS[b & 0xF];
        lineLength += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++lineLength;
            if (lineLength >= 77) {
                out += "\\\n  ";
                lineLength = 2;
            }
        }
    }
}

void appendValue(std::string& out, const std::string& name, const Value& value) {
    const size_t lineStart = out.size();
    if (name.empty()) {
        out += '@';
    } else {
        appendQuoted(out, name);
    }
    out += '=';
    const std::string_view data = value.data;
    if (value.type == REG_SZ && fitsOneLine(data)) {
        appendQuoted(out, data);
    } else if (value.type == REG_DWORD && data.size() == 4) {
        out += "dword:";
        for (size_t i = 4; i-- > 0;) {
            const auto b = static_cast<uint8_t>(data[i]);
            out += HEX_DIGITS[b >> 4];
            out += HEX_DIGITS[b & 0xF];
        }
    } else if (value.type == REG_BINARY) {
        out += "hex:";
        appendHexList(out, out.size() - lineStart, data);
    } else {
        out += "hex(";
        char digits[8];
        size_t count = 0;
        uint32_t type = value.type;
        do {
            digits[count++] = HEX_DIGITS[type & 0xF];
            type >>= 4;
        } while (type != 0);
        while (count > 0) out += digits[--count];
        out += "):";
        if (isTextType(value.type)) {
            appendHexList(out, out.size() - lineStart, toUtf16le(data) + std::string(2, '\0'));
        } else {
            appendHexList(out, out.size() - lineStart, data);
        }
    }
    out += '\n';
}

void appendSection(std::string& out, const std::string& path, const Node& node) {
    out += '[';
    out += path;
    out += "]\n";
    for (const auto& [name, value] : node.values) appendValue(out, name, value);
    out += '\n';
}

void appendTree(std::string& out, const std::string& path, const Node& node) {
    appendSection(out, path, node);
    for (const auto& child : node.children) appendTree(out, path + '\\' + child.name, child);
}

std::string serialize(const Model& model) {
    std::string out(HEADER);
    out += "\n\n";
    for (const auto& root : model.roots) {
        // A root exists anyway; its section is only needed for its values.
        if (!root.values.empty()) appendSection(out, root.name, root);
        for (const auto& child : root.children) appendTree(out, root.name + '\\' + child.name, child);
    }
    return out;
}

// ---- reading the file --------------------------------------------------------

std::string_view trim(std::string_view s) {
    constexpr std::string_view blanks = " \t\r";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool startsWithFolded(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && sameName(s.substr(0, prefix.size()), prefix);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Parser {
public:
    Parser(std::string_view text, Model& model) : model_(model) {
        size_t start = 0;
        while (start <= text.size()) {
            const size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                lines_.push_back(text.substr(start));
                break;
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    // False with `error_` set when the text is not a hive.
    bool run() {
        if (lines_.empty() || trim(lines_[0]) != HEADER) {
            return fail(1, "the first line is not \"" + std::string(HEADER) + "\"");
        }
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            const size_t lineNumber = index_ + 1;
            const std::string_view line = trim(lines_[index_]);
            if (!isUtf8(line)) return fail(lineNumber, "not UTF-8 text");
            if (line.find('\0') != std::string_view::npos) return fail(lineNumber, "a NUL byte");
            if (line.empty() || line[0] == ';') continue;
            if (line[0] == '[') {
                if (!section(line, lineNumber)) return false;
            } else if (line[0] == '"' || line[0] == '@') {
                if (!value(line, lineNumber)) return false;
            } else {
                return fail(lineNumber, "not a key, a value or a comment");
            }
        }
        return true;
    }

    const std::string& error() const { return error_; }

private:
    bool fail(size_t lineNumber, const std::string& why) {
        error_ = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    }

    bool section(std::string_view line, size_t lineNumber) {
        if (line.size() < 2 || line.back() != ']') return fail(lineNumber, "the key name has no closing ']'");
        const std::string_view text = line.substr(1, line.size() - 2);
        if (!text.empty() && text[0] == '-') return fail(lineNumber, "a key deletion has no place in a hive");
        const size_t split = text.find('\\');
        const std::string_view rootName = text.substr(0, split);
        Path path;
        if (sameName(rootName, "HKEY_LOCAL_MACHINE") || sameName(rootName, "HKLM")) {
            path = rootComponents(Root::LocalMachine);
        } else if (sameName(rootName, "HKEY_CURRENT_USER") || sameName(rootName, "HKCU")) {
            path = rootComponents(Root::CurrentUser);
        } else if (sameName(rootName, "HKEY_CLASSES_ROOT") || sameName(rootName, "HKCR")) {
            path = rootComponents(Root::ClassesRoot);
        } else {
            return fail(lineNumber, "unknown root key '" + std::string(rootName) + "'");
        }
        if (split != std::string_view::npos &&
            (split + 1 == text.size() || !appendSubKey(text.substr(split + 1), path))) {
            return fail(lineNumber, "an empty or invalid key name in the path");
        }
        current_ = &ensureNode(model_, path);
        return true;
    }

    // A quoted string from `pos` (at the opening quote) to past its closing quote.
    bool quoted(std::string_view line, size_t& pos, std::string& out, size_t lineNumber) {
        out.clear();
        for (++pos; pos < line.size(); ++pos) {
            const char c = line[pos];
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c == '\\') {
                if (++pos == line.size()) break;
                if (line[pos] != '\\' && line[pos] != '"') {
                    return fail(lineNumber, std::string("unknown escape '\\") + line[pos] + "' in a string");
                }
            }
            out += line[pos];
        }
        return fail(lineNumber, "a string has no closing quote");
    }

    bool value(std::string_view line, size_t lineNumber) {
        if (!current_) return fail(lineNumber, "a value before the first key");
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!quoted(line, pos, name, lineNumber)) {
            return false;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos == line.size() || line[pos] != '=') return fail(lineNumber, "a value name is not followed by '='");
        ++pos;
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        const std::string_view data = line.substr(pos);

        Value value;
        if (!data.empty() && data[0] == '"') {
            value.type = REG_SZ;
            size_t end = 0;
            if (!quoted(data, end, value.data, lineNumber)) return false;
            if (end != data.size()) return fail(lineNumber, "text after the closing quote");
        } else if (startsWithFolded(data, "dword:")) {
            const std::string_view digits = data.substr(6);
            if (digits.size() != 8) return fail(lineNumber, "a dword needs exactly eight hex digits");
            uint32_t number = 0;
            for (const char c : digits) {
                const int d = hexDigit(c);
                if (d < 0) return fail(lineNumber, "a dword needs exactly eight hex digits");
                number = number << 4 | static_cast<uint32_t>(d);
            }
            value.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
        } else if (startsWithFolded(data, "hex")) {
            if (!hexValue(data.substr(3), value, lineNumber)) return false;
        } else if (data == "-") {
            return fail(lineNumber, "a value deletion has no place in a hive");
        } else {
            return fail(lineNumber, "unknown value data");
        }
        putValue(*current_, name, std::move(value));
        return true;
    }

    // After "hex": ":list" or "(type):list", the list maybe continued on the
    // lines that follow.
    bool hexValue(std::string_view rest, Value& value, size_t lineNumber) {
        value.type = REG_BINARY;
        if (!rest.empty() && rest[0] == '(') {
            const size_t close = rest.find(')');
            if (close == std::string_view::npos || close < 2 || close > 9) return fail(lineNumber, "a bad hex(type)");
            uint32_t type = 0;
            for (const char c : rest.substr(1, close - 1)) {
                const int d = hexDigit(c);
                if (d < 0) return fail(lineNumber, "a bad hex(type)");
                type = type << 4 | static_cast<uint32_t>(d);
            }
            value.type = type;
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest[0] != ':') return fail(lineNumber, "unknown value data");
        std::string list(rest.substr(1));
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            if (++index_ == lines_.size()) return fail(lineNumber, "a continued line at the end of the file");
            const std::string_view next = trim(lines_[index_]);
            if (!isUtf8(next)) return fail(index_ + 1, "not UTF-8 text");
            if (next.find('\0') != std::string_view::npos) return fail(index_ + 1, "a NUL byte");
            list += next;
        }
        std::string bytes;
        for (size_t pos = 0; pos < list.size(); pos += 3) {
            const int high = hexDigit(list[pos]);
            const int low = pos + 1 < list.size() ? hexDigit(list[pos + 1]) : -1;
            // Two digits, then the end or a comma with more to come.
            const bool separated =
                pos + 2 == list.size() || (pos + 3 < list.size() && list[pos + 2] == ',');
            if (high < 0 || low < 0 || !separated) {
                return fail(lineNumber, "bad hex bytes (two digits each, separated by commas)");
            }
            bytes += static_cast<char>(high << 4 | low);
        }
        if (isTextType(value.type)) {
            if (bytes.size() >= 2 && bytes[bytes.size() - 1] == '\0' && bytes[bytes.size() - 2] == '\0') {
                bytes.resize(bytes.size() - 2);
            }
            if (!fromUtf16le(bytes, value.data)) return fail(lineNumber, "text in hex that is not UTF-16LE");
        } else {
            value.data = std::move(bytes);
        }
        return true;
    }

    Model& model_;
    std::vector<std::string_view> lines_;
    size_t index_ = 0;
    Node* current_ = nullptr;
    std::string error_;
};

// ---- the file system -------------------------------------------------------

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now, for callers that must see the error.
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }
    void reset() { close(); }

private:
    int fd_;
};

std::filesystem::path folderOf(const std::filesystem::path& file) {
    const auto parent = file.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

struct FileContent {
    enum Kind { Missing, Unreadable, Read } kind = Missing;
    std::string bytes;  // Read: the content; Unreadable: why
};

FileContent readHiveFile(const std::filesystem::path& file) {
    FileContent result;
    // O_NONBLOCK: a FIFO put in the hive's place must not hang the reader.
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return result;
        result.kind = FileContent::Unreadable;
        result.bytes = std::strerror(errno);
        return result;
    }
    result.kind = FileContent::Unreadable;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        result.bytes = std::strerror(errno);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.bytes = "not a regular file";
        return result;
    }
    std::string bytes;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            result.bytes = std::strerror(errno);
            return result;
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<size_t>(n) > MAX_HIVE_BYTES) {
            result.bytes = "larger than any hive (" + std::to_string(MAX_HIVE_BYTES >> 20) + " MiB)";
            return result;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    result.kind = FileContent::Read;
    result.bytes = std::move(bytes);
    return result;
}

bool writableFolder(const std::filesystem::path& folder) {
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool hiveIsReadOnly(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        // The mode bits count even for root, who passes every access() test.
        if ((st.st_mode & 0222) == 0) return true;
        if (::access(file.c_str(), W_OK) != 0) return true;
        return !writableFolder(folderOf(file));
    }
    if (errno != ENOENT) return true;
    // The first write makes the missing folders: the nearest one that exists
    // must let us.
    std::filesystem::path folder = folderOf(file);
    while (true) {
        if (::stat(folder.c_str(), &st) == 0) return !writableFolder(folder);
        if (errno != ENOENT) return true;
        const auto parent = folder.parent_path();
        if (parent.empty() || parent == folder) return true;
        folder = parent;
    }
}

// Holds the hive's folder locked against other processes' changes for a
// read-modify-write. Best effort: where flock does not work on a folder, the
// atomic rename still keeps the file whole.
class FolderLock {
public:
    explicit FolderLock(const std::filesystem::path& file)
        : fd_(::open(folderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_) {
            while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }

private:
    Fd fd_;  // closing it releases the lock
};

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool replaceFile(const std::filesystem::path& file, std::string_view text) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path folder = folderOf(file);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return false;

    struct stat old {};
    const bool hadFile = ::stat(file.c_str(), &old) == 0;
    std::filesystem::path temporary;
    Fd fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        temporary = folder / ("." + file.filename().string() + "." + std::to_string(::getpid()) + "." +
                              std::to_string(counter++) + ".tmp");
        fd = Fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST) return false;
    }
    if (!fd) return false;
    bool ok = writeAll(fd.get(), text) && (!hadFile || ::fchmod(fd.get(), old.st_mode & 07777) == 0) &&
              ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (ok) ok = ::rename(temporary.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.get());
    return true;
}

}  // namespace

// ---- the hive --------------------------------------------------------------

struct Hive::Impl {
    std::filesystem::path file;
    Model model;
    // What the model was read from: the file's bytes, or nothing for a missing
    // file; unset until the first read and after the file could not be read.
    std::optional<std::optional<std::string>> source;
    std::optional<std::string> error;

    explicit Impl(std::filesystem::path path) : file(std::move(path)) {}

    // Brings the model up to the file's content. Comparing the bytes, not the
    // modification time, sees every change: timestamps are coarser than two
    // quick writes.
    void refresh() {
        FileContent content = readHiveFile(file);
        if (content.kind == FileContent::Unreadable) {
            model = Model();
            source.reset();
            error = file.string() + ": cannot be read: " + content.bytes;
            return;
        }
        std::optional<std::string> bytes;
        if (content.kind == FileContent::Read) bytes = std::move(content.bytes);
        if (source && *source == bytes) return;
        model = Model();
        error.reset();
        if (bytes) parse(*bytes);
        source = std::move(bytes);
    }

    void parse(std::string_view text) {
        std::string converted;
        if (text.starts_with("\xFF\xFE")) {
            if (!fromUtf16le(text.substr(2), converted)) {
                error = file.string() + ": not UTF-16LE text after its byte order mark";
                return;
            }
            text = converted;
        } else if (text.starts_with("\xEF\xBB\xBF")) {
            text.remove_prefix(3);
        }
        if (text.empty()) return;
        Model parsed;
        Parser parser(text, parsed);
        if (!parser.run()) {
            error = file.string() + ": " + parser.error();
            return;
        }
        model = std::move(parsed);
    }

    // ERROR_SUCCESS when a change may be written.
    LSTATUS writable() const {
        if (error) return ERROR_REGISTRY_CORRUPT;
        if (hiveIsReadOnly(file)) return ERROR_ACCESS_DENIED;
        return ERROR_SUCCESS;
    }

    // Makes `next` the hive, writing it when it differs.
    LSTATUS commit(Model next) {
        const std::string text = serialize(next);
        if (text == serialize(model)) return ERROR_SUCCESS;
        if (text.size() > MAX_HIVE_BYTES) return ERROR_CANTWRITE;
        if (!replaceFile(file, text)) {
            // Whatever is on disk now, read it again next time.
            source.reset();
            return ERROR_CANTWRITE;
        }
        model = std::move(next);
        source = std::optional<std::string>(text);
        return ERROR_SUCCESS;
    }

    // The node a key handle names in `m`: nullptr for a predefined key that
    // the file does not hold yet (it reads as empty); ERROR_KEY_DELETED when
    // the key has gone. With `create`, a predefined key is made.
    LSTATUS locate(Model& m, const std::string& keyPath, bool create, Node*& node) {
        const Path path = splitKeyPath(keyPath);
        node = findNode(m, path);
        if (node) return ERROR_SUCCESS;
        if (!isPredefined(path)) return ERROR_KEY_DELETED;
        if (create) node = &ensureNode(m, path);
        return ERROR_SUCCESS;
    }

    LSTATUS open(Hive* hive, const Path& base, std::string_view subKey, uint32_t access, Key& out, bool create,
                 bool* created) {
        out = Key();
        access = mapGenericRights(access);
        Path path = base;
        if (!appendSubKey(subKey, path)) return ERROR_INVALID_PARAMETER;
        const bool wantsWrite = (access & KEY_WRITE_RIGHTS) != 0;
        if (wantsWrite && hiveIsReadOnly(file)) return ERROR_ACCESS_DENIED;
        if (!findNode(model, base) && !isPredefined(base)) return ERROR_KEY_DELETED;
        Path found;
        bool made = false;
        if (!findNode(model, path, &found)) {
            if (isPredefined(path)) {
                // Opening it needs nothing in the file; the first value or
                // subkey put in it writes it.
                found = path;
            } else if (!create) {
                return ERROR_FILE_NOT_FOUND;
            } else {
                if (const LSTATUS status = writable(); status != ERROR_SUCCESS) return status;
                Model next = model;
                ensureNode(next, path, &found, &made);
                if (const LSTATUS status = commit(std::move(next)); status != ERROR_SUCCESS) return status;
            }
        }
        out.hive_ = hive;
        out.path_ = joinPath(found);
        out.access_ = access;
        if (created) *created = made;
        return ERROR_SUCCESS;
    }

    // Deletes `subKey` below `base`: the whole tree, or only a key without
    // subkeys.
    LSTATUS remove(const std::string& basePath, std::string_view subKey, bool tree) {
        Path path = splitKeyPath(basePath);
        if (!appendSubKey(subKey, path)) return ERROR_INVALID_PARAMETER;
        if (const LSTATUS status = writable(); status != ERROR_SUCCESS) return status;
        Model next = model;
        Node* node = nullptr;
        if (const LSTATUS status = locate(next, basePath, false, node); status != ERROR_SUCCESS) return status;
        if (tree && subKey.empty()) {
            if (!node) return ERROR_SUCCESS;
            node->values.clear();
            node->children.clear();
            return commit(std::move(next));
        }
        if (path.size() == 1) return ERROR_ACCESS_DENIED;  // a root key stays
        const Path parentPath(path.begin(), path.end() - 1);
        Node* parent = findNode(next, parentPath);
        Node* target = parent ? findChild(*parent, path.back()) : nullptr;
        if (!target) return ERROR_FILE_NOT_FOUND;
        if (!tree && !target->children.empty()) return ERROR_ACCESS_DENIED;
        std::erase_if(parent->children, [&](const Node& child) { return &child == target; });
        return commit(std::move(next));
    }
};

std::string rootPath(Root root) { return joinPath(rootComponents(root)); }

Hive::Hive(std::filesystem::path file) : file_(std::move(file)), impl_(std::make_unique<Impl>(file_)) {}

Hive::~Hive() = default;

LSTATUS Hive::openKey(Root root, std::string_view subKey, uint32_t access, Key& out) {
    std::lock_guard lock(mutex_);
    impl_->refresh();
    return impl_->open(this, rootComponents(root), subKey, access, out, false, nullptr);
}

LSTATUS Hive::createKey(Root root, std::string_view subKey, uint32_t access, Key& out, bool* created) {
    std::lock_guard lock(mutex_);
    FolderLock folderLock(file_);
    impl_->refresh();
    return impl_->open(this, rootComponents(root), subKey, access, out, true, created);
}

LSTATUS Hive::deleteKeyTree(Root root, std::string_view subKey) {
    std::lock_guard lock(mutex_);
    FolderLock folderLock(file_);
    impl_->refresh();
    return impl_->remove(rootPath(root), subKey, true);
}

bool Hive::isReadOnly() const { return hiveIsReadOnly(file_); }

std::optional<std::string> Hive::parseError() const {
    std::lock_guard lock(mutex_);
    impl_->refresh();
    return impl_->error;
}

std::string Hive::exportText() const {
    std::lock_guard lock(mutex_);
    impl_->refresh();
    return serialize(impl_->model);
}

// ---- keys ------------------------------------------------------------------

LSTATUS Key::queryValue(std::string_view name, Value& out) const {
    if (!hive_) return ERROR_INVALID_HANDLE;
    if (!(access_ & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::lock_guard lock(hive_->mutex_);
    auto& impl = *hive_->impl_;
    impl.refresh();
    Node* node = nullptr;
    if (const LSTATUS status = impl.locate(impl.model, path_, false, node); status != ERROR_SUCCESS) return status;
    const Value* value = node ? findValue(*node, name) : nullptr;
    if (!value) return ERROR_FILE_NOT_FOUND;
    out = *value;
    return ERROR_SUCCESS;
}

LSTATUS Key::queryString(std::string_view name, std::string& out) const {
    Value value;
    if (const LSTATUS status = queryValue(name, value); status != ERROR_SUCCESS) return status;
    if (!isTextType(value.type)) return ERROR_UNSUPPORTED_TYPE;
    out = std::move(value.data);
    return ERROR_SUCCESS;
}

LSTATUS Key::queryDword(std::string_view name, uint32_t& out) const {
    Value value;
    if (const LSTATUS status = queryValue(name, value); status != ERROR_SUCCESS) return status;
    if (value.data.size() > 4) return ERROR_MORE_DATA;
    uint32_t number = 0;
    for (size_t i = 0; i < value.data.size(); ++i) {
        number |= static_cast<uint32_t>(static_cast<uint8_t>(value.data[i])) << (8 * i);
    }
    out = number;
    return ERROR_SUCCESS;
}

LSTATUS Key::setValue(std::string_view name, const Value& value) {
    if (!hive_) return ERROR_INVALID_HANDLE;
    if (!(access_ & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!validName(name) || (isTextType(value.type) && !isUtf8(value.data))) return ERROR_INVALID_PARAMETER;
    // Written as hex, such a value would make a file too large to read back.
    if (value.data.size() > MAX_HIVE_BYTES / 4) return ERROR_CANTWRITE;
    std::lock_guard lock(hive_->mutex_);
    FolderLock folderLock(hive_->file_);
    auto& impl = *hive_->impl_;
    impl.refresh();
    if (const LSTATUS status = impl.writable(); status != ERROR_SUCCESS) return status;
    Model next = impl.model;
    Node* node = nullptr;
    if (const LSTATUS status = impl.locate(next, path_, true, node); status != ERROR_SUCCESS) return status;
    putValue(*node, name, value);
    return impl.commit(std::move(next));
}

LSTATUS Key::setString(std::string_view name, std::string_view text) {
    return setValue(name, Value{REG_SZ, std::string(text)});
}

LSTATUS Key::setDword(std::string_view name, uint32_t value) {
    std::string data;
    for (int i = 0; i < 4; ++i) data += static_cast<char>((value >> (8 * i)) & 0xFF);
    return setValue(name, Value{REG_DWORD, std::move(data)});
}

LSTATUS Key::deleteValue(std::string_view name) {
    if (!hive_) return ERROR_INVALID_HANDLE;
    if (!(access_ & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::lock_guard lock(hive_->mutex_);
    FolderLock folderLock(hive_->file_);
    auto& impl = *hive_->impl_;
    impl.refresh();
    if (const LSTATUS status = impl.writable(); status != ERROR_SUCCESS) return status;
    Model next = impl.model;
    Node* node = nullptr;
    if (const LSTATUS status = impl.locate(next, path_, false, node); status != ERROR_SUCCESS) return status;
    if (!node) return ERROR_FILE_NOT_FOUND;
    const size_t before = node->values.size();
    std::erase_if(node->values, [&](const auto& entry) { return sameName(entry.first, name); });
    if (node->values.size() == before) return ERROR_FILE_NOT_FOUND;
    return impl.commit(std::move(next));
}

LSTATUS Key::openSubKey(std::string_view subKey, uint32_t access, Key& out) const {
    if (!hive_) {
        out = Key();
        return ERROR_INVALID_HANDLE;
    }
    std::lock_guard lock(hive_->mutex_);
    auto& impl = *hive_->impl_;
    impl.refresh();
    return impl.open(hive_, splitKeyPath(path_), subKey, access, out, false, nullptr);
}

LSTATUS Key::createSubKey(std::string_view subKey, uint32_t access, Key& out, bool* created) {
    if (!hive_ || !(access_ & KEY_CREATE_SUB_KEY)) {
        const LSTATUS status = hive_ ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
        out = Key();
        return status;
    }
    // `out` may be this very key.
    Hive* hive = hive_;
    const Path base = splitKeyPath(path_);
    std::lock_guard lock(hive->mutex_);
    FolderLock folderLock(hive->file_);
    auto& impl = *hive->impl_;
    impl.refresh();
    return impl.open(hive, base, subKey, access, out, true, created);
}

LSTATUS Key::deleteSubKeyTree(std::string_view subKey) {
    if (!hive_) return ERROR_INVALID_HANDLE;
    if (!(access_ & DELETE)) return ERROR_ACCESS_DENIED;
    std::lock_guard lock(hive_->mutex_);
    FolderLock folderLock(hive_->file_);
    hive_->impl_->refresh();
    return hive_->impl_->remove(path_, subKey, true);
}

LSTATUS Key::deleteSubKey(std::string_view subKey) {
    if (!hive_) return ERROR_INVALID_HANDLE;
    if (!(access_ & KEY_WRITE_RIGHTS)) return ERROR_ACCESS_DENIED;
    std::lock_guard lock(hive_->mutex_);
    FolderLock folderLock(hive_->file_);
    hive_->impl_->refresh();
    return hive_->impl_->remove(path_, subKey, false);
}

LSTATUS Key::enumSubKeys(std::vector<std::string>& names) const {
    if (!hive_) return ERROR_INVALID_HANDLE;
    if (!(access_ & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    std::lock_guard lock(hive_->mutex_);
    auto& impl = *hive_->impl_;
    impl.refresh();
    Node* node = nullptr;
    if (const LSTATUS status = impl.locate(impl.model, path_, false, node); status != ERROR_SUCCESS) return status;
    names.clear();
    if (node) {
        for (const auto& child : node->children) names.push_back(child.name);
    }
    return ERROR_SUCCESS;
}

LSTATUS Key::enumValues(std::vector<std::string>& names) const {
    if (!hive_) return ERROR_INVALID_HANDLE;
    if (!(access_ & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::lock_guard lock(hive_->mutex_);
    auto& impl = *hive_->impl_;
    impl.refresh();
    Node* node = nullptr;
    if (const LSTATUS status = impl.locate(impl.model, path_, false, node); status != ERROR_SUCCESS) return status;
    names.clear();
    if (node) {
        for (const auto& entry : node->values) names.push_back(entry.first);
    }
    return ERROR_SUCCESS;
}

}  // namespace registry
