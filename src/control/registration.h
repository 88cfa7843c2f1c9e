// What the module writes to the registry when it registers itself, and takes
// away again: the registrar script's entries and the type library's.
#pragma once

#include <string>

#include "platform/com/com.h"
#include "platform/registry/registry.h"

namespace qm {

HRESULT registerServer(registry::Hive& hive, const std::string& modulePath, std::string* error = nullptr);
HRESULT unregisterServer(registry::Hive& hive, const std::string& modulePath, std::string* error = nullptr);

}  // namespace qm
