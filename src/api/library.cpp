// What happens when the library is loaded and unloaded.
//
// A static object of this file does the load work, so the same code serves a DLL (the
// runtime runs it at process attach) and an ELF shared object (run by the loader).
#include "api/library.h"

#include "config/config.h"
#include "core/context.h"
#include "core/locks.h"

namespace dorvane {

namespace {

constexpr size_t kKcfDirectorySize = 1024;   // including the terminator

struct LibraryLifetime {
    LibraryLifetime() {
        tableLock();   // builds the process locks before any host call
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
        bool idle;
        {
            platform::LockGuard held(tableLock(), platform::adoptLock);
            idle = openContextCount() == 0;
        }
        if (idle) destroyProcessLocks();
    }
};

const LibraryLifetime g_lifetime;

}  // namespace

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
