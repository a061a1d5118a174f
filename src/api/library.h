// Process-wide state set up when the library is loaded: the four process locks, the
// cross-process device mutex and the KCF directory.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace dorvane {

// The plain layer's lock, held around every plain-layer export.
platform::Lock& apiLock();
// Guards the process-wide last-error slot; taken last, for one load or store.
platform::Lock& errorLock();
// Guards the handle table.
platform::Lock& tableLock();
// Guards the suspend store's cached path; taken alone.
platform::Lock& storePathLock();
// "Global-KV-FTDI-Mutex": held while FTDI devices are listed and opened, so that two
// processes never do that at the same time.
platform::NamedMutex& deviceMutex();

// The KCF directory the library starts with: "KCFDIR" (with a separator appended when it
// has none) or the directory of the library's own file, or "" (the current directory).
// kcfDirectory() holds the result after load; tests may recompute it after changing "KCFDIR".
std::string initialKcfDirectory();

// Number of controllers whose contexts are still in the handle table (api/handles.cpp).
uint32_t openContextCount();

}  // namespace dorvane
