#include "package/form_package.h"

#include <cstring>
#include <limits>
#include <new>

#include "control/state/codes.h"

namespace qm {

namespace {

constexpr std::string_view MARKER = "00000000";
constexpr int64_t FIELD = static_cast<int64_t>(PACKAGE_FIELD_SIZE);

bool countable(std::string_view bytes) {
    return bytes.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max());
}

// Writes the composed bytes in order; the sizes were checked beforehand.
class Writer {
public:
    explicit Writer(char* at) : at_(at) {}
    void bytes(std::string_view text) {
        std::memcpy(at_, text.data(), text.size());
        at_ += text.size();
    }
    void field(int64_t value) {
        for (size_t i = PACKAGE_FIELD_SIZE; i-- > 0;) {
            at_[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        at_ += PACKAGE_FIELD_SIZE;
    }

private:
    char* at_;
};

bool fits(int64_t value) { return value <= MAX_PACKAGE_FIELD; }

}  // namespace

int32_t readLength(std::string_view text, size_t position) {
    if (position > text.size() || text.size() - position < PACKAGE_FIELD_SIZE) return 0;
    int32_t value = 0;
    for (size_t i = 0; i < PACKAGE_FIELD_SIZE; ++i) {
        const char c = text[position + i];
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

int32_t FormPackage::appendItem(std::string_view item) {
    if (item.data() == nullptr || item.empty()) return ERR_NO_SOURCE;
    if (!countable(item)) return PACKAGE_FAILED;
    try {
        return itemList_.append(item) == 0 ? PACKAGE_OK : PACKAGE_FAILED;
    } catch (const std::bad_alloc&) {
        return PACKAGE_FAILED;
    }
}

int32_t FormPackage::appendFile(std::string_view name, std::string_view content) {
    if (name.data() == nullptr || content.data() == nullptr || name.empty() || content.empty()) return ERR_NO_SOURCE;
    if (!countable(name) || !countable(content)) return PACKAGE_FAILED;
    try {
        addFile(name, content);
        return PACKAGE_OK;
    } catch (const std::bad_alloc&) {
        return PACKAGE_FAILED;
    }
}

void FormPackage::addFile(std::string_view name, std::string_view content) {
    // Both copies are made before the list grows, and growing either
    // succeeds or leaves the list as it was: no file is ever half there.
    File entry{std::string(name), std::string(content)};
    fileList_.push_back(std::move(entry));
}

std::string_view FormPackage::item(int32_t index) const {
    std::string_view bytes;
    itemList_.item(index, bytes);
    return bytes;
}

std::pair<std::string_view, std::string_view> FormPackage::file(int32_t index) const {
    if (index < 0 || index >= fileCount()) return {};
    const File& entry = fileList_[static_cast<size_t>(index)];
    return {entry.name, entry.content};
}

int32_t FormPackage::itemAt(int32_t index, std::span<char> destination, int32_t* length) const {
    if (!length) return ERR_NO_SOURCE;
    *length = 0;
    if (index < 0 || index >= itemCount()) return PACKAGE_FAILED;
    const std::string_view bytes = item(index);
    *length = static_cast<int32_t>(bytes.size());
    if (destination.data() != nullptr) {
        if (destination.size() < bytes.size()) return PACKAGE_FAILED;
        std::memcpy(destination.data(), bytes.data(), bytes.size());
    }
    return PACKAGE_OK;
}

int32_t FormPackage::fileAt(int32_t index, std::span<char> nameDestination, int32_t* nameLength,
                            std::span<char> contentDestination, int32_t* contentLength) const {
    if (!nameLength || !contentLength) return ERR_NO_SOURCE;
    *nameLength = 0;
    *contentLength = 0;
    if (index < 0 || index >= fileCount()) return PACKAGE_FAILED;
    const auto [name, content] = file(index);
    *nameLength = static_cast<int32_t>(name.size());
    *contentLength = static_cast<int32_t>(content.size());
    if ((nameDestination.data() != nullptr && nameDestination.size() < name.size()) ||
        (contentDestination.data() != nullptr && contentDestination.size() < content.size())) {
        return PACKAGE_FAILED;
    }
    if (nameDestination.data() != nullptr) std::memcpy(nameDestination.data(), name.data(), name.size());
    if (contentDestination.data() != nullptr) std::memcpy(contentDestination.data(), content.data(), content.size());
    return PACKAGE_OK;
}

int32_t FormPackage::compose(std::span<char> destination, int32_t* length) const {
    if (!length) return ERR_NO_SOURCE;
    *length = 0;
    const int32_t items = itemCount();
    const int32_t files = fileCount();

    // Sizes first, each checked against its field, so that nothing is
    // written for a package that cannot be written whole.
    int64_t formTotal = 0;
    for (int32_t i = 0; i < items; ++i) {
        const int64_t size = static_cast<int64_t>(item(i).size());
        if (!fits(size)) return PACKAGE_FAILED;
        formTotal += FIELD + size;
    }
    int64_t filesTotal = 0;
    for (int32_t i = 0; i < files; ++i) {
        const auto [name, content] = file(i);
        const int64_t entry = static_cast<int64_t>(name.size() + content.size()) + FIELD;
        if (!fits(entry)) return PACKAGE_FAILED;
        filesTotal += FIELD + entry;
    }
    if (!fits(formTotal) || !fits(filesTotal)) return PACKAGE_FAILED;

    int64_t size = 0;
    if (items > 0) size += FIELD + formTotal;
    if (files > 0) size += FIELD + filesTotal;
    // One marker frames a lone section: after the items, or before the files.
    if ((items > 0) != (files > 0)) size += FIELD;
    if (destination.data() == nullptr) {
        *length = static_cast<int32_t>(size);
        return PACKAGE_OK;
    }
    if (static_cast<int64_t>(destination.size()) < size) return PACKAGE_FAILED;

    Writer out(destination.data());
    if (items > 0) {
        out.field(formTotal);
        for (int32_t i = 0; i < items; ++i) {
            out.field(static_cast<int64_t>(item(i).size()));
            out.bytes(item(i));
        }
        if (files == 0) out.bytes(MARKER);
    }
    if (files > 0) {
        if (items == 0) out.bytes(MARKER);
        out.field(filesTotal);
        for (int32_t i = 0; i < files; ++i) {
            const auto [name, content] = file(i);
            out.field(static_cast<int64_t>(name.size() + content.size()) + FIELD);
            out.field(static_cast<int64_t>(name.size()));
            out.bytes(name);
            out.bytes(content);
        }
    }
    *length = static_cast<int32_t>(size);
    return PACKAGE_OK;
}

int32_t FormPackage::parse(std::string_view text) {
    if (text.data() == nullptr) return ERR_NO_SOURCE;
    const int64_t n = static_cast<int64_t>(text.size());
    int64_t at = 0;
    auto remaining = [&] { return n - at; };
    auto lengthAt = [&](int64_t position) { return static_cast<int64_t>(readLength(text, static_cast<size_t>(position))); };
    auto slice = [&](int64_t from, int64_t count) {
        return text.substr(static_cast<size_t>(from), static_cast<size_t>(count));
    };
    auto invalid = [&] {
        clear();
        return PACKAGE_FAILED;
    };

    try {
        const bool filesOnly = text.substr(0, PACKAGE_FIELD_SIZE) == MARKER;
        if (filesOnly) at = FIELD;

        int64_t total = lengthAt(at);
        if (total == 0 || total > remaining()) return invalid();
        at += FIELD;

        if (!filesOnly) {
            int64_t sum = 0;
            for (;;) {
                const int64_t length = lengthAt(at);
                if (length == 0) break;
                if (length + FIELD > remaining()) return invalid();
                if (itemList_.append(slice(at + FIELD, length)) != 0) return invalid();
                at += FIELD + length;
                // What follows the last item is nothing or the 8-byte
                // marker, whose bytes are not examined.
                if (remaining() == 0 || remaining() == FIELD) return PACKAGE_OK;
                sum += FIELD + length;
                if (sum == total) break;
            }
            if (remaining() == 0 || remaining() == FIELD) return PACKAGE_OK;
            total = lengthAt(at);
            if (total == 0 || total > remaining()) return invalid();
            at += FIELD;
        }

        // The files total is only a stop mark: bytes after the file that
        // reaches it are ignored, as is everything from a field reading 0.
        int64_t sum = 0;
        for (;;) {
            const int64_t entry = lengthAt(at);
            if (entry == 0) return PACKAGE_OK;
            if (entry + FIELD > remaining()) return invalid();
            const int64_t nameLength = lengthAt(at + FIELD);
            if (nameLength < 1 || nameLength > entry - 9) return invalid();
            addFile(slice(at + 2 * FIELD, nameLength), slice(at + 2 * FIELD + nameLength, entry - nameLength - FIELD));
            at += entry + FIELD;
            if (remaining() == 0) return PACKAGE_OK;
            sum += entry + FIELD;
            if (sum == total) return PACKAGE_OK;
        }
    } catch (const std::bad_alloc&) {
        clear();
        throw;
    }
}

void FormPackage::clear() {
    itemList_ = NodeList();
    fileList_.clear();
}

}  // namespace qm
