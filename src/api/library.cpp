// What happens when the library is loaded and unloaded.
//
// A static object of this file does the load work, so the same code serves a DLL (the
// runtime runs it at process attach) and an ELF shared object (run by the loader).
#include "api/library.h"

#include "config/config.h"
#include "core/context.h"
#include "core/locks.h"
#include "transport/driver_providers.h"
#include "transport/transport.h"

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
        // At process exit on Windows the other threads are gone, perhaps holding our locks or
        // in the middle of a call: nothing of ours may be touched.
        const platform::UnloadKind kind = platform::unloadKind();
        if (kind == platform::UnloadKind::ProcessExit) return;
        // A thread that ended inside the library may have left tableLock held: never wait
        // for it here.
        if (!tableLock().tryLock()) return;
        tableLock().unlock();
        // Under the loader lock (FreeLibrary on Windows) no thread may be waited for, and a
        // driver's close may wait for its own threads. No receive thread is left in our code
        // then (each holds a reference on the module until it ends), so what is still open
        // belongs to controllers whose threads ended on a failure: their contexts and devices
        // are left as they are, a leak rather than a hang in the loader.
        if (kind == platform::UnloadKind::MayWait) closeOpenControllers();
        // With every controller gone, what the library made for the life of its mapping goes
        // too, so nothing outlives the code that owns it.
        if (!releaseHandleTable()) return;
        transport::releaseDrivers();
        releaseDeviceMutex();
        destroyProcessLocks();
    }

private:
    // Ends every controller still open, as a close would: its receive thread stopped and
    // joined (its code goes with the library), its device closed, its context freed. One busy
    // in a call of another thread is left open, and with it the locks.
    static void closeOpenControllers() {
        const uint32_t limit = handleLimit();
        for (uint32_t handle = 1; handle < limit; ++handle) {
            KpxContext* ctx = lookupContext(handle, 0);
            if (!ctx) continue;
            stopReceiveThread(ctx);
            closeDevice(ctx);
            releaseController(ctx, handle);
        }
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
