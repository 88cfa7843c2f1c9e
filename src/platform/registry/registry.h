// The registry: one hive file in the plain-text export format.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Classes\CLSID\{...}\CtlSettings]
//   "maxsize"=dword:00001388
//   "stubPath"="c:\\quillmarkStub\\"
//   @="default value"
//
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes. Key and value
// names compare case-insensitively (ASCII), keeping the case they were created
// with. Names and text values are UTF-8 in this interface and in the file.
//
// Every change is written at once and atomically (a temporary file beside the
// hive, then a rename). A hive that does not parse reads as empty and is never
// overwritten: writes to it fail with ERROR_REGISTRY_CORRUPT. A hive whose
// file has no write permission bit at all, or that the process cannot open for
// writing, is read-only: opening a key with any write right fails with
// ERROR_ACCESS_DENIED, as a non-administrator is refused full access to the
// machine hive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace registry {

using LSTATUS = int32_t;
constexpr LSTATUS ERROR_SUCCESS = 0;
constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
constexpr LSTATUS ERROR_MORE_DATA = 234;
constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
constexpr LSTATUS ERROR_CANTWRITE = 1013;
constexpr LSTATUS ERROR_REGISTRY_CORRUPT = 1015;
// The key behind an open handle has been deleted (by this or another process).
constexpr LSTATUS ERROR_KEY_DELETED = 1018;
// queryString on a value that holds no text.
constexpr LSTATUS ERROR_UNSUPPORTED_TYPE = 1630;

constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr uint32_t KEY_NOTIFY = 0x0010;
constexpr uint32_t KEY_CREATE_LINK = 0x0020;
constexpr uint32_t DELETE = 0x00010000;
constexpr uint32_t READ_CONTROL = 0x00020000;
constexpr uint32_t WRITE_DAC = 0x00040000;
constexpr uint32_t WRITE_OWNER = 0x00080000;
constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_WRITE = 0x20006;
constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;
// Rights that need a writable hive.
constexpr uint32_t KEY_WRITE_RIGHTS =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

enum class Root { ClassesRoot, LocalMachine, CurrentUser };

struct Value {
    uint32_t type = REG_NONE;
    // REG_SZ and REG_EXPAND_SZ: the UTF-8 text without a terminator;
    // REG_DWORD: four bytes, little-endian; otherwise the raw bytes.
    std::string data;
};

class Hive;

// An open key. Closes itself; holds the rights it was opened with. A key
// refers to its hive by address and names its key by path: it must not
// outlive the hive, and it sees whatever the file holds at that path when it
// is used. A key whose path has gone answers ERROR_KEY_DELETED; the root keys
// (and HKEY_CLASSES_ROOT) always exist.
//
// Rights a handle needs, as Win32 asks them:
//   queryValue, queryString, queryDword, enumValues  KEY_QUERY_VALUE
//   enumSubKeys                                      KEY_ENUMERATE_SUB_KEYS
//   setValue, setString, setDword, deleteValue       KEY_SET_VALUE
//   createSubKey                                     KEY_CREATE_SUB_KEY
//   deleteSubKeyTree                                 DELETE
//   deleteSubKey                                     any of KEY_WRITE_RIGHTS
//   openSubKey                                       none (the new key's rights are checked)
// Missing rights give ERROR_ACCESS_DENIED, as does any change to a read-only
// hive; any change to a hive that does not parse gives ERROR_REGISTRY_CORRUPT.
// GENERIC_READ/WRITE/EXECUTE/ALL in an access mask count as the key rights
// Win32 maps them to.
class Key {
public:
    Key() = default;
    bool isOpen() const { return hive_ != nullptr; }
    const std::string& path() const { return path_; }  // full path, HKEY_... first
    uint32_t access() const { return access_; }

    LSTATUS queryValue(std::string_view name, Value& out) const;  // "" is the default value
    // REG_SZ or REG_EXPAND_SZ (not expanded); ERROR_UNSUPPORTED_TYPE otherwise.
    LSTATUS queryString(std::string_view name, std::string& out) const;
    // A four-byte read of the value whatever its type: a shorter value is
    // zero-extended, a longer one gives ERROR_MORE_DATA.
    LSTATUS queryDword(std::string_view name, uint32_t& out) const;
    // Names and REG_SZ/REG_EXPAND_SZ text must be UTF-8; names may not hold
    // NUL, CR or LF (ERROR_INVALID_PARAMETER otherwise).
    LSTATUS setValue(std::string_view name, const Value& value);
    LSTATUS setString(std::string_view name, std::string_view text);
    LSTATUS setDword(std::string_view name, uint32_t value);
    LSTATUS deleteValue(std::string_view name);

    // Subkeys, relative to this key (a path with backslashes is allowed; an
    // empty component is ERROR_INVALID_PARAMETER; "" is this key itself).
    LSTATUS openSubKey(std::string_view subKey, uint32_t access, Key& out) const;
    LSTATUS createSubKey(std::string_view subKey, uint32_t access, Key& out, bool* created = nullptr);
    // Deletes a subkey with everything below it; "" empties this key of its
    // values and subkeys but keeps it (as RegDeleteTree with no subkey does).
    LSTATUS deleteSubKeyTree(std::string_view subKey);
    // Deletes a subkey only when it has no subkeys of its own (ERROR_ACCESS_DENIED
    // otherwise); "" deletes this key itself. Root keys cannot be deleted.
    LSTATUS deleteSubKey(std::string_view subKey);
    // Names in creation order; the default value, when set, is "".
    LSTATUS enumSubKeys(std::vector<std::string>& names) const;
    LSTATUS enumValues(std::vector<std::string>& names) const;

private:
    friend class Hive;
    Hive* hive_ = nullptr;
    std::string path_;
    uint32_t access_ = 0;
};

class Hive {
public:
    explicit Hive(std::filesystem::path file);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    const std::filesystem::path& file() const { return file_; }

    // On failure `out` is left closed. Creating a key that exists opens it and
    // needs a writable hive only when write rights are asked for.
    LSTATUS openKey(Root root, std::string_view subKey, uint32_t access, Key& out);
    LSTATUS createKey(Root root, std::string_view subKey, uint32_t access, Key& out, bool* created = nullptr);
    LSTATUS deleteKeyTree(Root root, std::string_view subKey);

    // True when the hive may not be written (see above). The rename that
    // replaces the file needs its folder to be writable too, so a folder the
    // process cannot write also makes the hive read-only, as does a missing
    // hive whose folder cannot be made.
    bool isReadOnly() const;
    // Set when the hive file exists but does not parse; the text says why.
    std::optional<std::string> parseError() const;

    // The whole hive as the file would hold it (for tools and tests).
    std::string exportText() const;

    // Used by Key.
    struct Impl;

private:
    friend class Key;
    std::filesystem::path file_;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex mutex_;
};

// "HKEY_LOCAL_MACHINE\SOFTWARE\Classes" for ClassesRoot, and so on.
std::string rootPath(Root root);

}  // namespace registry
