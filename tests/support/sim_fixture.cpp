// The test fixture of one KQ_PROPERTY on the simulated reader.
#include "sim_fixture.h"

#include "model/printable.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace kqtest {

std::string Frame(const std::string& body) {
    return "\x02" + body + "\r\n";
}

std::string Show(const std::string& bytes) {
    return kqsim::Printable(bytes);
}

std::vector<std::string> Frames() {
    std::vector<std::string> frames;
    size_t n = kqsim_frame_count();
    for (size_t i = 0; i < n; ++i) {
        char buf[4096];
        long len = kqsim_frame_get(i, buf, sizeof buf);
        if (len < 0) {
            break;
        }
        frames.emplace_back(buf, static_cast<size_t>(len) < sizeof buf ? len : sizeof buf);
    }
    return frames;
}

std::vector<std::string> FramesOf(const std::string& code) {
    std::vector<std::string> out;
    for (const auto& f : Frames()) {
        if (f.size() >= 3 && f.compare(1, 2, code) == 0) {
            out.push_back(f);
        }
    }
    return out;
}

std::vector<kqsim_call> Calls() {
    std::vector<kqsim_call> calls;
    size_t n = kqsim_call_count();
    for (size_t i = 0; i < n; ++i) {
        kqsim_call c{};
        if (kqsim_call_get(i, &c) == 0) {
            calls.push_back(c);
        }
    }
    return calls;
}

std::vector<kqsim_call> CallsExcept(int fn) {
    std::vector<kqsim_call> calls;
    for (const auto& c : Calls()) {
        if (c.fn != fn) {
            calls.push_back(c);
        }
    }
    return calls;
}

int CountCalls(int fn) {
    int n = 0;
    for (const auto& c : Calls()) {
        n += c.fn == fn;
    }
    return n;
}

#ifdef _WIN32

// Windows: a message-only window of a class of our own, on the test's thread.
// Pump runs that thread's message loop; the window procedure records every
// WM_KQ_* message, as a client's window would receive it.
namespace {

constexpr const char* kNotifierClass = "KqTestNotifier";

LRESULT CALLBACK NotifierProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg >= WM_KQ_DATA && msg <= WM_KQ_USBERROR) {
        auto* seen =
            reinterpret_cast<std::vector<KQ_NOTIFICATION>*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (seen != nullptr) {
            KQ_NOTIFICATION n{};
            n.Message = msg;
            n.wParam = static_cast<uint64_t>(wparam);
            n.lParam = static_cast<uint64_t>(lparam);
            seen->push_back(n);
        }
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

bool RegisterNotifierClass() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = NotifierProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kNotifierClass;
    return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

} // namespace

Notifier::Notifier() {
    static const bool registered = RegisterNotifierClass();
    if (!registered) {
        ADD_FAILURE() << "cannot register the notification window class: " << GetLastError();
        return;
    }
    HWND hwnd = CreateWindowExA(0, kNotifierClass, "kq-test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    if (hwnd == nullptr) {
        ADD_FAILURE() << "cannot create the notification window: " << GetLastError();
        return;
    }
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&seen_));
    window_ = hwnd;
}

Notifier::~Notifier() {
    if (window_ != nullptr) {
        HWND hwnd = static_cast<HWND>(window_);
        // Nothing left over for a later window that might get the same handle.
        MSG msg;
        while (PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE)) {
        }
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
}

KQ_HWND Notifier::Target() const {
    return window_;
}

void Notifier::Pump(int wait_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    const size_t before = seen_.size();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (seen_.size() > before || left <= 0) {
            return;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

#else

Notifier::Notifier() {
    int fds[2];
    if (pipe(fds) == 0) {
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        read_end_ = fds[0];
        write_end_ = fds[1];
    }
}

Notifier::~Notifier() {
    if (read_end_ >= 0) {
        close(static_cast<int>(read_end_));
        close(static_cast<int>(write_end_));
    }
}

KQ_HWND Notifier::Target() const {
    return write_end_;
}

void Notifier::Pump(int wait_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        KQ_NOTIFICATION n;
        bool got = false;
        while (read(static_cast<int>(read_end_), &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
            seen_.push_back(n);
            got = true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (got || left <= 0) {
            return;
        }
        pollfd p{static_cast<int>(read_end_), POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

#endif

std::vector<KQ_NOTIFICATION> Notifier::Drain(int wait_ms) {
    Pump(wait_ms);
    Pump(0);
    std::vector<KQ_NOTIFICATION> fresh(seen_.begin() + static_cast<long>(drained_), seen_.end());
    drained_ = seen_.size();
    return fresh;
}

bool Notifier::WaitFor(uint32_t message, int timeout_ms, KQ_NOTIFICATION* out) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t checked = 0;
    for (;;) {
        for (; checked < seen_.size(); ++checked) {
            if (seen_[checked].Message == message) {
                if (out != nullptr) {
                    *out = seen_[checked];
                }
                ++checked;
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        Pump(static_cast<int>(left));
    }
}

int Notifier::Count(uint32_t message) const {
    int n = 0;
    for (const auto& m : seen_) {
        n += m.Message == message;
    }
    return n;
}

void SimRecordTest::SetUp() {
    kqsim_reset();
    kqsim_set_timing(0);
    prop_ = std::make_unique<KQ_PROPERTY>();
    std::memset(prop_.get(), 0, sizeof(KQ_PROPERTY));
    notifier_ = std::make_unique<Notifier>();
    prop_->SerialNo = serial_.c_str();
    prop_->ReadTimeout = 300;
    prop_->WriteTimeout = 300;
    prop_->StopFlag = 1;
    prop_->hWnd = notifier_->Target();
    KQ_Init_PROPERTY(prop_.get());
}

void SimRecordTest::TearDown() {
    KQ_LoopStop(prop_.get());
    if (prop_->Handle != nullptr) {
        KQ_CloseUSB(prop_.get());
    }
    EXPECT_EQ(kqsim_open_handles(), 0) << "a device handle was left open";
    prop_.reset();
    notifier_.reset();
}

void SimRecordTest::Open() {
    ASSERT_EQ(KQ_OpenUSB(prop_.get()), KQ_OK);
    kqsim_clear_logs();
}

} // namespace kqtest
