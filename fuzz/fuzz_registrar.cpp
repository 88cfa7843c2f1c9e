// The registrar on any script, against a hive in a temporary folder.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "control/registrar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-fuzz-XXXXXX").string();
        return std::filesystem::path(mkdtemp(pattern.data()));
    }();
    std::filesystem::remove(folder / "registry.reg");
    registry::Hive hive(folder / "registry.reg");
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    (void)qm::runRegistrar(hive, script, {{"MODULE", "/m.so"}}, qm::RegistrarAction::Register);
    (void)qm::runRegistrar(hive, script, {{"MODULE", "/m.so"}}, qm::RegistrarAction::Unregister);
    return 0;
}
