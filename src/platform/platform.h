// The platform layer: every OS call of the library lives behind this header
// (platform_posix.cpp on Linux, platform_win32.cpp on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dorvane::platform {

// A lock that behaves like a Win32 critical section: recursive, owned by a thread.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock();
    bool tryLock();
    void unlock();
    // Polls tryLock with yields; timeoutMs 0 waits without limit. True when taken.
    bool lockFor(uint32_t timeoutMs);
private:
    alignas(16) unsigned char storage_[64];
};

class LockGuard {
public:
    explicit LockGuard(Lock& l) : lock_(l) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
private:
    Lock& lock_;
};

// Auto-reset event. On POSIX its native form is D2XX's EVENT_HANDLE layout
// (condition variable, its mutex, a flag), on Windows an event HANDLE, so the
// object can be handed to FT_SetEventNotification unchanged.
class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    bool valid() const;
    bool set();
    // Waits until set (timeoutMs 0xFFFFFFFF = no limit). Returns 1 signalled, 0 timed out, -1 failure.
    int wait(uint32_t timeoutMs);
    void* nativeHandle();
private:
    alignas(16) unsigned char storage_[128];
};

// A joinable thread running fn(arg).
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    bool start(void (*fn)(void*), void* arg);
    void join();
    bool joinable() const { return started_; }
private:
    bool started_ = false;
    alignas(16) unsigned char storage_[16];
};

uint32_t millisecondTimer();   // like timeGetTime: wraps after ~49 days
void yieldProcessor();         // Sleep(0)
void sleepMs(uint32_t ms);

// The cross-process mutex "Global-KV-FTDI-Mutex" (POSIX: an flock'ed lock file, released
// when its holder dies, plus an in-process mutex).
class NamedMutex {
public:
    explicit NamedMutex(const char* name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    bool valid() const;
    bool lock();
    void unlock();
private:
    void* impl_ = nullptr;
};

// Environment, files, module path.
bool getEnv(const char* name, std::string& value);   // false when not set
bool setEnv(const char* name, const char* value);    // value null removes it
std::string modulePath();                            // full path of the library's own file, "" if unknown
std::string normalisePath(const std::string& path);  // "\" as a separator on POSIX
bool fileExists(const std::string& path);
bool fileReadable(const std::string& path);
bool directoryExists(const std::string& path);
bool createDirectory(const std::string& path);       // creates missing parents; true if it exists afterwards
std::string machineDataDirectory();                  // ALLUSERSPROFILE, or the POSIX stand-in

// Dynamic libraries.
void* loadLibrary(const char* path);
void* librarySymbol(void* library, const char* name);
void freeLibrary(void* library);

// INI profile functions with the Windows rules: case-insensitive section and key names,
// blanks trimmed, enclosing quotes removed, missing = def. Returns the length copied.
uint32_t getProfileString(const char* section, const char* key, const char* def,
                          char* out, uint32_t outSize, const char* file);
bool writeProfileString(const char* section, const char* key /* null deletes the section */,
                        const char* value /* null deletes the key */, const char* file);
// Checksummed structure: bytes as upper-case hex plus one checksum byte (sum mod 256).
bool getProfileStruct(const char* section, const char* key, void* data, uint32_t size, const char* file);
bool writeProfileStruct(const char* section, const char* key, const void* data, uint32_t size, const char* file);

}  // namespace dorvane::platform
