// What the library takes from the operating system: millisecond sleeps,
// worker threads with an exit-code handshake, posting notifications, loading
// the driver, and the thread numbers and files of the traffic trace.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kq {

// Exit code reported while a thread is still running (STILL_ACTIVE).
constexpr uint32_t kStillActive = 259;

#if defined(_WIN32) && !defined(_WIN64)
#define KQ_THREAD_CALL __stdcall
#else
#define KQ_THREAD_CALL
#endif

using ThreadRoutine = unsigned(KQ_THREAD_CALL*)(void* arg);

void SleepMs(uint32_t ms);

// Starts a thread running routine(arg) at once. Returns its handle, or null
// when the thread cannot be created.
void* ThreadStart(ThreadRoutine routine, void* arg);

// Stores the thread's exit code (kStillActive while it runs) and returns
// true; false when the query fails.
bool ThreadExitCode(void* thread, uint32_t* code);

// Releases a thread handle. A thread that is still running goes on and
// releases its resources when it ends.
void ThreadClose(void* thread);

// Posts a notification to the client's target (window handle on Windows, file
// descriptor elsewhere). Never waits; a target that cannot take it at once
// loses it.
void PostNotification(intptr_t target, uint32_t message, uintptr_t wparam, uintptr_t lparam);

// Dynamic library loading for the driver binding.
void* LibraryOpen(const char* name);
void* LibrarySymbol(void* lib, const char* name);

// Environment variable text, or null.
const char* EnvValue(const char* name);

// ---- Traffic trace (KQ_TRACE) ------------------------------------------------

// A number for the calling thread: the kernel's thread id (Linux, Windows),
// elsewhere the thread's pthread_t.
uint64_t CurrentThreadNumber();

// Opens path for writing at its end, created when missing (read-write for
// its owner, and readable by others on POSIX, where the descriptor is also
// not inherited by programs the process starts). Returns a descriptor, or -1.
int OpenForAppending(const char* path);

// One write of n bytes to fd, made only when fd can take them at once (a
// full pipe is not waited for). False when the bytes were not written. On
// Windows the write is always made.
bool WriteIfReady(int fd, const void* data, size_t n);

// One write of n bytes to fd; its result is not examined.
void WriteOnce(int fd, const void* data, size_t n);

} // namespace kq
