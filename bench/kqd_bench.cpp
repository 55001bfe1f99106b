// kqd beside the library alone, on the simulated reader in this process (run
// by hand, not by CTest):
//   latency  a tag's arrival: the library's own report inside kqd (the
//            inventory that saw it) -> an SSE client's event; and, beside it,
//            tag placed -> SSE event against tag placed -> a library loop
//            client's notification
//   cpu      16 readers in one kqd with 100 SSE clients against 16
//            library-only loop clients, process CPU over the same time
//   rss      kqd's resident memory while SSE clients connect, disconnect and
//            reconnect (the duration is an argument)
//   ops      one operation (tag command) through the API against the same
//            call on the library
// Usage: kqd_bench [latency N] [cpu SECONDS] [rss SECONDS] [ops N] (default:
// all, short). The SSE clients run in a child process (this program with
// "sse-clients") so that their CPU is not kqd's.
#include "events/event_log.h"
#include "http/server.h"
#include "kq.h"
#include "kqsim.h"
#include "reader/reader_hub.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Stats(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("%-48s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    };
    std::printf("%-48s n=%zu median %.3f ms  p99 %.3f ms  max %.3f ms\n", what, v.size(), at(0.5),
                at(0.99), v.back());
}

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        off += static_cast<size_t>(n);
    }
}

std::string EventsRequest(uint16_t port) {
    return "GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

// ---- The SSE clients' child process -------------------------------------

int SseClients(uint16_t port, int n, int seconds, bool churn) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int fd = Connect(port);
        if (fd >= 0) {
            SendAll(fd, EventsRequest(port));
            fds.push_back(fd);
        }
    }
    auto end = Clock::now() + std::chrono::seconds(seconds);
    auto next_churn = Clock::now();
    char buf[65536];
    size_t turn = 0;
    while (Clock::now() < end) {
        std::vector<pollfd> p;
        for (int fd : fds) {
            p.push_back({fd, POLLIN, 0});
        }
        poll(p.data(), p.size(), 20);
        for (auto& q : p) {
            if (q.revents & POLLIN) {
                if (recv(q.fd, buf, sizeof buf, 0) <= 0) {
                    q.fd = -q.fd; // closed by kqd; ignored
                }
            }
        }
        if (churn && Clock::now() >= next_churn && !fds.empty()) {
            // Every 50 ms one client goes away and a new one comes.
            next_churn = Clock::now() + 50ms;
            size_t i = turn++ % fds.size();
            close(fds[i]);
            int fd = Connect(port);
            if (fd >= 0) {
                SendAll(fd, EventsRequest(port));
            }
            fds[i] = fd;
        }
    }
    for (int fd : fds) {
        close(fd);
    }
    return 0;
}

pid_t SpawnClients(const char* self, uint16_t port, int n, int seconds, bool churn) {
    std::string p = std::to_string(port), c = std::to_string(n), s = std::to_string(seconds);
    const char* argv[] = {
        self, "sse-clients", p.c_str(), c.c_str(), s.c_str(), churn ? "churn" : "steady", nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, self, nullptr, nullptr, const_cast<char**>(argv), environ);
    return pid;
}

// ---- kqd in this process ---------------------------------------------------

struct Service {
    kqd::EventLog log;
    std::unique_ptr<kqd::ReaderHub> hub;
    std::unique_ptr<kqd::HttpServer> server;

    Service(std::vector<std::string> readers, size_t max_sse = 200, size_t history = 4096)
        : log(history) {
        kqd::HubSettings hs;
        hs.readers = std::move(readers);
        hub = std::make_unique<kqd::ReaderHub>(log, hs);
        kqd::HttpSettings s;
        s.port = 0;
        s.max_sse_clients = max_sse;
        s.max_connections = max_sse + 50;
        server = std::make_unique<kqd::HttpServer>(*hub, log, s);
        std::string error;
        if (!server->Start(&error)) {
            std::fprintf(stderr, "kqd_bench: %s\n", error.c_str());
            std::exit(1);
        }
        hub->Start();
    }
    ~Service() {
        server->Stop();
        hub->Stop();
    }
    uint16_t Port() const { return server->Port(); }
    void WaitOnline(size_t n) {
        auto end = Clock::now() + 20s;
        while (Clock::now() < end && hub->Stats().readers_online < n) {
            std::this_thread::sleep_for(10ms);
        }
    }
};

// A library-only loop client: a record in loop mode, notifications through a
// pipe drained by a thread.
struct LoopClient {
    std::unique_ptr<KQ_PROPERTY> prop = std::make_unique<KQ_PROPERTY>();
    std::string serial;
    int pipe_fd[2] = {-1, -1};
    std::thread reader;
    std::atomic<bool> stop{false};
    std::function<void()> on_data;

    explicit LoopClient(std::string s, std::function<void()> data = {})
        : serial(std::move(s)), on_data(std::move(data)) {
        std::memset(prop.get(), 0, sizeof(KQ_PROPERTY));
        pipe(pipe_fd);
        fcntl(pipe_fd[1], F_SETFL, O_NONBLOCK);
        prop->SerialNo = serial.c_str();
        prop->ReadTimeout = 500;
        prop->WriteTimeout = 500;
        prop->StopFlag = 1;
        prop->hWnd = pipe_fd[1];
        KQ_Init_PROPERTY(prop.get());
        KQ_OpenUSB(prop.get());
        reader = std::thread([this] {
            KQ_NOTIFICATION n;
            while (!stop) {
                pollfd p{pipe_fd[0], POLLIN, 0};
                if (poll(&p, 1, 50) > 0 && read(pipe_fd[0], &n, sizeof n) == sizeof n &&
                    n.Message == WM_KQ_DATA && on_data) {
                    on_data();
                }
            }
        });
        prop->LoopMode = 1;
        KQ_GetUID(prop.get());
    }
    ~LoopClient() {
        KQ_LoopStop(prop.get());
        stop = true;
        reader.join();
        KQ_CloseUSB(prop.get());
        close(pipe_fd[0]);
        close(pipe_fd[1]);
    }
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long RssKb() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, rss = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) {
            rss = 0;
        }
        std::fclose(f);
    }
    return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

// ---- latency ----------------------------------------------------------------

void Latency(int n) {
    kqsim_reset();
    kqsim_set_logging(0);
    int lib_dev = kqsim_device_add("KQSIMLIB1");
    Service kqd({"KQSIM0001"});
    kqd.WaitOnline(1);

    // The library's report inside kqd: the time of the inventory that made
    // each arrival (observer, then the log's own subscriber, same thread).
    std::atomic<int64_t> last_inventory{0};
    kqd.hub->SetInventoryObserver(
        [&](const std::string&) { last_inventory = Clock::now().time_since_epoch().count(); });
    std::mutex mu;
    std::map<uint64_t, int64_t> inventory_of; // seq -> inventory time
    int sub = kqd.log.Subscribe([&](const kqd::Event& e) {
        if (e.kind == "arrived") {
            std::lock_guard lock(mu);
            inventory_of[e.seq] = last_inventory.load();
        }
    });

    // The SSE client in this process: the time each arrival reaches it.
    int fd = Connect(kqd.Port());
    SendAll(fd, EventsRequest(kqd.Port()));
    std::map<uint64_t, int64_t> sse_at;
    std::atomic<uint64_t> sse_arrivals{0};
    std::thread sse([&] {
        std::string buf;
        char chunk[8192];
        for (;;) {
            ssize_t r = recv(fd, chunk, sizeof chunk, 0);
            if (r <= 0) {
                return;
            }
            int64_t now = Clock::now().time_since_epoch().count();
            buf.append(chunk, static_cast<size_t>(r));
            size_t end;
            while ((end = buf.find("\n\n")) != std::string::npos) {
                std::string block = buf.substr(0, end);
                buf.erase(0, end + 2);
                if (block.find("event: arrived") != std::string::npos) {
                    uint64_t seq =
                        std::strtoull(block.c_str() + block.find("id: ") + 4, nullptr, 10);
                    std::lock_guard lock(mu);
                    sse_at[seq] = now;
                    ++sse_arrivals;
                }
            }
        }
    });

    std::atomic<int64_t> lib_notified{0};
    kqsim_select_device(lib_dev);
    LoopClient lib("KQSIMLIB1", [&] { lib_notified = Clock::now().time_since_epoch().count(); });

    std::vector<double> added, kqd_total, lib_total;
    const std::string uid = "E004BE0000000001";
    for (int i = 0; i < n; ++i) {
        uint64_t arrivals_before = sse_arrivals;
        lib_notified = 0;
        auto placed = Clock::now();
        kqsim_select_device(0);
        kqsim_tag_add(uid.c_str(), 4, 16);
        kqsim_select_device(lib_dev);
        kqsim_tag_add(uid.c_str(), 4, 16);
        auto end = Clock::now() + 5s;
        while ((sse_arrivals == arrivals_before || lib_notified == 0) && Clock::now() < end) {
            std::this_thread::sleep_for(200us);
        }
        {
            std::lock_guard lock(mu);
            auto last = sse_at.rbegin();
            if (last != sse_at.rend() && inventory_of.count(last->first)) {
                added.push_back(Ms(Clock::duration(last->second - inventory_of[last->first])));
                kqd_total.push_back(Ms(Clock::duration(last->second) - placed.time_since_epoch()));
            }
        }
        if (lib_notified != 0) {
            lib_total.push_back(
                Ms(Clock::duration(lib_notified.load()) - placed.time_since_epoch()));
        }
        kqsim_select_device(0);
        kqsim_tag_remove(uid.c_str());
        kqsim_select_device(lib_dev);
        kqsim_tag_remove(uid.c_str());
        std::this_thread::sleep_for(300ms); // the tag leaves kqd's field
    }
    shutdown(fd, SHUT_RDWR);
    sse.join();
    close(fd);
    kqd.log.Unsubscribe(sub);
    std::printf("== latency (%d arrivals, realistic timing)\n", n);
    Stats("kqd added: library report -> SSE event", added);
    Stats("tag placed -> kqd SSE event", kqd_total);
    Stats("tag placed -> library loop notification", lib_total);
}

// ---- cpu --------------------------------------------------------------------

std::vector<std::string> AddReaders(int n) {
    kqsim_reset();
    kqsim_set_logging(0);
    std::vector<std::string> serials = {"KQSIM0001"};
    for (int i = 2; i <= n; ++i) {
        char s[24];
        std::snprintf(s, sizeof s, "KQSIM%04d", i);
        kqsim_device_add(s);
        serials.push_back(s);
    }
    for (int i = 0; i < n; ++i) {
        kqsim_select_device(i);
        char uid[24];
        std::snprintf(uid, sizeof uid, "E004C0000000%04X", static_cast<unsigned>(i) & 0xFFFFu);
        kqsim_tag_add(uid, 4, 16);
    }
    return serials;
}

// After a second to settle, this process's CPU time over the next seconds,
// as a share of one core.
double SettledCpuShare(int seconds) {
    std::this_thread::sleep_for(1s);
    double c0 = CpuSeconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (CpuSeconds() - c0) / (Ms(Clock::now() - t0) / 1000);
}

void Cpu(const char* self, int seconds) {
    const int readers = 16, clients = 100;
    double kqd_cpu = 0, lib_cpu = 0;
    {
        auto serials = AddReaders(readers);
        Service kqd(serials, clients + 10);
        kqd.WaitOnline(readers);
        pid_t child = SpawnClients(self, kqd.Port(), clients, seconds + 2, false);
        kqd_cpu = SettledCpuShare(seconds);
        std::printf("== cpu: kqd, %d readers, %llu SSE clients: %.1f%% of one core\n", readers,
                    static_cast<unsigned long long>(kqd.server->Counters().sse_clients.load()),
                    kqd_cpu * 100);
        waitpid(child, nullptr, 0);
    }
    {
        auto serials = AddReaders(readers);
        std::vector<std::unique_ptr<LoopClient>> loops;
        for (const auto& s : serials) {
            loops.push_back(std::make_unique<LoopClient>(s));
        }
        lib_cpu = SettledCpuShare(seconds);
        std::printf("== cpu: %d library-only loop clients: %.1f%% of one core\n", readers,
                    lib_cpu * 100);
    }
    std::printf("== cpu: kqd / library = %.2f (target <= 1.5)\n", kqd_cpu / lib_cpu);
}

// ---- rss --------------------------------------------------------------------

void Rss(const char* self, int seconds) {
    auto serials = AddReaders(4);
    kqsim_set_timing(0);
    for (int i = 0; i < 4; ++i) {
        kqsim_select_device(i);
    }
    // A history that fills within the first quarter: what grows after it
    // would be a leak.
    Service kqd(serials, 120, 256);
    kqd.WaitOnline(4);
    pid_t child = SpawnClients(self, kqd.Port(), 100, seconds, true);
    // Field churn beside the client churn: events keep flowing.
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        bool in = true;
        while (!stop) {
            for (int i = 0; i < 4; ++i) {
                kqsim_select_device(i);
                char uid[24];
                std::snprintf(uid, sizeof uid, "E004C0000000%04X", static_cast<unsigned>(i));
                in ? kqsim_tag_remove(uid) : kqsim_tag_add(uid, 4, 16);
            }
            in = !in;
            std::this_thread::sleep_for(200ms);
        }
    });
    std::vector<long> samples;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(1s);
        samples.push_back(RssKb());
    }
    stop = true;
    churn.join();
    waitpid(child, nullptr, 0);
    std::printf("== rss over %d s, 100 SSE clients churning (one reconnect / 50 ms), field churn,"
                " history 256:\n   KiB at each quarter:",
                seconds);
    for (int k = 1; k <= 4 && !samples.empty(); ++k) {
        std::printf(" %ld", samples[std::min(samples.size() - 1, samples.size() * k / 4 - 1)]);
    }
    long peak = samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
    std::printf("; peak %ld KiB; %llu events; %llu SSE connections dropped as too slow\n", peak,
                static_cast<unsigned long long>(kqd.log.LastSeq()),
                static_cast<unsigned long long>(kqd.server->Counters().sse_dropped_clients.load()));
}

// ---- ops --------------------------------------------------------------------

void Ops(int n) {
    kqsim_reset();
    kqsim_set_logging(0);
    kqsim_set_timing(0);
    int lib_dev = kqsim_device_add("KQSIMLIB1");
    kqsim_select_device(0);
    kqsim_tag_add("E004D00000000001", 4, 16);
    kqsim_select_device(lib_dev);
    kqsim_tag_add("E004D00000000001", 4, 16);
    std::vector<double> lib, api;
    {
        auto p = std::make_unique<KQ_PROPERTY>();
        std::memset(p.get(), 0, sizeof *p);
        const char* serial = "KQSIMLIB1";
        p->SerialNo = serial;
        p->StopFlag = 1;
        p->ReadTimeout = p->WriteTimeout = 500;
        KQ_Init_PROPERTY(p.get());
        KQ_OpenUSB(p.get());
        for (int i = 0; i < n; ++i) {
            std::strcpy(p->IN_TA, "R0");
            auto t0 = Clock::now();
            KQ_TagCommand(p.get());
            lib.push_back(Ms(Clock::now() - t0));
        }
        KQ_CloseUSB(p.get());
    }
    {
        Service kqd({"KQSIM0001"});
        kqd.WaitOnline(1);
        int fd = Connect(kqd.Port());
        std::string body = R"({"text":"R0"})";
        std::string req =
            "POST /v1/readers/KQSIM0001/command HTTP/1.1\r\nHost: 127.0.0.1:" +
            std::to_string(kqd.Port()) +
            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
        char buf[4096];
        for (int i = 0; i < n; ++i) {
            auto t0 = Clock::now();
            SendAll(fd, req);
            std::string got;
            // One answer: header and a body of Content-Length bytes.
            for (;;) {
                ssize_t r = recv(fd, buf, sizeof buf, 0);
                if (r <= 0) {
                    break;
                }
                got.append(buf, static_cast<size_t>(r));
                size_t h = got.find("\r\n\r\n");
                size_t cl = got.find("Content-Length: ");
                if (h != std::string::npos && cl != std::string::npos &&
                    got.size() >= h + 4 + std::strtoul(got.c_str() + cl + 16, nullptr, 10)) {
                    break;
                }
            }
            api.push_back(Ms(Clock::now() - t0));
        }
        close(fd);
    }
    std::printf("== ops: tag command, %d calls each (timing off)\n", n);
    Stats("library KQ_TagCommand", lib);
    Stats("API POST /command (keep-alive)", api);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "sse-clients") == 0) {
        return SseClients(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]),
                          std::atoi(argv[4]), std::strcmp(argv[5], "churn") == 0);
    }
    signal(SIGPIPE, SIG_IGN);
    setenv("KQ_D2XX", KQSIM_LIBRARY_PATH, 1);
    std::map<std::string, int> want;
    for (int i = 1; i + 1 < argc; i += 2) {
        want[argv[i]] = std::atoi(argv[i + 1]);
    }
    if (want.empty()) {
        want = {{"latency", 100}, {"cpu", 10}, {"rss", 20}, {"ops", 100}};
    }
    if (want.count("latency")) {
        Latency(want["latency"]);
    }
    if (want.count("ops")) {
        Ops(want["ops"]);
    }
    if (want.count("cpu")) {
        Cpu(argv[0], want["cpu"]);
    }
    if (want.count("rss")) {
        Rss(argv[0], want["rss"]);
    }
    return 0;
}
