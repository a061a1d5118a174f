// The platform layer on POSIX systems (Linux first; nothing here is Linux-only except the
// /proc/self/exe fallback of executablePath).
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace dorvane::platform {

// ---------------------------------------------------------------------------------------------
// Lock: a recursive pthread mutex. Owner and depth are kept so that a lock still held by the
// destroying thread (a context released by the thread that holds its lock) is left first.

namespace {

struct LockImpl {
    pthread_mutex_t mutex;
    std::atomic<std::thread::id> owner{};
    uint32_t depth = 0;   // touched only by the owner
};
static_assert(sizeof(LockImpl) <= 64, "Lock storage too small");

LockImpl& lockImpl(unsigned char* storage) { return *std::launder(reinterpret_cast<LockImpl*>(storage)); }

void noteTaken(LockImpl& l) {
    if (l.depth++ == 0) l.owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

}  // namespace

Lock::Lock() {
    auto* l = new (storage_) LockImpl;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&l->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

Lock::~Lock() {
    LockImpl& l = lockImpl(storage_);
    if (l.owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        while (l.depth > 0) unlock();
    }
    pthread_mutex_destroy(&l.mutex);
    l.~LockImpl();
}

void Lock::lock() {
    LockImpl& l = lockImpl(storage_);
    pthread_mutex_lock(&l.mutex);
    noteTaken(l);
}

bool Lock::tryLock() {
    LockImpl& l = lockImpl(storage_);
    if (pthread_mutex_trylock(&l.mutex) != 0) return false;
    noteTaken(l);
    return true;
}

void Lock::unlock() {
    LockImpl& l = lockImpl(storage_);
    if (l.owner.load(std::memory_order_relaxed) != std::this_thread::get_id() || l.depth == 0) return;
    if (--l.depth == 0) l.owner.store(std::thread::id(), std::memory_order_relaxed);
    pthread_mutex_unlock(&l.mutex);
}

namespace {
// The time on the given clock timeoutMs from now, as the timed pthread waits take it.
timespec deadlineAfter(clockid_t clock, uint32_t timeoutMs) {
    timespec t{};
    clock_gettime(clock, &t);
    t.tv_sec += timeoutMs / 1000;
    t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}
}  // namespace

bool Lock::lockFor(uint32_t timeoutMs) {
    if (timeoutMs == 0) {
        lock();
        return true;
    }
    if (tryLock()) return true;
    // Blocks in the kernel until the holder leaves or the time is up (timedlock takes a
    // wall-clock deadline; it is the form ThreadSanitizer knows).
    const timespec deadline = deadlineAfter(CLOCK_REALTIME, timeoutMs);
    LockImpl& l = lockImpl(storage_);
    if (pthread_mutex_timedlock(&l.mutex, &deadline) != 0) return false;
    noteTaken(l);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Event: D2XX-for-Linux's EVENT_HANDLE at the start of the storage, so a D2XX library can signal
// it (it locks eMutex, sets iVar and signals eCondVar; a library that only signals the
// condition works too, because a wake-up counts as the event being set).

namespace {

struct EventHandle {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};
struct EventImpl {
    EventHandle handle;
    bool ok;
};
static_assert(sizeof(EventImpl) <= 128, "Event storage too small");
static_assert(offsetof(EventImpl, handle) == 0, "the native handle must start the storage");

EventImpl& eventImpl(unsigned char* storage) { return *std::launder(reinterpret_cast<EventImpl*>(storage)); }

}  // namespace

Event::Event() {
    auto* e = new (storage_) EventImpl;
    e->handle.iVar = 0;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const bool condOk = pthread_cond_init(&e->handle.eCondVar, &attr) == 0;
    pthread_condattr_destroy(&attr);
    const bool mutexOk = pthread_mutex_init(&e->handle.eMutex, nullptr) == 0;
    e->ok = condOk && mutexOk;
}

Event::~Event() {
    EventImpl& e = eventImpl(storage_);
    pthread_cond_destroy(&e.handle.eCondVar);
    pthread_mutex_destroy(&e.handle.eMutex);
    e.~EventImpl();
}

bool Event::valid() const { return std::launder(reinterpret_cast<const EventImpl*>(storage_))->ok; }

bool Event::set() {
    EventImpl& e = eventImpl(storage_);
    if (!e.ok) return false;
    pthread_mutex_lock(&e.handle.eMutex);
    e.handle.iVar = 1;
    pthread_cond_signal(&e.handle.eCondVar);
    pthread_mutex_unlock(&e.handle.eMutex);
    return true;
}

int Event::wait(uint32_t timeoutMs) {
    EventImpl& e = eventImpl(storage_);
    if (!e.ok) return -1;
    const timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    int result = 1;
    pthread_mutex_lock(&e.handle.eMutex);
    if (!e.handle.iVar) {
        const int rc = timeoutMs == 0xFFFFFFFFu
                           ? pthread_cond_wait(&e.handle.eCondVar, &e.handle.eMutex)
                           : pthread_cond_timedwait(&e.handle.eCondVar, &e.handle.eMutex, &deadline);
        if (rc == ETIMEDOUT && !e.handle.iVar) result = 0;
        else if (rc != 0 && rc != ETIMEDOUT) result = -1;
    }
    if (result == 1) e.handle.iVar = 0;   // auto-reset
    pthread_mutex_unlock(&e.handle.eMutex);
    return result;
}

void* Event::nativeHandle() { return &eventImpl(storage_).handle; }

// ---------------------------------------------------------------------------------------------
// Thread

namespace {

struct ThreadImpl {
    pthread_t thread;
    void (*fn)(void*);
    void* arg;
};
static_assert(sizeof(ThreadImpl) <= 32, "Thread storage too small");

void* threadEntry(void* p) {
    auto* t = static_cast<ThreadImpl*>(p);
    t->fn(t->arg);
    return nullptr;
}

}  // namespace

Thread::~Thread() { join(); }

bool Thread::start(void (*fn)(void*), void* arg) {
    if (started_ || !fn) return false;
    auto* t = new (storage_) ThreadImpl{pthread_t{}, fn, arg};
    if (pthread_create(&t->thread, nullptr, threadEntry, t) != 0) return false;
    started_ = true;
    return true;
}

void Thread::join() {
    if (!started_) return;
    const pthread_t t = std::launder(reinterpret_cast<ThreadImpl*>(storage_))->thread;
    if (pthread_equal(t, pthread_self())) pthread_detach(t);   // a thread cannot wait for itself
    else pthread_join(t, nullptr);
    started_ = false;
}

// ---------------------------------------------------------------------------------------------
// Time

uint32_t millisecondTimer() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void yieldProcessor() { sched_yield(); }

void sleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------------------------
// NamedMutex: the lock file gives exclusion between processes (flock is dropped by the kernel
// when its holder dies); the in-process recursive mutex gives exclusion and recursion between
// threads, since flock knows only open files, not threads.

namespace {

struct NamedState {
    std::mutex m;
    std::condition_variable released;
    std::thread::id owner{};   // the thread holding the mutex, guarded by m
    uint32_t depth = 0;        // its recursion depth, guarded by m
    int fd = -1;
    uint32_t users = 0;        // guarded by the registry lock
};

std::mutex& registryLock() {
    static std::mutex m;
    return m;
}
// Guarded by the registry lock. Not a static object (it outlives static users); made with the
// first named mutex and freed with the last, so that nothing of it outlives the library.
std::map<std::string, NamedState*>* gRegistry = nullptr;

std::map<std::string, NamedState*>& registry() {
    if (!gRegistry) gRegistry = new std::map<std::string, NamedState*>;
    return *gRegistry;
}

struct NamedImpl {
    std::string name;
    NamedState* state;
};

std::string lockDirectory() {
    std::string dir = "/tmp/dorvane-" + std::to_string(static_cast<unsigned long>(getuid()));
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return "";
    struct stat st {};
    // Refuse a directory someone else prepared (or a symbolic link to one).
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return "";
    return dir;
}

std::string lockFileName(const std::string& name) {
    std::string safe;
    for (char c : name) safe += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    return safe + ".lock";
}

// Takes the file lock for a thread that has just claimed the state.
bool takeFileLock(NamedState& s, uint32_t timeoutMs, bool limited) {
    if (!limited) {
        while (flock(s.fd, LOCK_EX) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }
    const uint32_t start = millisecondTimer();
    for (;;) {
        if (flock(s.fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (millisecondTimer() - start > timeoutMs) return false;
        sleepMs(1);   // another process holds it: there is nothing to spin on
    }
}

bool acquire(NamedState& s, bool limited, uint32_t timeoutMs) {
    const auto self = std::this_thread::get_id();
    const uint32_t start = millisecondTimer();
    {
        std::unique_lock<std::mutex> lk(s.m);
        if (s.owner == self) {
            ++s.depth;
            return true;
        }
        const auto isFree = [&] { return s.owner == std::thread::id(); };
        if (!limited) s.released.wait(lk, isFree);
        else if (!s.released.wait_for(lk, std::chrono::milliseconds(timeoutMs), isFree)) return false;
        s.owner = self;   // claimed within the process; the file lock follows outside m
    }
    const uint32_t spent = millisecondTimer() - start;
    const bool ok = takeFileLock(s, spent >= timeoutMs ? 0 : timeoutMs - spent, limited);
    std::lock_guard<std::mutex> lk(s.m);
    if (ok) {
        s.depth = 1;
    } else {
        s.owner = std::thread::id();
        s.released.notify_one();
    }
    return ok;
}

}  // namespace

NamedMutex::NamedMutex(const char* name) {
    if (!name || !*name) return;
    std::lock_guard<std::mutex> g(registryLock());
    auto& reg = registry();
    auto it = reg.find(name);
    NamedState* state = nullptr;
    if (it != reg.end()) {
        state = it->second;
    } else {
        const std::string dir = lockDirectory();
        if (dir.empty()) return;
        const std::string path = dir + "/" + lockFileName(name);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return;
        state = new NamedState;
        state->fd = fd;
        reg[name] = state;
    }
    ++state->users;
    impl_ = new NamedImpl{name, state};
}

NamedMutex::~NamedMutex() {
    auto* impl = static_cast<NamedImpl*>(impl_);
    if (!impl) return;
    std::lock_guard<std::mutex> g(registryLock());
    if (--impl->state->users == 0) {
        close(impl->state->fd);
        registry().erase(impl->name);
        delete impl->state;
        if (gRegistry->empty()) {
            delete gRegistry;
            gRegistry = nullptr;
        }
    }
    delete impl;
}

bool NamedMutex::valid() const { return impl_ != nullptr; }

bool NamedMutex::lock() {
    auto* impl = static_cast<NamedImpl*>(impl_);
    return impl && acquire(*impl->state, false, 0);
}

bool NamedMutex::lockFor(uint32_t timeoutMs) {
    auto* impl = static_cast<NamedImpl*>(impl_);
    return impl && acquire(*impl->state, true, timeoutMs);
}

void NamedMutex::unlock() {
    auto* impl = static_cast<NamedImpl*>(impl_);
    if (!impl) return;
    NamedState& s = *impl->state;
    std::lock_guard<std::mutex> lk(s.m);
    // Like ReleaseMutex, only the owning thread may release.
    if (s.owner != std::this_thread::get_id() || s.depth == 0) return;
    if (--s.depth == 0) {
        flock(s.fd, LOCK_UN);
        s.owner = std::thread::id();
        s.released.notify_one();
    }
}

// ---------------------------------------------------------------------------------------------
// Environment, paths, files

bool getEnv(const char* name, std::string& value) {
    if (!name) return false;
    const char* v = std::getenv(name);
    if (!v) return false;
    value = v;
    return true;
}

bool setEnv(const char* name, const char* value) {
    if (!name || !*name || std::strchr(name, '=')) return false;
    return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

std::string modulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&modulePath), &info) == 0 || !info.dli_fname) return "";
    std::string path = info.dli_fname;
    if (!path.empty() && path[0] != '/') {
        char buf[4096];
        if (char* resolved = realpath(path.c_str(), buf)) path = resolved;
    }
    return path;
}

std::string executablePath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

// dlclose and exit() both run the unload work while the other threads still run.
UnloadKind unloadKind() { return UnloadKind::MayWait; }

std::string normalisePath(const std::string& path) {
    std::string p = path;
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    return p;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(normalisePath(path).c_str(), &st) == 0;
}

bool fileReadable(const std::string& path) {
    if (path.empty()) return false;
    const int fd = open(normalisePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    close(fd);
    return ok;
}

bool directoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(normalisePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

bool isBelow(const std::string& path, const std::string& dir) {
    if (dir.empty() || path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
    return dir.back() == '/' || path[dir.size()] == '/';
}

}  // namespace

bool createDirectory(const std::string& path) {
    const std::string p = normalisePath(path);
    if (p.empty()) return false;
    if (directoryExists(p)) return true;
    const std::string shared = normalisePath(machineDataDirectory());
    // Make each missing component in turn, from the root down.
    for (size_t pos = p.find('/', 1);; pos = p.find('/', pos + 1)) {
        const std::string part = pos == std::string::npos ? p : p.substr(0, pos);
        if (!part.empty() && part.back() != '/' && !directoryExists(part)) {
            if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
            if (isBelow(part, shared)) chmod(part.c_str(), 0777);   // shared by every user
        }
        if (pos == std::string::npos) break;
    }
    return directoryExists(p);
}

std::string machineDataDirectory() {
    std::string dir;
    if (getEnv("ALLUSERSPROFILE", dir) && !dir.empty()) return dir;
    return "/var/tmp";
}

bool removeFile(const std::string& path) {
    const std::string p = normalisePath(path);
    return unlink(p.c_str()) == 0 || errno == ENOENT;
}

bool readFile(const std::string& path, std::string& contents) {
    const int fd = open(normalisePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Closed on every way out, a failed allocation included.
    const struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return false;
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    contents.swap(data);
    return true;
}

bool replaceFile(const std::string& path, const std::string& contents) {
    const std::string p = normalisePath(path);
    if (p.empty() || directoryExists(p)) return false;
    struct stat old {};
    const bool existed = stat(p.c_str(), &old) == 0;
    std::string tmp = p + ".tmp" + std::to_string(static_cast<long>(getpid()));
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (existed) fchmod(fd, old.st_mode & 07777);
    size_t done = 0;
    bool ok = true;
    while (done < contents.size()) {
        const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), p.c_str()) != 0) ok = false;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Child processes

namespace {

struct ProcessImpl {
    pid_t pid;
    bool reaped;
    int exitCode;
};

bool reap(ProcessImpl& p, bool block) {
    if (p.reaped) return true;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(p.pid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != p.pid) return r < 0;   // an error means there is nothing left to wait for
    p.reaped = true;
    p.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return true;
}

}  // namespace

Process::~Process() {
    auto* p = static_cast<ProcessImpl*>(impl_);
    if (!p) return;
    if (!reap(*p, false)) {
        ::kill(p->pid, SIGKILL);
        reap(*p, true);
    }
    delete p;
}

bool Process::start(const std::string& program, const std::vector<std::string>& args) {
    if (impl_ || program.empty()) return false;
    const std::string prog = normalisePath(program);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(prog.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    impl_ = new ProcessImpl{pid, false, 0};
    return true;
}

bool Process::wait(uint32_t timeoutMs, int& exitCode) {
    auto* p = static_cast<ProcessImpl*>(impl_);
    if (!p) return false;
    if (timeoutMs == 0xFFFFFFFFu) {
        reap(*p, true);
    } else {
        const uint32_t start = millisecondTimer();
        while (!reap(*p, false)) {
            if (millisecondTimer() - start > timeoutMs) return false;
            sleepMs(1);
        }
    }
    if (!p->reaped) return false;
    exitCode = p->exitCode;
    return true;
}

void Process::kill() {
    auto* p = static_cast<ProcessImpl*>(impl_);
    if (p && !p->reaped) ::kill(p->pid, SIGKILL);
}

void Process::stop() {
    auto* p = static_cast<ProcessImpl*>(impl_);
    if (p && !p->reaped) ::kill(p->pid, SIGTERM);
}

// ---------------------------------------------------------------------------------------------
// Dynamic libraries

void* loadLibrary(const char* path) {
    if (!path || !*path) return nullptr;
    return dlopen(normalisePath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* librarySymbol(void* library, const char* name) {
    if (!library || !name) return nullptr;
    return dlsym(library, name);
}

void freeLibrary(void* library) {
    if (library) dlclose(library);
}

}  // namespace dorvane::platform
