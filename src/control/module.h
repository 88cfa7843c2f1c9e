// Module-wide state: the lock count that keeps the module loaded while an
// object or a class-factory lock is alive, and the module's own path.
#pragma once

#include <string>

namespace qm {

void lockModule();
void unlockModule();
long moduleLockCount();

// The absolute path of the loaded module (libquillmark.so), as the registry
// names it.
std::string modulePath();

}  // namespace qm
