// POSIX side of the platform layer: worker threads with a Windows-like
// exit-code handshake, notifications written to a client descriptor.
#include "platform/platform.h"

#include "kq.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

namespace kq {

namespace {

// A worker thread as the library sees it. Two owners share it: the handle in
// the record and the running thread; whichever lets go last frees it.
struct PosixThread {
    pthread_t thread;
    ThreadRoutine routine;
    void* arg;
    std::atomic<uint32_t> exit_code;
    std::atomic<int> owners;
};

void ReleaseOwner(PosixThread* t) {
    if (t->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete t;
    }
}

void* Trampoline(void* raw) {
    auto* t = static_cast<PosixThread*>(raw);
    uint32_t code = t->routine(t->arg);
    t->exit_code.store(code, std::memory_order_release);
    ReleaseOwner(t);
    return nullptr;
}

// Writes all of buf to fd without raising SIGPIPE in the process when the
// reader has gone away.
void WriteQuietly(int fd, const void* buf, size_t n) {
    ssize_t r = send(fd, buf, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r >= 0 || errno != ENOTSOCK) {
        return;
    }
    // Not a socket (a pipe, typically): only write when it can take the
    // record at once, and keep a broken pipe from killing the client.
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
        return;
    }
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    r = write(fd, buf, n);
    if (r < 0 && errno == EPIPE) {
        // Consume the SIGPIPE this write raised, if it is still pending.
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE)) {
            timespec zero{0, 0};
            sigtimedwait(&block, nullptr, &zero);
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The least timer slack the kernel takes (0 would mean "the default").
constexpr long kWaitSlackNs = 1;

// Lowers the calling thread's timer slack for a wait that must end on time;
// returns the slack to give back after it, or 0 when it was left as it was
// (already that low, a real-time thread, or a system without timer slack or
// a sandbox that refuses prctl).
long LowerTimerSlack() {
#if defined(__linux__)
    // The kernel hands the slack back as a long; prctl() would cut it to an
    // int, and a slack above 2.1 s would come back as another value. One
    // that does not fit a long (32-bit builds) reads as an error or as
    // negative, and is left alone.
    long slack = syscall(SYS_prctl, PR_GET_TIMERSLACK, 0L, 0L, 0L, 0L);
    if (slack > kWaitSlackNs && prctl(PR_SET_TIMERSLACK, kWaitSlackNs, 0, 0, 0) == 0) {
        return slack;
    }
#endif
    return 0;
}

void RestoreTimerSlack(long slack) {
#if defined(__linux__)
    if (slack > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
    }
#else
    (void)slack;
#endif
}

} // namespace

void SleepMs(uint32_t ms) {
#if defined(KQ_FUZZ_INSTANT_SLEEP)
    // Fuzz builds only (see src/CMakeLists.txt): give the other threads a
    // turn instead of waiting.
    (void)ms;
    sched_yield();
    return;
#endif
    if (ms == 0) {
        // As Sleep(0) on Windows: no timer (a zero-length nanosleep still
        // waits out the thread's timer slack).
        sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    long slack = LowerTimerSlack();
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    RestoreTimerSlack(slack);
}

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

} // namespace

void PollBeatStart(PollBeat* beat) {
    beat->timer = nullptr;
    beat->raised = false;
    beat->slack = LowerTimerSlack();
    beat->next = MonotonicNs() + kPollBeatNs;
}

void PollBeatNext(PollBeat* beat) {
#if defined(KQ_FUZZ_INSTANT_SLEEP)
    sched_yield();
    return;
#endif
    int64_t end = PollBeatAdvance(beat, MonotonicNs());
    timespec until{static_cast<time_t>(end / kNsPerSecond), static_cast<long>(end % kNsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void PollBeatEnd(PollBeat* beat) {
    RestoreTimerSlack(beat->slack);
    beat->slack = 0;
}

WaitPath PreciseWaitPath() {
    return WaitPath::Monotonic;
}

unsigned RaisedResolutionHolders() {
    return 0;
}

void ForcePreciseWaitPath(WaitPath path) {
    (void)path;
}

void* ThreadStart(ThreadRoutine routine, void* arg) {
    auto* t = new (std::nothrow) PosixThread;
    if (t == nullptr) {
        return nullptr;
    }
    t->routine = routine;
    t->arg = arg;
    t->exit_code.store(kStillActive, std::memory_order_relaxed);
    t->owners.store(2, std::memory_order_relaxed);
    if (pthread_create(&t->thread, nullptr, Trampoline, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

bool ThreadExitCode(void* thread, uint32_t* code) {
    if (thread == nullptr) {
        return false;
    }
    *code = static_cast<PosixThread*>(thread)->exit_code.load(std::memory_order_acquire);
    return true;
}

void ThreadClose(void* thread) {
    if (thread == nullptr) {
        return;
    }
    auto* t = static_cast<PosixThread*>(thread);
    if (t->exit_code.load(std::memory_order_acquire) != kStillActive) {
        // Finished: collect the thread so nothing of it is left over.
        pthread_join(t->thread, nullptr);
    } else {
        // Still running: let it go; it frees its record when it ends.
        pthread_detach(t->thread);
    }
    ReleaseOwner(t);
}

void PostNotification(intptr_t target, uint32_t message, uintptr_t wparam, uintptr_t lparam) {
    if (target <= 0) {
        return;
    }
    KQ_NOTIFICATION n{};
    n.Message = message;
    n.Zero = 0;
    n.wParam = wparam;
    n.lParam = lparam;
    WriteQuietly(static_cast<int>(target), &n, sizeof n);
}

void* LibraryOpen(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* LibrarySymbol(void* lib, const char* name) {
    return dlsym(lib, name);
}

const char* EnvValue(const char* name) {
    return std::getenv(name);
}

// ---- Traffic trace ---------------------------------------------------------

uint64_t CurrentThreadNumber() {
#if defined(__linux__)
    return static_cast<uint64_t>(syscall(SYS_gettid));
#else
    return reinterpret_cast<uintptr_t>(pthread_self());
#endif
}

int OpenForAppending(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool WriteIfReady(int fd, const void* data, size_t n) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
        return false;
    }
    return write(fd, data, n) >= 0;
}

void WriteOnce(int fd, const void* data, size_t n) {
    (void)!write(fd, data, n);
}

} // namespace kq
