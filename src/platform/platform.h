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

// Sleeps ms milliseconds (0: gives up the rest of the time slice). On Windows
// it lasts ms milliseconds, not up to the next scheduler tick: the same
// timers as a PollBeat. On Linux the thread's timer slack is lowered for the
// sleep, as for a PollBeat.
void SleepMs(uint32_t ms);

// A fixed 1 ms beat for polls: the k-th wait of a beat ends k ms after the
// beat started, on the monotonic clock, however late the waits before it
// ended, so the lateness of single waits does not add up. Waits never end
// less than half a beat apart, so polls never run back to back: a thread that
// fell behind by less than kPollBeatLongPassed (it was held up, or the work
// since the last wait took long) catches up with the beat at half beats; one
// that fell further behind drops the missed beats and goes on one beat from
// then. The record is a local of the waiting function; nothing is allocated.
//
// Linux: the kernel may end a thread's sleeps up to its timer slack late
// (50 us unless the program chose otherwise), to group wake-ups. While a beat
// runs its thread's slack is 1 ns, so that each wait ends on its deadline and
// the poll after it sees a reply that came in on time; PollBeatEnd gives the
// thread back the slack it had (nested beats keep the outer one's). The CPU a
// wake-up costs does not grow with it.
//
// Windows: the wait is a waitable timer. Where the system has high-resolution
// timers (Windows 10 1803 and later) it is one of those; elsewhere the
// process's timer resolution is raised to 1 ms (timeBeginPeriod) from
// PollBeatStart to PollBeatEnd, counted over all beats of the process, and
// restored when no beat is running.
struct PollBeat {
    int64_t next; // deadline of the next wait, in ns of the monotonic clock
    void* timer;  // Windows: the beat's waitable timer (null elsewhere)
    bool raised;  // Windows: this beat holds the raised timer resolution
    long slack;   // Linux: the thread's timer slack before the beat, in ns
                  // (0: left as it was)
};

constexpr uint32_t kPollBeatMs = 1;
constexpr int64_t kPollBeatNs = kPollBeatMs * 1000000;
constexpr int64_t kPollBeatLongPassed = 4 * kPollBeatNs;
constexpr int64_t kPollBeatMinGap = kPollBeatNs / 2;

// The rule above, shared by the platforms: at time now (ns of the beat's
// clock), returns when the wait ends and moves the beat's deadline on.
inline int64_t PollBeatAdvance(PollBeat* beat, int64_t now) {
    if (now - beat->next >= kPollBeatLongPassed) {
        beat->next = now + kPollBeatNs; // the missed beats are dropped
    }
    int64_t until = beat->next > now + kPollBeatMinGap ? beat->next : now + kPollBeatMinGap;
    beat->next += kPollBeatNs;
    return until;
}

// Starts a beat now: the first wait ends 1 ms from now.
void PollBeatStart(PollBeat* beat);

// Waits until the beat's next deadline (see PollBeat).
void PollBeatNext(PollBeat* beat);

// Ends the beat and releases what it holds. Every PollBeatStart is matched by
// one PollBeatEnd.
void PollBeatEnd(PollBeat* beat);

// How this platform's millisecond waits are made (for tests and benchmarks).
enum class WaitPath {
    Monotonic,           // POSIX: clock_nanosleep to absolute CLOCK_MONOTONIC deadlines
    HighResolutionTimer, // Windows: high-resolution waitable timers
    RaisedResolution,    // Windows: timer resolution raised to 1 ms while a beat runs
};

// The path in use; on Windows the first call finds out which timers the
// system has.
WaitPath PreciseWaitPath();

// Number of beats and sleeps holding the raised timer resolution right now
// (always 0 off Windows, and on the high-resolution path).
unsigned RaisedResolutionHolders();

// Tests only: makes the waits that start from now on take this path (on
// Windows: HighResolutionTimer or RaisedResolution; ignored elsewhere).
void ForcePreciseWaitPath(WaitPath path);

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
