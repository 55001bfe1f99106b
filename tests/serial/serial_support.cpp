// Helpers of the serial-provider tests: pseudo-terminals, fake sysfs trees,
// temporary folders, environment variables and the kqsim program.
#include "serial_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace kqserial {

namespace fs = std::filesystem;

Pty::Pty() {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
        if (m >= 0) {
            close(m);
        }
        return;
    }
    char name[128];
    if (ptsname_r(m, name, sizeof name) != 0) {
        close(m);
        return;
    }
    // The master in raw mode too, so bytes cross unchanged both ways.
    termios tio;
    if (tcgetattr(m, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m, TCSANOW, &tio);
    }
    fcntl(m, F_SETFL, O_NONBLOCK);
    master_ = m;
    slave_ = name;
}

Pty::~Pty() {
    if (master_ >= 0) {
        close(master_);
    }
}

void Pty::Send(const std::string& bytes) {
    size_t done = 0;
    auto start = Clock::now();
    while (done < bytes.size() && ElapsedMs(start) < 5000) {
        ssize_t r = write(master_, bytes.data() + done, bytes.size() - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
        } else {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
}

std::string Pty::Receive(size_t count, int timeout_ms) {
    std::string out;
    auto start = Clock::now();
    while (out.size() < count) {
        char buf[4096];
        ssize_t r = read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (r > 0) {
            out.append(buf, static_cast<size_t>(r));
            continue;
        }
        long left = timeout_ms - ElapsedMs(start);
        if (left <= 0) {
            break;
        }
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min(left, 50L)));
    }
    return out;
}

void Pty::CloseMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/kq-serial-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
        path_ = tmpl;
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void MakeDirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

void Symlink(const std::string& target, const std::string& link) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link, ec);
}

void FakeSysfs::AddUsbPort(const std::string& port, const std::string& vendor,
                           const std::string& serial, const std::string& product) {
    int bus = next_bus_++;
    std::string usb =
        root_ + "/devices/pci0000:00/usb" + std::to_string(bus) + "/" + std::to_string(bus) + "-1";
    std::string iface = usb + "/" + std::to_string(bus) + "-1:1.0";
    MakeDirs(iface + "/" + port + "/tty/" + port);
    WriteFile(usb + "/idVendor", vendor + "\n");
    WriteFile(usb + "/idProduct", "6001\n");
    WriteFile(usb + "/serial", serial + "\n");
    WriteFile(usb + "/product", product + "\n");
    WriteFile(iface + "/bInterfaceNumber", "00\n");
    MakeDirs(root_ + "/class/tty/" + port);
    Symlink(iface + "/" + port, root_ + "/class/tty/" + port + "/device");
    MakeDirs(root_ + "/bus/usb-serial/devices/" + port);
    WriteFile(root_ + "/bus/usb-serial/devices/" + port + "/latency_timer", "16\n");
}

void FakeSysfs::AddPlainTty(const std::string& name) {
    MakeDirs(root_ + "/devices/platform/serial8250/tty/" + name);
    MakeDirs(root_ + "/class/tty/" + name);
    Symlink(root_ + "/devices/platform/serial8250", root_ + "/class/tty/" + name + "/device");
}

std::string FakeSysfs::LatencyTimer(const std::string& port) const {
    return ReadFile(root_ + "/bus/usb-serial/devices/" + port + "/latency_timer");
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        had_ = true;
        old_ = old;
    }
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

int RunInChild(bool drop_privileges, int (*fn)(const void*), const void* arg) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (drop_privileges && geteuid() == 0) {
            const gid_t nobody = 65534;
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) {
                _exit(kCannotDropPrivileges);
            }
        }
        _exit(fn(arg));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string KqsimProgram() {
#ifdef KQSIM_PROGRAM_PATH
    if (access(KQSIM_PROGRAM_PATH, X_OK) == 0) {
        return KQSIM_PROGRAM_PATH;
    }
#endif
    return {};
}

Kqsim::Kqsim(const std::vector<std::string>& args) {
    std::string program = KqsimProgram();
    if (program.empty()) {
        error_ = "kqsim was not built";
        return;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        // Output after the first line meets a closed pipe: an error, not a
        // death by SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        // kqsim ends with the test, even one that crashed, and holds none of
        // the test runner's output pipes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) {
            dup2(null_fd, STDERR_FILENO);
        }
        // A cross build's programs run under the same emulator as the test.
        const char* emulator = std::getenv("KQ_TEST_EMULATOR");
        std::vector<char*> argv;
        if (emulator != nullptr && emulator[0] != '\0') {
            argv.push_back(const_cast<char*>(emulator));
        }
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        error_ = "fork failed";
        return;
    }
    // The first line of its output is the tty path.
    std::string line;
    auto start = Clock::now();
    while (line.find('\n') == std::string::npos && ElapsedMs(start) < 10000) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buf[256];
        ssize_t r = read(out[0], buf, sizeof buf);
        if (r <= 0) {
            break;
        }
        line.append(buf, static_cast<size_t>(r));
    }
    close(out[0]);
    auto nl = line.find('\n');
    if (nl == std::string::npos) {
        error_ = "kqsim printed no tty path: '" + line + "'";
        return;
    }
    tty_ = line.substr(0, nl);
}

Kqsim::~Kqsim() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGCONT);
        kill(pid_, SIGTERM);
        if (!Exited(3000)) {
            kill(pid_, SIGKILL);
            Exited(3000);
        }
    }
}

void Kqsim::Pause() {
    kill(pid_, SIGSTOP);
}
void Kqsim::Resume() {
    kill(pid_, SIGCONT);
}
void Kqsim::Vanish() {
    kill(pid_, SIGUSR1);
}

bool Kqsim::Exited(int timeout_ms) {
    if (pid_ <= 0 || reaped_) {
        return true;
    }
    auto start = Clock::now();
    do {
        int status;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            reaped_ = true;
            return true;
        }
        usleep(5000);
    } while (ElapsedMs(start) < timeout_ms);
    return false;
}

} // namespace kqserial
