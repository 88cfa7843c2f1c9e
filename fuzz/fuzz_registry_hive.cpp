// A hive file with any content. What a hive that parses shows through keys
// and values is what its export shows again after a reload, and what it
// still shows after a change has been written and the file read back. A
// hive that does not parse is never written.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/registry/registry.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    check(out.good());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every key and value below `key`, in the order enumeration gives them.
void dumpKey(const registry::Key& key, std::string& out, int depth) {
    check(depth < 4096);
    out += "[" + key.path() + "]\n";
    std::vector<std::string> names;
    check(key.enumValues(names) == registry::ERROR_SUCCESS);
    for (const auto& name : names) {
        registry::Value value;
        check(key.queryValue(name, value) == registry::ERROR_SUCCESS);
        out += name + "\n" + std::to_string(value.type) + ":" + std::to_string(value.data.size()) + ":" + value.data + "\n";
        std::string text;
        const registry::LSTATUS status = key.queryString(name, text);
        check(status == (value.type == registry::REG_SZ || value.type == registry::REG_EXPAND_SZ
                             ? registry::ERROR_SUCCESS
                             : registry::ERROR_UNSUPPORTED_TYPE));
        uint32_t number = 0;
        check(key.queryDword(name, number) ==
              (value.data.size() > 4 ? registry::ERROR_MORE_DATA : registry::ERROR_SUCCESS));
    }
    names.clear();
    check(key.enumSubKeys(names) == registry::ERROR_SUCCESS);
    for (const auto& name : names) {
        registry::Key child;
        check(key.openSubKey(name, registry::KEY_READ, child) == registry::ERROR_SUCCESS);
        dumpKey(child, out, depth + 1);
    }
}

std::string dump(registry::Hive& hive) {
    std::string out;
    for (const registry::Root root : {registry::Root::LocalMachine, registry::Root::CurrentUser}) {
        registry::Key key;
        check(hive.openKey(root, "", registry::KEY_READ, key) == registry::ERROR_SUCCESS);
        dumpKey(key, out, 0);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-fuzz-XXXXXX").string();
        return std::filesystem::path(mkdtemp(pattern.data()));
    }();
    const std::filesystem::path first = folder / "first.reg";
    const std::filesystem::path second = folder / "second.reg";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    writeFile(first, bytes);

    std::string shown;
    std::string exported;
    {
        registry::Hive hive(first);
        shown = dump(hive);
        exported = hive.exportText();
        registry::Key key;
        const registry::LSTATUS status =
            hive.createKey(registry::Root::CurrentUser, "Software\\Fuzz", registry::KEY_ALL_ACCESS, key);
        if (hive.parseError()) {
            check(status == registry::ERROR_REGISTRY_CORRUPT);
            check(readFile(first) == bytes);
            return 0;
        }
        check(status == registry::ERROR_SUCCESS);
        check(key.setDword("written", 7) == registry::ERROR_SUCCESS);
    }

    // The export reads back as the same hive.
    writeFile(second, exported);
    {
        registry::Hive reloaded(second);
        check(!reloaded.parseError());
        check(dump(reloaded) == shown);
        check(reloaded.exportText() == exported);
    }

    // The written file holds what was there and the change.
    {
        registry::Hive reread(first);
        check(!reread.parseError());
        registry::Key key;
        check(reread.openKey(registry::Root::CurrentUser, "Software\\Fuzz", registry::KEY_READ, key) ==
              registry::ERROR_SUCCESS);
        uint32_t number = 0;
        check(key.queryDword("written", number) == registry::ERROR_SUCCESS && number == 7);
        check(key.deleteValue("written") == registry::ERROR_ACCESS_DENIED);
        registry::Key writable;
        check(reread.openKey(registry::Root::CurrentUser, "Software\\Fuzz", registry::KEY_ALL_ACCESS, writable) ==
              registry::ERROR_SUCCESS);
        check(writable.deleteValue("written") == registry::ERROR_SUCCESS);
        registry::Hive after(first);
        registry::Key again;
        check(after.openKey(registry::Root::CurrentUser, "Software\\Fuzz", registry::KEY_READ, again) ==
              registry::ERROR_SUCCESS);
        check(again.queryDword("written", number) == registry::ERROR_FILE_NOT_FOUND);
    }
    return 0;
}
