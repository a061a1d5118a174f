// The process-wide locks, built on first use, and the device mutex.
#include "core/locks.h"

#include <new>

namespace dorvane {

namespace {

constexpr const char* kDeviceMutexName = "Global-KV-FTDI-Mutex";

struct ProcessLocks {
    platform::Lock api;
    platform::Lock error;
    platform::Lock table;
};

// The locks live in static storage and are built on first use (normally by the library's
// load object, before any host call), so that no other static initialiser can find them unbuilt.
struct LockStorage {
    alignas(ProcessLocks) unsigned char bytes[sizeof(ProcessLocks)];
    ProcessLocks* locks;
    LockStorage() : locks(new (bytes) ProcessLocks) {}
};

// Made on first use, its handle open until the library unloads (releaseDeviceMutex).
platform::NamedMutex*& deviceMutexSlot() {
    static platform::NamedMutex* mutex = new platform::NamedMutex(kDeviceMutexName);
    return mutex;
}

ProcessLocks& processLocks() {
    static LockStorage storage;   // trivially destructible: unload decides about the locks
    return *storage.locks;
}

}  // namespace

platform::Lock& apiLock() { return processLocks().api; }
platform::Lock& errorLock() { return processLocks().error; }
platform::Lock& tableLock() { return processLocks().table; }

platform::NamedMutex& deviceMutex() { return *deviceMutexSlot(); }

void releaseDeviceMutex() {
    platform::NamedMutex*& mutex = deviceMutexSlot();
    delete mutex;
    mutex = nullptr;
}

void destroyProcessLocks() { processLocks().~ProcessLocks(); }

}  // namespace dorvane
