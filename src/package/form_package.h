// The agreed plaintext: form items and files packed into one byte string that
// is then signed or enveloped like any other plaintext, and taken apart again
// on the receiving side. It carries no checksum or version of its own.
//
// Every length is an 8-byte field of ASCII digits ("%08d"). A form section
// (when there are items) is the form total, the sum of 8 + length over the
// items, then each item as its length field and its bytes. A files section
// (when there are files) is the files total, the sum of 16 + name length +
// content length over the files, then each file as its entry length (name
// length + content length + 8), its name length, its name and its content.
// The sections are framed by the marker "00000000", which can never be a
// valid total:
//
//   items only    form section, "00000000"
//   files only    "00000000", files section
//   both          form section, files section
//   nothing       no bytes at all
//
//   items ab, xyz       0000002100000002ab00000003xyz00000000
//   file a.txt = hello  00000000000000260000001800000005a.txthello
//   ab and that file    0000001000000002ab000000260000001800000005a.txthello
//
// Bytes are opaque: items, names and contents may hold NULs and digits. No
// item, name or content is ever empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/node_list.h"

namespace qm {

// Missing input (ERR_NO_SOURCE, -10001) is the other answer besides these.
constexpr int32_t PACKAGE_OK = 0;
// No such item or file; input that is not an agreed plaintext; a package
// that does not fit its length fields; a destination too small.
constexpr int32_t PACKAGE_FAILED = -1;

// The largest value an 8-digit length field holds. An item, name, content,
// entry or section total beyond it cannot be written: composing refuses the
// package rather than write a ninth digit that every reader would misread.
constexpr int64_t MAX_PACKAGE_FIELD = 99999999;
constexpr size_t PACKAGE_FIELD_SIZE = 8;

// One length field at `position`: its decimal value when all 8 bytes are
// ASCII digits, else 0. A field cut short by the end of `text` reads 0 as
// well, so 0 always means that no valid length stands there.
int32_t readLength(std::string_view text, size_t position);

class FormPackage {
public:
    // 0; ERR_NO_SOURCE for an empty item (nothing is added); PACKAGE_FAILED
    // when the list cannot grow or the item cannot be counted in 32 bits.
    int32_t appendItem(std::string_view item);
    // The same for a file: neither name nor content may be empty.
    int32_t appendFile(std::string_view name, std::string_view content);

    int32_t itemCount() const { return itemList_.count(); }
    int32_t fileCount() const { return static_cast<int32_t>(fileList_.size()); }

    // Reports the length of item `index` (0-based) and copies it into
    // `destination` when one is given ({} for none). ERR_NO_SOURCE without
    // `length`; PACKAGE_FAILED when there is no such item or the destination
    // cannot hold it (nothing is copied then).
    int32_t itemAt(int32_t index, std::span<char> destination, int32_t* length) const;
    // The same for the name and the content of file `index`.
    int32_t fileAt(int32_t index, std::span<char> nameDestination, int32_t* nameLength,
                   std::span<char> contentDestination, int32_t* contentLength) const;

    // The bytes in place, for readers that only look (empty when there is no
    // such item or file).
    std::string_view item(int32_t index) const;
    std::pair<std::string_view, std::string_view> file(int32_t index) const;

    // Reports the length of the agreed plaintext and writes it into
    // `destination` when one is given; the result is the same on every call,
    // so a first call without a destination sizes the second.
    // ERR_NO_SOURCE without `length`; PACKAGE_FAILED (length 0, nothing
    // written) when a length or total does not fit its field, or when the
    // destination is shorter than the package.
    int32_t compose(std::span<char> destination, int32_t* length) const;

    // Appends the items and files of an agreed plaintext to the lists.
    // ERR_NO_SOURCE when `text` has no data pointer; PACKAGE_FAILED, with both
    // lists emptied, when it is not an agreed plaintext. Meant for a fresh,
    // empty package. Running out of memory is not a verdict on the input: the
    // lists are emptied and std::bad_alloc goes on to the caller.
    int32_t parse(std::string_view text);

    void clear();

private:
    // A file is one entry of its own rather than two list nodes, so that a
    // failure between name and content can never leave half a file behind.
    struct File {
        std::string name;
        std::string content;
    };
    void addFile(std::string_view name, std::string_view content);

    NodeList itemList_;
    std::vector<File> fileList_;
};

}  // namespace qm
