// The platform layer: every OS call of the library lives behind this header
// (platform_posix.cpp on Linux, platform_win32.cpp on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    // Waits up to timeoutMs for the lock (0: without limit). True when taken.
    bool lockFor(uint32_t timeoutMs);
private:
    alignas(16) unsigned char storage_[64];
};

// Tag: the guard takes over a lock already held (after tryLock or lockFor).
struct AdoptLock {};
inline constexpr AdoptLock adoptLock{};

class LockGuard {
public:
    explicit LockGuard(Lock& l) : lock_(l) { lock_.lock(); }
    LockGuard(Lock& l, AdoptLock) : lock_(l) {}
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
    // False if already started or the OS refused. Windows: the thread keeps the module of its
    // code loaded until it ends.
    bool start(void (*fn)(void*), void* arg);
    void join();   // the destructor joins a thread still running; from the thread itself, detaches
    bool joinable() const { return started_; }
private:
    bool started_ = false;
    alignas(16) unsigned char storage_[32];
};

uint32_t millisecondTimer();   // like timeGetTime: wraps after ~49 days
void yieldProcessor();         // Sleep(0)
void sleepMs(uint32_t ms);

// A mutex shared by the processes of one user login, such as "Global-KV-FTDI-Mutex".
// Owned by a thread and recursive, like a Win32 mutex; a holder that dies releases it.
// Windows: CreateMutexA with the name as given. POSIX: an flock'ed file
// /tmp/dorvane-<uid>/<name>.lock (directory mode 0700) plus an in-process recursive mutex
// shared by every NamedMutex of the same name in the process.
class NamedMutex {
public:
    explicit NamedMutex(const char* name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    bool valid() const;
    bool lock();                        // waits without limit; false if the mutex is unusable
    bool lockFor(uint32_t timeoutMs);   // false when another thread or process kept it that long
    void unlock();
private:
    void* impl_ = nullptr;
};

// Holds a named mutex for its scope; an unusable mutex is not held (and not left).
class NamedMutexGuard {
public:
    explicit NamedMutexGuard(NamedMutex& m) : mutex_(m.lock() ? &m : nullptr) {}
    ~NamedMutexGuard() { if (mutex_) mutex_->unlock(); }
    NamedMutexGuard(const NamedMutexGuard&) = delete;
    NamedMutexGuard& operator=(const NamedMutexGuard&) = delete;
private:
    NamedMutex* mutex_;
};

// Environment, files, module path. Every function taking a path accepts "\" as a separator on
// POSIX too, so paths formed the Windows way ("%s\Quillon") work unchanged.
bool getEnv(const char* name, std::string& value);   // false when not set
bool setEnv(const char* name, const char* value);    // value null removes it
std::string modulePath();                            // full path of the library's own file, "" if unknown
std::string executablePath();                        // full path of the running program, "" if unknown
std::string normalisePath(const std::string& path);  // POSIX: "\" becomes "/"; Windows: unchanged
bool fileExists(const std::string& path);            // anything (file or directory) exists there
bool fileReadable(const std::string& path);          // a file (not a directory) that opens for reading
bool directoryExists(const std::string& path);
bool createDirectory(const std::string& path);       // creates missing parents; true if it exists afterwards
// The machine-wide data directory: "ALLUSERSPROFILE" when set. Without it, on POSIX, "/var/tmp"
// (kept across reboots, writable by every user); directories that createDirectory makes below it
// get mode 0777 so that every user of the machine can share what is stored there. On Windows
// without the variable: "".
std::string machineDataDirectory();
bool removeFile(const std::string& path);            // true if no file is there afterwards
bool readFile(const std::string& path, std::string& contents);
// Replaces the file's contents as a whole (written beside it, then renamed over it), so a
// concurrent reader sees either the old or the new contents.
bool replaceFile(const std::string& path, const std::string& contents);

// A child process (tests and tools use it for a second process sharing the store or the
// named mutex). It inherits the environment; the destructor kills one still running.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    bool start(const std::string& program, const std::vector<std::string>& args);
    // Waits up to timeoutMs (0xFFFFFFFF = no limit); true with the exit code once it ended.
    bool wait(uint32_t timeoutMs, int& exitCode);
    void kill();   // ends it at once, as a crash would
    void stop();   // asks it to end: SIGTERM on POSIX; on Windows the same as kill()
private:
    void* impl_ = nullptr;
};

// Dynamic libraries.
void* loadLibrary(const char* path);
void* librarySymbol(void* library, const char* name);
void freeLibrary(void* library);

// What the library's unload work may do, asked while the library is being unloaded.
// POSIX: the other threads still run and may be stopped and waited for (dlclose, or exit()).
// Windows: at process exit the other threads are already gone, perhaps in the middle of a call
// (ProcessExit: touch nothing); at FreeLibrary the loader lock is held, so no thread may be
// waited for (LoaderLock). Threads started through Thread hold a reference on the module that
// contains their code until they end, so FreeLibrary never unloads the code under one of them.
enum class UnloadKind { MayWait, ProcessExit, LoaderLock };
UnloadKind unloadKind();

// INI profile functions with the rules of Windows' private-profile calls, one implementation
// for both platforms (ini.cpp): section and key names match without regard to case, blanks
// around names and values are trimmed, quotes ('...' or "...") enclosing a whole value are
// removed, and a missing file, section or key (or a key line without "=") reads as def, whose
// trailing blanks are removed. The value is truncated to outSize - 1 characters and always
// terminated; returns the length copied. Lines end in CR LF or LF; a UTF-8 byte order mark is
// skipped. Names in the file are used as given: relative paths are relative to the current
// directory (Windows would look in its own directory).
uint32_t getProfileString(const char* section, const char* key, const char* def,
                          char* out, uint32_t outSize, const char* file);
// Writes key=value into section (both created at the end when missing; the file too, not its
// directory). Other lines, comments and blank lines stay as they are; new lines end in CR LF.
bool writeProfileString(const char* section, const char* key /* null deletes the section */,
                        const char* value /* null deletes the key */, const char* file);
// Checksummed structure: the bytes as upper-case hex plus one checksum byte (sum of the bytes
// mod 256). Reading accepts either case; a value of another length, with a non-hex digit or a
// wrong checksum reads as missing (false, data untouched). Writing with key null deletes the
// section, with data null deletes the key (size is then ignored).
bool getProfileStruct(const char* section, const char* key, void* data, uint32_t size, const char* file);
bool writeProfileStruct(const char* section, const char* key, const void* data, uint32_t size, const char* file);

}  // namespace dorvane::platform
