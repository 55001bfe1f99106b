// Windows side of the platform layer: the kernel's sleeps and threads, window
// messages, and loading the D2XX provider DLL.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

namespace kq {

static_assert(kStillActive == STILL_ACTIVE, "exit code of a running thread");

void SleepMs(uint32_t ms) {
    Sleep(ms);
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
