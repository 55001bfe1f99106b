// kqsim's pseudo-terminal: the reader model behind the master side, served
// until a signal ends it.
#include "pty_server.h"

#include "model/printable.h"
#include "model/scenario_schedule.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

namespace kqsim {

namespace {

// Writes what the master takes; a client that does not read for long
// enough loses replies, as with a full receive buffer.
void WriteOut(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

struct Pty {
    int master = -1;
    int keep = -1; // our own descriptor of the tty: clients may close and reopen theirs
    std::string path;
};

bool OpenPty(Pty* pty) {
    pty->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) {
        std::perror("kqsim: pseudo-terminal");
        return false;
    }
    char name[256];
    if (ptsname_r(pty->master, name, sizeof name) != 0) {
        std::perror("kqsim: ptsname");
        return false;
    }
    pty->path = name;
    pty->keep = open(name, O_RDWR | O_NOCTTY);
    if (pty->keep < 0) {
        std::perror("kqsim: open tty");
        return false;
    }
    termios t{};
    tcgetattr(pty->keep, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    tcsetattr(pty->keep, TCSANOW, &t);
    fcntl(pty->master, F_SETFL, fcntl(pty->master, F_GETFL) | O_NONBLOCK);
    return true;
}

void ClosePty(Pty* pty) {
    if (pty->master >= 0) {
        close(pty->master);
    }
    if (pty->keep >= 0) {
        close(pty->keep);
    }
    pty->master = pty->keep = -1;
}

} // namespace

int ServePty(Reader& reader, const Scenario& sc) {
    // A reader answers on its own clock: each reply goes out when the model
    // has it complete, not up to the kernel's default 50 us timer slack
    // later, so that what a client measures over the tty is the client.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const Time start = Clock::now();
    if (!sc.quiet) {
        reader.SetTrace([start](Time t, Reader::TraceKind kind, const std::string& bytes) {
            double secs = std::chrono::duration<double>(t - start).count();
            const char* who = kind == Reader::TraceKind::FromHost ? "host  >"
                              : kind == Reader::TraceKind::ToHost ? "reader<"
                                                                  : "note   ";
            std::fprintf(stderr, "[%9.4f] %s %s\n", secs, who, Printable(bytes).c_str());
        });
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sigfd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (sigfd < 0) {
        std::perror("kqsim: signalfd");
        return 1;
    }

    Pty pty;
    if (!OpenPty(&pty)) {
        ClosePty(&pty);
        close(sigfd);
        return 1;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);

    ScenarioSchedule schedule = StartSchedule(sc, start);

    int exit_code = 0;
    for (;;) {
        Time now = Clock::now();
        if (!RunDueSchedule(schedule, reader, now)) {
            break; // vanish
        }
        std::string out;
        reader.TakeDue(now, out);
        WriteOut(pty.master, out);

        std::optional<Time> wake = Earliest(reader.NextWake(), NextScheduled(schedule));
        timespec ts{};
        timespec* timeout = nullptr;
        if (wake) {
            auto left = std::max(Duration::zero(), *wake - Clock::now());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &ts;
        }
        pollfd fds[2] = {{pty.master, POLLIN, 0}, {sigfd, POLLIN, 0}};
        int ready = ppoll(fds, 2, timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::perror("kqsim: poll");
            exit_code = 1;
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint8_t buf[4096];
            ssize_t n = read(pty.master, buf, sizeof buf);
            if (n > 0) {
                reader.Write(Clock::now(), buf, static_cast<size_t>(n));
            }
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(sigfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGUSR1) {
                    break; // vanish
                }
                if (!sc.quiet) {
                    std::fprintf(stderr, "kqsim: signal %u, stopping\n", info.ssi_signo);
                }
                break;
            }
        }
    }
    ClosePty(&pty);
    close(sigfd);
    return exit_code;
}

} // namespace kqsim
