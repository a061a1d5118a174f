// What happens when the library is loaded and unloaded.
//
// A static object of this file does the load work, so the same code serves a DLL (the
// runtime runs it at process attach) and an ELF shared object (run by the loader).
#include "api/library.h"

#include <new>

#include "config/config.h"

namespace dorvane {

namespace {

constexpr const char* kDeviceMutexName = "Global-KV-FTDI-Mutex";
constexpr size_t kKcfDirectorySize = 1024;   // including the terminator

struct ProcessLocks {
    platform::Lock api;
    platform::Lock error;
    platform::Lock table;
    platform::Lock storePath;
};

// The locks live in static storage and are built on first use (normally by the load object
// below, before any host call), so that no other static initialiser can find them unbuilt.
struct LockStorage {
    alignas(ProcessLocks) unsigned char bytes[sizeof(ProcessLocks)];
    ProcessLocks* locks;
    LockStorage() : locks(new (bytes) ProcessLocks) {}
};

ProcessLocks& processLocks() {
    static LockStorage storage;   // trivially destructible: unload decides about the locks
    return *storage.locks;
}

struct LibraryLifetime {
    LibraryLifetime() {
        processLocks();
        deviceMutex();   // a failure to create it has no consequence here
        setKcfDirectory(initialKcfDirectory());
    }
    ~LibraryLifetime() {
        // Open controllers are not closed at unload. While one is still open its receive
        // thread may still be running (a POSIX process runs this before its other threads
        // end) and may still record errors, so the locks are then left in place.
        // A thread that ended inside the library may have left tableLock held: never wait
        // for it here.
        if (!tableLock().tryLock()) return;
        bool idle = openContextCount() == 0;
        tableLock().unlock();
        if (idle) processLocks().~ProcessLocks();
    }
};

const LibraryLifetime g_lifetime;

}  // namespace

platform::Lock& apiLock() { return processLocks().api; }
platform::Lock& errorLock() { return processLocks().error; }
platform::Lock& tableLock() { return processLocks().table; }
platform::Lock& storePathLock() { return processLocks().storePath; }

platform::NamedMutex& deviceMutex() {
    // Its handle stays open for the life of the process.
    static platform::NamedMutex* mutex = new platform::NamedMutex(kDeviceMutexName);
    return *mutex;
}

std::string initialKcfDirectory() {
    std::string dir;
    // An empty "KCFDIR" would otherwise name the root directory; one too long for the
    // directory buffer is not used either. Both fall back to the library's directory.
    if (platform::getEnv("KCFDIR", dir) && !dir.empty()) {
        if (dir.back() != '/' && dir.back() != '\\') dir += '\\';
        if (dir.size() < kKcfDirectorySize) return dir;
    }
    std::string path = platform::modulePath();
    if (path.empty() || path.size() >= kKcfDirectorySize) return "";
    size_t cut = path.find_last_of("\\/:");
    if (cut == std::string::npos) return "";
    return path.substr(0, cut + 1);
}

}  // namespace dorvane
