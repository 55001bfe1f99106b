// Windows side of the platform layer: precise millisecond waits, the
// kernel's threads, window messages, and loading the D2XX provider DLL.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <atomic>

namespace kq {

static_assert(kStillActive == STILL_ACTIVE, "exit code of a running thread");

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
// Windows 10 1803 and later; older systems refuse the flag. mingw-w64's
// headers do not define it yet.
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

// The wait path as found (or forced by a test): 0 while unknown, else the
// WaitPath plus 1.
std::atomic<int> g_wait_path{0};

// The raised timer resolution is the process's, so its holders are counted
// over the process: 1 ms is asked for when the first one comes and given back
// when the last one goes. winmm.dll, which has the two calls, is loaded from
// the system folder the first time and stays loaded, like the driver DLL.
using TimePeriodCall = UINT(WINAPI*)(UINT);
SRWLOCK g_resolution_lock = SRWLOCK_INIT;
unsigned g_resolution_holders = 0;
bool g_winmm_looked_up = false;
TimePeriodCall g_time_begin_period = nullptr;
TimePeriodCall g_time_end_period = nullptr;

void LookUpWinmm() {
    wchar_t path[MAX_PATH + 16];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return;
    }
    const wchar_t name[] = L"\\winmm.dll";
    for (size_t i = 0; i < sizeof name / sizeof name[0]; ++i) {
        path[n + i] = name[i];
    }
    HMODULE winmm = LoadLibraryW(path);
    if (winmm == nullptr) {
        return;
    }
    g_time_begin_period = reinterpret_cast<TimePeriodCall>(LibrarySymbol(winmm, "timeBeginPeriod"));
    g_time_end_period = reinterpret_cast<TimePeriodCall>(LibrarySymbol(winmm, "timeEndPeriod"));
    if (g_time_begin_period == nullptr || g_time_end_period == nullptr) {
        g_time_begin_period = nullptr;
        g_time_end_period = nullptr;
    }
}

void RaiseResolution() {
    AcquireSRWLockExclusive(&g_resolution_lock);
    if (!g_winmm_looked_up) {
        g_winmm_looked_up = true;
        LookUpWinmm();
    }
    if (g_resolution_holders++ == 0 && g_time_begin_period != nullptr) {
        g_time_begin_period(kPollBeatMs);
    }
    ReleaseSRWLockExclusive(&g_resolution_lock);
}

void LowerResolution() {
    AcquireSRWLockExclusive(&g_resolution_lock);
    if (--g_resolution_holders == 0 && g_time_end_period != nullptr) {
        g_time_end_period(kPollBeatMs);
    }
    ReleaseSRWLockExclusive(&g_resolution_lock);
}

int64_t MonotonicNs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    int64_t f = frequency.QuadPart;
    int64_t c = counter.QuadPart;
    return c / f * kNsPerSecond + c % f * kNsPerSecond / f;
}

HANDLE CreateTimer(DWORD flags) {
    return CreateWaitableTimerExW(nullptr, nullptr, flags, TIMER_ALL_ACCESS);
}

// Waits until deadline (ns of MonotonicNs) on the beat's timer; without a
// timer, in whole milliseconds at the raised resolution.
void WaitUntil(const PollBeat* beat, int64_t deadline) {
    int64_t left = deadline - MonotonicNs();
    if (left <= 0) {
        return;
    }
    if (beat->timer != nullptr) {
        LARGE_INTEGER due;
        due.QuadPart = -((left + 99) / 100); // relative, in 100 ns units
        if (SetWaitableTimer(beat->timer, &due, 0, nullptr, nullptr, FALSE) &&
            WaitForSingleObject(beat->timer, INFINITE) == WAIT_OBJECT_0) {
            return;
        }
        left = deadline - MonotonicNs();
        if (left <= 0) {
            return;
        }
    }
    Sleep(static_cast<DWORD>((left + kNsPerMs - 1) / kNsPerMs));
}

} // namespace

WaitPath PreciseWaitPath() {
    int known = g_wait_path.load(std::memory_order_acquire);
    if (known == 0) {
        HANDLE probe = CreateTimer(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION);
        WaitPath found =
            probe != nullptr ? WaitPath::HighResolutionTimer : WaitPath::RaisedResolution;
        if (probe != nullptr) {
            CloseHandle(probe);
        }
        int expected = 0;
        g_wait_path.compare_exchange_strong(expected, static_cast<int>(found) + 1,
                                            std::memory_order_acq_rel);
        known = g_wait_path.load(std::memory_order_acquire);
    }
    return static_cast<WaitPath>(known - 1);
}

void ForcePreciseWaitPath(WaitPath path) {
    if (path == WaitPath::HighResolutionTimer || path == WaitPath::RaisedResolution) {
        g_wait_path.store(static_cast<int>(path) + 1, std::memory_order_release);
    }
}

unsigned RaisedResolutionHolders() {
    AcquireSRWLockShared(&g_resolution_lock);
    unsigned n = g_resolution_holders;
    ReleaseSRWLockShared(&g_resolution_lock);
    return n;
}

void PollBeatStart(PollBeat* beat) {
    beat->timer = nullptr;
    beat->raised = false;
    beat->slack = 0;
    if (PreciseWaitPath() == WaitPath::HighResolutionTimer) {
        beat->timer = CreateTimer(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION);
    }
    if (beat->timer == nullptr) {
        // No high-resolution timer: an ordinary one, which keeps to 1 ms
        // while the resolution is raised.
        RaiseResolution();
        beat->raised = true;
        beat->timer = CreateTimer(0);
    }
    beat->next = MonotonicNs() + kPollBeatNs;
}

void PollBeatNext(PollBeat* beat) {
    WaitUntil(beat, PollBeatAdvance(beat, MonotonicNs()));
}

void PollBeatEnd(PollBeat* beat) {
    if (beat->timer != nullptr) {
        CloseHandle(beat->timer);
        beat->timer = nullptr;
    }
    if (beat->raised) {
        LowerResolution();
        beat->raised = false;
    }
}

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        Sleep(0);
        return;
    }
    // Sleep(ms) would last until the scheduler tick after it (15.6 ms by
    // default): the same timers as a beat instead.
    PollBeat beat;
    PollBeatStart(&beat);
    WaitUntil(&beat, MonotonicNs() + static_cast<int64_t>(ms) * kNsPerMs);
    PollBeatEnd(&beat);
}

void* ThreadStart(ThreadRoutine routine, void* arg) {
    // Default security and stack size, runs at once; the thread identifier
    // is not kept. _beginthreadex returns 0 on failure.
    uintptr_t handle = _beginthreadex(nullptr, 0, routine, arg, 0, nullptr);
    return reinterpret_cast<void*>(handle);
}

bool ThreadExitCode(void* thread, uint32_t* code) {
    DWORD value = 0;
    if (GetExitCodeThread(static_cast<HANDLE>(thread), &value) == 0) {
        return false;
    }
    *code = value;
    return true;
}

void ThreadClose(void* thread) {
    CloseHandle(static_cast<HANDLE>(thread));
}

void PostNotification(intptr_t target, uint32_t message, uintptr_t wparam, uintptr_t lparam) {
    // As PostMessageA itself: never waits for the window; a null window
    // posts to the calling thread's own queue. The result is not examined.
    PostMessageA(reinterpret_cast<HWND>(target), message, static_cast<WPARAM>(wparam),
                 static_cast<LPARAM>(lparam));
}

void* LibraryOpen(const char* name) {
    // No error dialog when the library or one of its dependencies is missing:
    // the binding falls back to "no provider" instead.
    DWORD old_mode = 0;
    BOOL quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
    HMODULE lib = LoadLibraryA(name);
    if (quiet) {
        SetThreadErrorMode(old_mode, nullptr);
    }
    return reinterpret_cast<void*>(lib);
}

void* LibrarySymbol(void* lib, const char* name) {
    FARPROC sym = GetProcAddress(static_cast<HMODULE>(lib), name);
    return reinterpret_cast<void*>(sym);
}

const char* EnvValue(const char* name) {
    // The process environment, which also holds what the client set with
    // SetEnvironmentVariable or _putenv after start-up. The binding reads it
    // once per process; the text stays valid until the next call. A value
    // that does not fit counts as not set.
    static char value[32768];
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    if (n == 0) {
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? nullptr : "";
    }
    if (n >= sizeof value) {
        return nullptr;
    }
    return value;
}

// ---- Traffic trace ---------------------------------------------------------

uint64_t CurrentThreadNumber() {
    return GetCurrentThreadId();
}

int OpenForAppending(const char* path) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool WriteIfReady(int fd, const void* data, size_t n) {
    (void)_write(fd, data, static_cast<unsigned>(n));
    return true;
}

void WriteOnce(int fd, const void* data, size_t n) {
    (void)_write(fd, data, static_cast<unsigned>(n));
}

} // namespace kq
