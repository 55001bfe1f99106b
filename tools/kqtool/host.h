// What kqtool needs from the operating system: where it was started from,
// loading the simulated reader, environment, terminals, Ctrl-C, and the
// channel on which the library's notifications arrive (a pipe on POSIX, a
// message-only window on Windows).
#pragma once

#include "kq.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kqtool {

// Remembers argv[0] as a fallback for ExecutableDir().
void SetProgramPath(const char* argv0);
// Folder of the running kqtool executable, with a trailing separator.
std::string ExecutableDir();
// File name of the simulated reader library on this system.
const char* SimLibraryFileName();

// Loads a shared library; nullptr with *error set when it cannot.
void* OpenSharedLibrary(const std::string& path, std::string* error);
void* SharedSymbol(void* library, const char* name);

void SetEnvironment(const char* name, const char* value);
// Value of an environment variable, empty when unset.
std::string GetEnvironment(const char* name);

bool IsTerminal(std::FILE* stream);

// Ctrl-C / SIGINT / SIGTERM / SIGHUP set a flag instead of ending the
// process, so that a running loop or a long read or write can stop in order.
void InstallStopHandler();
bool StopRequested();
// The signal that asked for the stop, 0 when none did (or the output closed).
int StopSignal();
// Asks for a stop from within: the output has gone.
void RequestStop();
// A write to a closed pipe fails with EPIPE instead of ending the process
// (POSIX; nothing to do on Windows).
void IgnoreBrokenPipe();

// Monotonic milliseconds.
double NowMs();

// Receives the library's notifications. Target() is what goes into the
// record's hWnd.
class NotificationChannel {
  public:
    NotificationChannel() = default;
    ~NotificationChannel();
    NotificationChannel(const NotificationChannel&) = delete;
    NotificationChannel& operator=(const NotificationChannel&) = delete;

    bool Open(std::string* error);
    KQ_HWND Target() const;
    // Waits up to wait_ms for the first notification, then appends every
    // notification that has arrived to out. Standard output that has lost
    // its reader (a closed pipe) ends the wait with RequestStop().
    void Wait(int wait_ms, std::vector<KQ_NOTIFICATION>& out);

  private:
#ifdef _WIN32
    void* window_ = nullptr;
#else
    int read_end_ = -1;
    int write_end_ = -1;
    std::string pending_; // bytes of a record not yet complete
#endif
};

} // namespace kqtool
