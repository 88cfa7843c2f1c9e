// The agreed plaintext on any bytes. Parsing is lenient (totals are only
// stop marks, the marker's bytes are not read, trailing bytes after the
// files are ignored), so a parsed input does not compose back to itself;
// what must hold is that the composed form is canonical: it parses to the
// same items and files and composes to the very same bytes again. The
// accessors answer for every index that exists and for no other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "package/form_package.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::string composed(const qm::FormPackage& package) {
    int32_t length = -1;
    check(package.compose({}, &length) == qm::PACKAGE_OK && length >= 0);
    // Exactly the reported size, on the heap, so that a write past it is seen.
    std::vector<char> bytes(static_cast<size_t>(length));
    int32_t written = -1;
    check(package.compose(std::span<char>(bytes.data(), bytes.size()), &written) == qm::PACKAGE_OK);
    check(written == length);
    if (length > 0) {
        // One byte short is refused and reports nothing.
        int32_t shortLength = -1;
        check(package.compose(std::span<char>(bytes.data(), bytes.size() - 1), &shortLength) == qm::PACKAGE_FAILED);
        check(shortLength == 0);
    }
    return std::string(bytes.begin(), bytes.end());
}

void checkAccessors(const qm::FormPackage& package) {
    const int32_t items = package.itemCount();
    const int32_t files = package.fileCount();
    check(items >= 0 && files >= 0);
    for (int32_t i = 0; i < items; ++i) {
        const std::string_view item = package.item(i);
        check(!item.empty());
        int32_t length = -1;
        check(package.itemAt(i, {}, &length) == qm::PACKAGE_OK && length == static_cast<int32_t>(item.size()));
        std::vector<char> copy(item.size());
        check(package.itemAt(i, copy, &length) == qm::PACKAGE_OK);
        check(std::string_view(copy.data(), copy.size()) == item);
    }
    for (int32_t i = 0; i < files; ++i) {
        const auto [name, content] = package.file(i);
        check(!name.empty() && !content.empty());
        int32_t nameLength = -1;
        int32_t contentLength = -1;
        check(package.fileAt(i, {}, &nameLength, {}, &contentLength) == qm::PACKAGE_OK);
        check(nameLength == static_cast<int32_t>(name.size()) && contentLength == static_cast<int32_t>(content.size()));
        std::vector<char> nameCopy(name.size());
        std::vector<char> contentCopy(content.size());
        check(package.fileAt(i, nameCopy, &nameLength, contentCopy, &contentLength) == qm::PACKAGE_OK);
        check(std::string_view(nameCopy.data(), nameCopy.size()) == name);
        check(std::string_view(contentCopy.data(), contentCopy.size()) == content);
    }
    int32_t length = -1;
    int32_t other = -1;
    for (const int32_t outside : {-1, items, items + 1}) {
        check(package.itemAt(outside, {}, &length) == qm::PACKAGE_FAILED && length == 0);
        check(package.item(outside).empty());
    }
    for (const int32_t outside : {-1, files, files + 1}) {
        check(package.fileAt(outside, {}, &length, {}, &other) == qm::PACKAGE_FAILED && length == 0 && other == 0);
        check(package.file(outside).first.empty());
    }
}

bool sameContent(const qm::FormPackage& a, const qm::FormPackage& b) {
    if (a.itemCount() != b.itemCount() || a.fileCount() != b.fileCount()) return false;
    for (int32_t i = 0; i < a.itemCount(); ++i) {
        if (a.item(i) != b.item(i)) return false;
    }
    for (int32_t i = 0; i < a.fileCount(); ++i) {
        if (a.file(i) != b.file(i)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A real pointer even for no bytes: an empty text is not a missing one.
    static const char nothing = 0;
    const std::string_view text(size ? reinterpret_cast<const char*>(data) : &nothing, size);
    qm::FormPackage package;
    if (package.parse(text) != qm::PACKAGE_OK) {
        // Nothing partial survives a refusal.
        check(package.itemCount() == 0 && package.fileCount() == 0);
        return 0;
    }
    checkAccessors(package);

    const std::string canonical = composed(package);
    check(canonical.size() <= text.size() + qm::PACKAGE_FIELD_SIZE);
    // A form section whose first length field is not a length holds no
    // item and still parses; its canonical form is no bytes at all, which
    // is not an agreed plaintext of its own.
    if (package.itemCount() == 0 && package.fileCount() == 0) {
        check(canonical.empty());
        return 0;
    }
    qm::FormPackage again;
    check(again.parse(canonical) == qm::PACKAGE_OK);
    check(sameContent(package, again));
    check(composed(again) == canonical);
    return 0;
}
