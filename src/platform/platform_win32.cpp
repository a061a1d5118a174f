// The platform layer on Windows (32-bit Dorvane.dll; the 64-bit build runs the tests).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
#include <process.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace dorvane::platform {

// ---------------------------------------------------------------------------------------------
// Lock: a critical section with a spin count of 4000 (short holds are the rule).

namespace {

CRITICAL_SECTION& section(unsigned char* storage) { return *std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage)); }

}  // namespace

static_assert(sizeof(CRITICAL_SECTION) <= 64, "Lock storage too small");

Lock::Lock() {
    auto* cs = new (storage_) CRITICAL_SECTION;
    InitializeCriticalSectionAndSpinCount(cs, 4000);
}

Lock::~Lock() {
    // A section still held by the deleting thread is simply deleted, as Windows allows.
    DeleteCriticalSection(&section(storage_));
}

void Lock::lock() { EnterCriticalSection(&section(storage_)); }

bool Lock::tryLock() { return TryEnterCriticalSection(&section(storage_)) != 0; }

void Lock::unlock() {
    CRITICAL_SECTION& cs = section(storage_);
    // Leaving a section the thread does not own corrupts it; ignore such a call instead.
    if (reinterpret_cast<DWORD_PTR>(cs.OwningThread) != static_cast<DWORD_PTR>(GetCurrentThreadId())) return;
    LeaveCriticalSection(&cs);
}

bool Lock::lockFor(uint32_t timeoutMs) {
    if (timeoutMs == 0) {
        lock();
        return true;
    }
    const uint32_t start = millisecondTimer();
    while (!tryLock()) {
        if (millisecondTimer() - start > timeoutMs) return false;
        yieldProcessor();
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Event: an auto-reset event object; its HANDLE is what FT_SetEventNotification takes.

namespace {

HANDLE& eventHandle(unsigned char* storage) { return *std::launder(reinterpret_cast<HANDLE*>(storage)); }

}  // namespace

Event::Event() { new (storage_) HANDLE(CreateEventA(nullptr, FALSE, FALSE, nullptr)); }

Event::~Event() {
    if (HANDLE h = eventHandle(storage_)) CloseHandle(h);
}

bool Event::valid() const { return *std::launder(reinterpret_cast<const HANDLE*>(storage_)) != nullptr; }

bool Event::set() {
    HANDLE h = eventHandle(storage_);
    return h && SetEvent(h) != 0;
}

int Event::wait(uint32_t timeoutMs) {
    HANDLE h = eventHandle(storage_);
    if (!h) return -1;
    switch (WaitForSingleObject(h, timeoutMs == 0xFFFFFFFFu ? INFINITE : timeoutMs)) {
    case WAIT_OBJECT_0: return 1;
    case WAIT_TIMEOUT: return 0;
    default: return -1;
    }
}

void* Event::nativeHandle() { return eventHandle(storage_); }

// ---------------------------------------------------------------------------------------------
// Thread: started through the C runtime, as a thread that uses the runtime must be.

namespace {

struct ThreadImpl {
    HANDLE handle;
    void (*fn)(void*);
    void* arg;
    HMODULE module;   // the reference the thread holds on the module of its code
};
static_assert(sizeof(ThreadImpl) <= 32, "Thread storage too small");

unsigned __stdcall threadEntry(void* p) {
    auto* t = static_cast<ThreadImpl*>(p);
    const HMODULE module = t->module;
    t->fn(t->arg);
    // Drops the thread's reference only once it is out of the module's code.
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

Thread::~Thread() { join(); }

bool Thread::start(void (*fn)(void*), void* arg) {
    if (started_ || !fn) return false;
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&threadEntry), &module))
        return false;
    auto* t = new (storage_) ThreadImpl{nullptr, fn, arg, module};
    const uintptr_t h = _beginthreadex(nullptr, 0, threadEntry, t, 0, nullptr);
    if (h == 0) {
        FreeLibrary(module);
        return false;
    }
    t->handle = reinterpret_cast<HANDLE>(h);
    started_ = true;
    return true;
}

void Thread::join() {
    if (!started_) return;
    auto* t = std::launder(reinterpret_cast<ThreadImpl*>(storage_));
    if (GetThreadId(t->handle) != GetCurrentThreadId()) WaitForSingleObject(t->handle, INFINITE);   // never wait for itself
    CloseHandle(t->handle);
    started_ = false;
}

// ---------------------------------------------------------------------------------------------
// Time

uint32_t millisecondTimer() { return timeGetTime(); }

void yieldProcessor() { Sleep(0); }

void sleepMs(uint32_t ms) { Sleep(ms); }

// ---------------------------------------------------------------------------------------------
// NamedMutex: a Win32 mutex, recursive and owned by a thread; WAIT_ABANDONED (the previous
// holder died) hands it over like a normal release.

NamedMutex::NamedMutex(const char* name) {
    if (name && *name) impl_ = CreateMutexA(nullptr, FALSE, name);
}

NamedMutex::~NamedMutex() {
    if (impl_) CloseHandle(static_cast<HANDLE>(impl_));
}

bool NamedMutex::valid() const { return impl_ != nullptr; }

bool NamedMutex::lock() { return lockFor(0xFFFFFFFFu); }

bool NamedMutex::lockFor(uint32_t timeoutMs) {
    if (!impl_) return false;
    const DWORD r = WaitForSingleObject(static_cast<HANDLE>(impl_), timeoutMs == 0xFFFFFFFFu ? INFINITE : timeoutMs);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void NamedMutex::unlock() {
    if (impl_) ReleaseMutex(static_cast<HANDLE>(impl_));
}

// ---------------------------------------------------------------------------------------------
// Environment, paths, files. Values are read from the process environment block,
// so child processes and the Win32 calls see the same values.

bool getEnv(const char* name, std::string& value) {
    if (!name || !*name) return false;
    SetLastError(0);
    DWORD n = GetEnvironmentVariableA(name, nullptr, 0);
    if (n == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        value.clear();
        return true;
    }
    std::string buf(n, '\0');
    n = GetEnvironmentVariableA(name, buf.data(), static_cast<DWORD>(buf.size()));
    if (n >= buf.size()) return false;   // changed in between; treat as unreadable
    buf.resize(n);
    value = buf;
    return true;
}

bool setEnv(const char* name, const char* value) {
    if (!name || !*name || std::strchr(name, '=')) return false;
    // The C runtime keeps its own copy for getenv (shared by every module on msvcrt.dll);
    // keep it in step, then set the process block (which also holds empty values).
    _putenv_s(name, value ? value : "");
    return SetEnvironmentVariableA(name, value) != 0;
}

namespace {

std::string moduleFileName(HMODULE module) {
    std::string buf(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(module, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return "";
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        if (buf.size() >= 32768) return "";
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

std::string modulePath() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&modulePath), &self)) {
        return "";
    }
    return moduleFileName(self);
}

std::string executablePath() { return moduleFileName(nullptr); }

namespace {
UnloadKind g_unloadKind = UnloadKind::MayWait;
}  // namespace

UnloadKind unloadKind() { return g_unloadKind; }

std::string normalisePath(const std::string& path) { return path; }

bool fileExists(const std::string& path) {
    return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool fileReadable(const std::string& path) {
    if (path.empty()) return false;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;   // directories do not open this way either
    CloseHandle(h);
    return true;
}

bool directoryExists(const std::string& path) {
    if (path.empty()) return false;
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool createDirectory(const std::string& path) {
    if (path.empty()) return false;
    if (directoryExists(path)) return true;
    // Make each missing component in turn; drive roots ("C:\") and UNC heads simply exist or not.
    for (size_t pos = path.find_first_of("\\/", 0);; pos = path.find_first_of("\\/", pos + 1)) {
        const std::string part = pos == std::string::npos ? path : path.substr(0, pos);
        const bool isRoot = part.empty() || part.back() == ':' || part.back() == '\\' || part.back() == '/';
        if (!isRoot && !directoryExists(part)) {
            if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                // Components of a UNC share name cannot be created; go on and see.
                if (pos == std::string::npos) return false;
            }
        }
        if (pos == std::string::npos) break;
    }
    return directoryExists(path);
}

std::string machineDataDirectory() {
    std::string dir;
    if (getEnv("ALLUSERSPROFILE", dir) && !dir.empty()) return dir;
    return "";
}

bool removeFile(const std::string& path) {
    if (path.empty()) return false;
    if (DeleteFileA(path.c_str())) return true;
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

bool readFile(const std::string& path, std::string& contents) {
    if (path.empty()) return false;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // Closed on every way out, a failed allocation included: a handle left open would block every
    // later replacement of the file.
    const std::unique_ptr<void, decltype(&CloseHandle)> closer(h, &CloseHandle);
    std::string data;
    char buf[65536];
    bool ok = true;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0) break;
        data.append(buf, n);
    }
    if (ok) contents.swap(data);
    return ok;
}

bool replaceFile(const std::string& path, const std::string& contents) {
    if (path.empty() || directoryExists(path)) return false;
    const std::string tmp = path + ".tmp" + std::to_string(GetCurrentProcessId());
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    size_t done = 0;
    bool ok = true;
    while (done < contents.size()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 20));
        if (!WriteFile(h, contents.data() + done, chunk, &n, nullptr) || n == 0) {
            ok = false;
            break;
        }
        done += n;
    }
    if (!CloseHandle(h)) ok = false;
    if (ok) {
        // A reader holding the file open without delete sharing blocks the replacement for a
        // moment; try again briefly before giving up.
        ok = false;
        for (int attempt = 0; attempt < 200 && !ok; ++attempt) {
            ok = MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
            if (!ok) Sleep(1);
        }
    }
    if (!ok) DeleteFileA(tmp.c_str());
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Child processes

namespace {

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
void appendArgument(std::string& cmd, const std::string& arg) {
    if (!cmd.empty()) cmd += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        cmd += arg;
        return;
    }
    cmd += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') cmd.append(backslashes * 2 + 1, '\\');
        else cmd.append(backslashes, '\\');
        backslashes = 0;
        cmd += c;
    }
    cmd.append(backslashes * 2, '\\');
    cmd += '"';
}

}  // namespace

Process::~Process() {
    if (!impl_) return;
    HANDLE h = static_cast<HANDLE>(impl_);
    if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) {
        TerminateProcess(h, 137);
        WaitForSingleObject(h, INFINITE);
    }
    CloseHandle(h);
}

bool Process::start(const std::string& program, const std::vector<std::string>& args) {
    if (impl_ || program.empty()) return false;
    std::string cmd;
    appendArgument(cmd, program);
    for (const auto& a : args) appendArgument(cmd, a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    impl_ = pi.hProcess;
    return true;
}

bool Process::wait(uint32_t timeoutMs, int& exitCode) {
    if (!impl_) return false;
    HANDLE h = static_cast<HANDLE>(impl_);
    if (WaitForSingleObject(h, timeoutMs == 0xFFFFFFFFu ? INFINITE : timeoutMs) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(h, &code)) return false;
    exitCode = static_cast<int>(code);
    return true;
}

void Process::kill() {
    if (impl_) TerminateProcess(static_cast<HANDLE>(impl_), 137);
}

void Process::stop() { kill(); }

// ---------------------------------------------------------------------------------------------
// Dynamic libraries

void* loadLibrary(const char* path) {
    if (!path || !*path) return nullptr;
    return reinterpret_cast<void*>(LoadLibraryA(path));
}

void* librarySymbol(void* library, const char* name) {
    if (!library || !name) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void freeLibrary(void* library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace dorvane::platform

// The runtime calls this before it runs the library's static destructors at detach; it records
// why we are unloaded for the unload work (unloadKind). In a program the library's code is
// linked into, it is never called.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) {
        dorvane::platform::g_unloadKind =
            reserved ? dorvane::platform::UnloadKind::ProcessExit : dorvane::platform::UnloadKind::LoaderLock;
    }
    return TRUE;
}
