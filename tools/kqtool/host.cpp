// The operating-system services of host.h, for POSIX and for Windows.
#include "host.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace kqtool {

namespace {

std::string g_argv0;
std::atomic<bool> g_stop{false};
std::atomic<int> g_stop_signal{0};

std::string DirOf(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return std::string();
    }
    return path.substr(0, slash + 1);
}

} // namespace

void SetProgramPath(const char* argv0) {
    g_argv0 = argv0 != nullptr ? argv0 : "";
}

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool StopRequested() {
    return g_stop.load();
}

int StopSignal() {
    return g_stop_signal.load();
}

void RequestStop() {
    g_stop.store(true);
}

std::string GetEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

#ifdef _WIN32

std::string ExecutableDir() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return DirOf(g_argv0);
    }
    return DirOf(std::string(path, n));
}

const char* SimLibraryFileName() {
    return "kqsim_d2xx.dll";
}

void* OpenSharedLibrary(const std::string& path, std::string* error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<void*>(module);
}

void* SharedSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void SetEnvironment(const char* name, const char* value) {
    _putenv_s(name, value);
    SetEnvironmentVariableA(name, value);
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

namespace {
BOOL WINAPI ConsoleHandler(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        int expected = 0;
        g_stop_signal.compare_exchange_strong(expected, 2); // as SIGINT
        g_stop.store(true);
        return TRUE;
    }
    return FALSE;
}
} // namespace

void InstallStopHandler() {
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
}

void IgnoreBrokenPipe() {}

NotificationChannel::~NotificationChannel() {
    if (window_ != nullptr) {
        DestroyWindow(static_cast<HWND>(window_));
    }
}

bool NotificationChannel::Open(std::string* error) {
    static const char kClass[] = "kqtool_notifications";
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClass;
    RegisterClassA(&wc); // fails harmlessly when already registered
    HWND window =
        CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (window == nullptr) {
        *error =
            "cannot create the notification window (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    window_ = window;
    return true;
}

KQ_HWND NotificationChannel::Target() const {
    return window_;
}

void NotificationChannel::Wait(int wait_ms, std::vector<KQ_NOTIFICATION>& out) {
    HWND window = static_cast<HWND>(window_);
    MSG msg;
    if (!PeekMessageA(&msg, window, 0, 0, PM_NOREMOVE)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(wait_ms), QS_ALLINPUT);
    }
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_KQ_DATA || msg.message == WM_KQ_LOOPEND ||
            msg.message == WM_KQ_USBERROR) {
            KQ_NOTIFICATION n = {};
            n.Message = msg.message;
            n.wParam = static_cast<uint64_t>(msg.wParam);
            n.lParam = static_cast<uint64_t>(msg.lParam);
            out.push_back(n);
        } else {
            DispatchMessageA(&msg);
        }
    }
}

#else

std::string ExecutableDir() {
#ifdef __linux__
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
        return DirOf(std::string(path, static_cast<size_t>(n)));
    }
#endif
    return DirOf(g_argv0);
}

const char* SimLibraryFileName() {
#ifdef __APPLE__
    return "libkqsim_d2xx.dylib";
#else
    return "libkqsim_d2xx.so";
#endif
}

void* OpenSharedLibrary(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
    }
    return library;
}

void* SharedSymbol(void* library, const char* name) {
    return dlsym(library, name);
}

void SetEnvironment(const char* name, const char* value) {
    setenv(name, value, 1);
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

namespace {
void OnStopSignal(int signal_number) {
    int expected = 0;
    g_stop_signal.compare_exchange_strong(expected, signal_number);
    g_stop.store(true);
}
} // namespace

void InstallStopHandler() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void IgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

NotificationChannel::~NotificationChannel() {
    if (read_end_ >= 0) {
        close(read_end_);
    }
    if (write_end_ >= 0) {
        close(write_end_);
    }
}

bool NotificationChannel::Open(std::string* error) {
    int fds[2];
    if (pipe(fds) != 0) {
        *error = std::string("cannot create the notification pipe: ") + std::strerror(errno);
        return false;
    }
    read_end_ = fds[0];
    write_end_ = fds[1];
    // The library never waits for the client: a full pipe loses the message.
    fcntl(write_end_, F_SETFL, fcntl(write_end_, F_GETFL) | O_NONBLOCK);
    fcntl(read_end_, F_SETFL, fcntl(read_end_, F_GETFL) | O_NONBLOCK);
    fcntl(read_end_, F_SETFD, FD_CLOEXEC);
    fcntl(write_end_, F_SETFD, FD_CLOEXEC);
    return true;
}

KQ_HWND NotificationChannel::Target() const {
    return static_cast<KQ_HWND>(write_end_);
}

void NotificationChannel::Wait(int wait_ms, std::vector<KQ_NOTIFICATION>& out) {
    // Standard output is watched for an error or hang-up only (events 0): a
    // pipe whose reader has gone reports POLLERR at once, before the next
    // line would fail.
    pollfd pfd[2] = {{read_end_, POLLIN, 0}, {StopRequested() ? -1 : STDOUT_FILENO, 0, 0}};
    int ready = poll(pfd, 2, wait_ms);
    if (ready > 0 && (pfd[1].revents & (POLLERR | POLLHUP)) != 0) {
        RequestStop();
    }
    if (ready <= 0 || (pfd[0].revents & POLLIN) == 0) {
        return; // timeout, a signal or the output: the caller looks at the stop flag
    }
    char buf[24 * 64];
    for (;;) {
        ssize_t n = read(read_end_, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
    size_t used = 0;
    while (pending_.size() - used >= sizeof(KQ_NOTIFICATION)) {
        KQ_NOTIFICATION n;
        std::memcpy(&n, pending_.data() + used, sizeof n);
        out.push_back(n);
        used += sizeof n;
    }
    pending_.erase(0, used);
}

#endif

} // namespace kqtool
