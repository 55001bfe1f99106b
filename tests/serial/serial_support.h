// Helpers of the serial-provider tests: a pseudo-terminal whose master side
// plays the reader, a fake sysfs tree, temporary folders, and the kqsim
// program on its own pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kqserial {

// A pseudo-terminal: the test holds the master, the code under test opens
// the slave by its path.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    bool Ok() const { return master_ >= 0; }
    const std::string& SlavePath() const { return slave_; }
    int Master() const { return master_; }
    // Writes all bytes to the master (the slave reads them).
    void Send(const std::string& bytes);
    // Reads from the master until count bytes arrived or timeout passed.
    std::string Receive(size_t count, int timeout_ms);
    // Closes the master: the slave side sees a hang-up.
    void CloseMaster();

  private:
    int master_ = -1;
    std::string slave_;
};

// A temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
void MakeDirs(const std::string& path);
void Symlink(const std::string& target, const std::string& link);

// A sysfs tree laid out like the kernel's for USB serial ports:
//   class/tty/<port>/device -> devices/usbN/N-1/N-1:1.0/<port>
//   devices/usbN/N-1/{idVendor,idProduct,serial,product}
//   bus/usb-serial/devices/<port>/latency_timer
class FakeSysfs {
  public:
    explicit FakeSysfs(std::string root) : root_(std::move(root)) {}
    // A ttyUSB port on a USB device with this vendor id and serial number.
    void AddUsbPort(const std::string& port, const std::string& vendor, const std::string& serial,
                    const std::string& product = "KQ Reader");
    // A tty that is not a USB serial port (ttyS0, ...).
    void AddPlainTty(const std::string& name);
    std::string LatencyTimer(const std::string& port) const;
    const std::string& Root() const { return root_; }

  private:
    std::string root_;
    int next_bus_ = 1;
};

// Scoped environment variable (restored on destruction).
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// Runs fn in a child process (after dropping root to nobody when
// drop_privileges is set and the test runs as root) and returns the
// child's exit status, or -1 when it did not exit normally, or
// kCannotDropPrivileges.
constexpr int kCannotDropPrivileges = 120;
int RunInChild(bool drop_privileges, int (*fn)(const void*), const void* arg);

// The kqsim program serving one simulated reader on a pseudo-terminal.
class Kqsim {
  public:
    // Starts kqsim with these arguments; waits for the tty path it prints.
    explicit Kqsim(const std::vector<std::string>& args);
    ~Kqsim();
    Kqsim(const Kqsim&) = delete;
    Kqsim& operator=(const Kqsim&) = delete;
    bool Ok() const { return !tty_.empty(); }
    const std::string& Tty() const { return tty_; }
    const std::string& Error() const { return error_; }
    void Pause();                // SIGSTOP: the reader stops answering
    void Resume();               // SIGCONT
    void Vanish();               // SIGUSR1: kqsim closes its side and exits
    bool Exited(int timeout_ms); // true once the process has ended

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string tty_;
    std::string error_;
};

// Path of the kqsim program, or empty when it was not built.
std::string KqsimProgram();

using Clock = std::chrono::steady_clock;
inline long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

} // namespace kqserial
