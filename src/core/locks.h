// The process-wide locks and the cross-process device mutex.
#pragma once

#include "platform/platform.h"

namespace dorvane {

// The plain layer's lock, held around every plain-layer export.
platform::Lock& apiLock();
// Guards the process-wide last-error slot; taken last, for one load or store.
platform::Lock& errorLock();
// Guards the handle table.
platform::Lock& tableLock();
// "Global-KV-FTDI-Mutex": held while FTDI devices are listed and opened, so that two
// processes never do that at the same time.
platform::NamedMutex& deviceMutex();
// Closes the device mutex; only at unload.
void releaseDeviceMutex();

// Ends the three process locks; only at unload, when no controller is open any more.
void destroyProcessLocks();

}  // namespace dorvane
