// The kqsim program: one simulated reader on a pseudo-terminal, used here
// through a plain termios client.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kA = "E004010000000001";
const std::string kS = "E0040100000000FF";

std::string Frame(const std::string& body) {
    return "\x02" + body + "\r\n";
}

// Reads what fd delivers within timeout_ms, until `until` has been seen.
std::string ReadUntil(int fd, const std::string& until, int timeout_ms) {
    std::string got;
    auto deadline = Clock::now() + milliseconds(timeout_ms);
    while (got.find(until) == std::string::npos) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// One running kqsim; killed if the test leaves it running.
class Kqsim {
  public:
    bool Start(const std::vector<std::string>& options) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        // A cross build's programs run under the same emulator as the test.
        std::vector<std::string> args;
        const char* emulator = std::getenv("KQ_TEST_EMULATOR");
        if (emulator != nullptr && emulator[0] != '\0') {
            args.push_back(emulator);
        }
        args.push_back(KQSIM_PROGRAM);
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        std::string line = ReadUntil(out_, "\n", 5000);
        if (line.empty() || line.back() != '\n') {
            return false;
        }
        tty_ = line.substr(0, line.size() - 1);
        return true;
    }
    // Waits for the program to end; its exit code, or -1.
    int Wait(int timeout_ms = 5000) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (pid_ > 0 && Clock::now() < deadline) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        return -1;
    }
    int Stop(int sig) {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
        return Wait();
    }
    std::string Stderr() { return ReadUntil(err_, "\x01never", 200); }
    const std::string& Tty() const { return tty_; }
    ~Kqsim() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
        if (err_ >= 0) {
            close(err_);
        }
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string tty_;
};

// A plain serial client: raw mode, nothing else.
int OpenTty(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

std::string Exchange(int fd, const std::string& body, int timeout_ms = 2000) {
    std::string frame = Frame(body);
    EXPECT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    return ReadUntil(fd, "\r\n", timeout_ms);
}

TEST(KqsimProgram, AnswersOverItsPtyAndStopsOnSigterm) {
    Kqsim sim;
    ASSERT_TRUE(
        sim.Start({"--tag", kA + ":4:8", "--data", kA + ":1:ABCD", "--no-timing", "--quiet"}));
    EXPECT_EQ(sim.Tty().rfind("/dev/pts/", 0), 0u) << sim.Tty();
    int fd = OpenTty(sim.Tty());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "GU"), Frame("RGU001" + kA));
    EXPECT_EQ(Exchange(fd, "SR0002" + kA), Frame("RSR0" + kA + "0002" + "0000ABCD"));
    EXPECT_EQ(Exchange(fd, "SW0001WXYZ" + kA), Frame("RSW0"));
    EXPECT_EQ(Exchange(fd, "SR0001" + kA), Frame("RSR0" + kA + "0001" + "WXYZ"));
    EXPECT_EQ(Exchange(fd, "TAHELLO"), Frame("RTA000OLLEH"));
    EXPECT_EQ(Exchange(fd, "ZZ"), Frame("RZZ1"));
    close(fd);
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

TEST(KqsimProgram, ClientMayCloseAndReopen) {
    Kqsim sim;
    ASSERT_TRUE(sim.Start({"--no-timing", "--quiet"}));
    for (int round = 0; round < 3; ++round) {
        int fd = OpenTty(sim.Tty());
        ASSERT_GE(fd, 0);
        tcflush(fd, TCIFLUSH);
        EXPECT_EQ(Exchange(fd, "LP"), Frame("RLP0")) << "round " << round;
        close(fd);
    }
    EXPECT_EQ(sim.Stop(SIGINT), 0);
}

TEST(KqsimProgram, SensorTag) {
    Kqsim sim;
    ASSERT_TRUE(sim.Start({"--sensor", kS + ":90:00A1B2C3", "--no-timing", "--quiet"}));
    int fd = OpenTty(sim.Tty());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "RCDC" + kS), Frame("RRC000A1B2C3"));
    EXPECT_EQ(Exchange(fd, "SCDC" + kS + "5AB2"), Frame("RSC0"));
    EXPECT_EQ(Exchange(fd, "GCDC" + kS), Frame("RGC000"));
    EXPECT_EQ(Exchange(fd, "SCDC" + kS + "5BB2"), Frame("RSC0"));
    EXPECT_EQ(Exchange(fd, "GCDC" + kS), Frame("RGC001"));
    close(fd);
}

TEST(KqsimProgram, ChurnMakesTheLoopReportEnterAndLeave) {
    Kqsim sim;
    ASSERT_TRUE(
        sim.Start({"--tag", kA, "--churn", "40", "--interval", "0", "--no-timing", "--quiet"}));
    int fd = OpenTty(sim.Tty());
    ASSERT_GE(fd, 0);
    tcflush(fd, TCIFLUSH);
    const std::string lt = Frame("LT00");
    ASSERT_EQ(write(fd, lt.data(), lt.size()), static_cast<ssize_t>(lt.size()));
    const std::string in = Frame("RGU001" + kA);
    const std::string out = Frame("RGU000");
    std::string got = ReadUntil(fd, in + out + in, 3000);
    EXPECT_EQ(got.rfind(Frame("RLT0"), 0), 0u) << got;
    // Whatever phase the churn was in, the reports alternate.
    EXPECT_NE(got.find(in + out + in), std::string::npos) << got;
    EXPECT_EQ(got.find(in + in), std::string::npos);
    EXPECT_EQ(got.find(out + out), std::string::npos);
    close(fd);
}

TEST(KqsimProgram, RealisticTimingOfSelectRead) {
    Kqsim sim;
    ASSERT_TRUE(sim.Start({"--tag", kA, "--quiet"}));
    int fd = OpenTty(sim.Tty());
    ASSERT_GE(fd, 0);
    auto start = Clock::now();
    EXPECT_EQ(Exchange(fd, "SR0001" + kA), Frame("RSR0" + kA + "0001" + "0000"));
    EXPECT_GE(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(), 250);
    close(fd);
}

TEST(KqsimProgram, VanishesOnSigusr1) {
    Kqsim sim;
    ASSERT_TRUE(sim.Start({"--no-timing", "--quiet"}));
    int fd = OpenTty(sim.Tty());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "LP"), Frame("RLP0"));
    EXPECT_EQ(sim.Stop(SIGUSR1), 0);
    // The client sees the device gone: hang-up, and reads fail or end.
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    char c;
    EXPECT_LE(read(fd, &c, 1), 0);
    close(fd);
    struct stat st {};
    EXPECT_NE(stat(sim.Tty().c_str(), &st), 0) << "the tty node is gone";
}

TEST(KqsimProgram, VanishAfterATime) {
    Kqsim sim;
    ASSERT_TRUE(sim.Start({"--vanish-after", "150", "--quiet"}));
    int fd = OpenTty(sim.Tty());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim.Wait(), 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    close(fd);
}

TEST(KqsimProgram, LogsCommandsAndRepliesUnlessQuiet) {
    Kqsim sim;
    ASSERT_TRUE(sim.Start({"--no-timing"}));
    int fd = OpenTty(sim.Tty());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "GU"), Frame("RGU000"));
    close(fd);
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    std::string log = sim.Stderr();
    EXPECT_NE(log.find("<STX>GU<CR><LF>"), std::string::npos) << log;
    EXPECT_NE(log.find("<STX>RGU000<CR><LF>"), std::string::npos) << log;
}

TEST(KqsimProgram, BadOptionExitsWithUsage) {
    Kqsim sim;
    EXPECT_FALSE(sim.Start({"--tag", "SHORT"}));
    EXPECT_EQ(sim.Wait(), 2);
    EXPECT_NE(sim.Stderr().find("usage: kqsim"), std::string::npos);
}

} // namespace
