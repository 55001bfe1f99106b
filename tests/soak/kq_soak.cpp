// Soak: thousands of starts and stops of every loop kind, and of open, close
// and unplug, against the simulated reader. Threads, descriptors, driver
// handles and memory are measured after a warm-up and again at the end; the
// program fails when any of them grew.
// Usage: kq_soak [CYCLES]   (cycles per phase, default 1000)
#include "kq.h"
#include "kqsim.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

constexpr const char* kSerial = "KQSIM0001";
constexpr const char* kUid = "E004010000000001";

int Entries(const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(d)) {
        n += e->d_name[0] != '.';
    }
    closedir(d);
    return n;
}

long RssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

struct Figures {
    int threads;
    int fds;
    int handles;
    size_t heap; // bytes in use by malloc
    long rss_kb;
};

Figures Measure() {
    // Let threads that have just been released finish leaving.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    malloc_trim(0);
    return {Entries("/proc/self/task"), Entries("/proc/self/fd"), kqsim_open_handles(),
            mallinfo2().uordblks, RssKb()};
}

void Print(const char* when, const Figures& f) {
    std::printf("%-8s threads %d, descriptors %d, driver handles %d, heap in use %zu bytes, "
                "RSS %ld kB\n",
                when, f.threads, f.fds, f.handles, f.heap, f.rss_kb);
}

int g_read_end = -1;

// Notifications received so far with this message number (drains the pipe).
int Seen(uint32_t message) {
    static int counts[4] = {0, 0, 0, 0};
    KQ_NOTIFICATION n;
    while (read(g_read_end, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
        if (n.Message >= WM_KQ_DATA && n.Message <= WM_KQ_USBERROR) {
            ++counts[n.Message - WM_KQ_DATA];
        }
    }
    return counts[message - WM_KQ_DATA];
}

bool Check(bool ok, const char* what, int cycle) {
    if (!ok) {
        std::fprintf(stderr, "kq_soak: %s (cycle %d)\n", what, cycle);
    }
    return ok;
}

// One start and stop of a loop kind; every 20th with a tag in the field, so
// the workers also read, write and report.
bool LoopCycle(KQ_PROPERTY* prop, int kind, int cycle) {
    bool tag = cycle % 20 == 0;
    if (tag) {
        kqsim_tag_add(kUid, 4, 8);
    }
    prop->LoopMode = 1;
    int r = KQ_OK;
    switch (kind) {
    case KQ_LOOP_UID:
        r = KQ_GetUID(prop);
        break;
    case KQ_LOOP_MULTIREAD:
        r = KQ_MultiRead(prop);
        break;
    case KQ_LOOP_MULTIWRITE:
        r = KQ_MultiWrite(prop);
        break;
    default:
        r = KQ_TagCommand(prop); // no tag: the one-shot fails, the loop starts
        break;
    }
    int loopends = Seen(WM_KQ_LOOPEND);
    bool started = prop->hThread != nullptr;
    KQ_LoopStop(prop);
    bool ok = Check(r == KQ_OK, "the operation failed", cycle) &&
              Check(prop->hThread == nullptr, "hThread left set", cycle);
    if (started) {
        ok = ok && Check(Seen(WM_KQ_LOOPEND) == loopends + 1, "no WM_KQ_LOOPEND", cycle);
    }
    if (tag) {
        kqsim_field_clear();
    }
    return ok;
}

// Open, probe, close; then a running loop whose reader is unplugged.
bool DeviceCycle(KQ_PROPERTY* prop, int cycle) {
    bool ok = Check(KQ_OpenUSB(prop) == KQ_OK, "open failed", cycle) &&
              Check(KQ_CheckStatusUSB(prop) == 0, "probe failed", cycle) &&
              Check(KQ_CloseUSB(prop) == KQ_OK, "close failed", cycle);
    ok = ok && Check(KQ_OpenUSB(prop) == KQ_OK, "reopen failed", cycle);
    prop->LoopMode = 1;
    ok = ok && Check(KQ_GetUID(prop) == KQ_OK, "loop start failed", cycle);
    int losses = Seen(WM_KQ_USBERROR);
    kqsim_unplug();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Seen(WM_KQ_USBERROR) == losses && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ok = ok && Check(Seen(WM_KQ_USBERROR) == losses + 1, "no WM_KQ_USBERROR", cycle);
    KQ_LoopStop(prop);
    ok = ok && Check(prop->hThread == nullptr, "hThread left set after the loss", cycle);
    KQ_CloseUSB(prop); // the unplugged device is released all the same
    ok = ok && Check(prop->Handle == nullptr, "Handle left set", cycle);
    kqsim_replug();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    setenv("KQ_D2XX", KQSIM_LIBRARY_PATH, 1);
    int fds[2];
    if (pipe(fds) != 0) {
        return 2;
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_read_end = fds[0];

    kqsim_reset();
    kqsim_set_timing(0);
    kqsim_set_logging(0); // the call log would grow without end
    kqsim_set_loop_interval(5);

    static KQ_PROPERTY prop;
    std::memset(&prop, 0, sizeof prop);
    prop.SerialNo = kSerial;
    prop.ReadTimeout = 300;
    prop.WriteTimeout = 300;
    prop.StopFlag = 1;
    prop.hWnd = fds[1];
    KQ_Init_PROPERTY(&prop);
    prop.IN_MR.StartBlock = 0;
    prop.IN_MR.BlockCount = 2;
    prop.IN_MW.StartBlock = 0;
    prop.IN_MW.BlockCount = 2;
    std::strcpy(prop.IN_MW.TagInfo[0].UID, kUid);
    std::strcpy(prop.IN_MW.TagInfo[0].Data, "ABCD1234");
    std::strcpy(prop.IN_TA, "ABC");

    // Warm-up: every path once, so that what is set up once per process
    // (the driver binding, the simulator, thread stacks kept for reuse) is
    // in the first figures.
    bool ok = KQ_OpenUSB(&prop) == KQ_OK;
    for (int kind = KQ_LOOP_UID; ok && kind <= KQ_LOOP_TAGCOMMAND; ++kind) {
        ok = LoopCycle(&prop, kind, 0);
    }
    ok = ok && KQ_CloseUSB(&prop) == KQ_OK && DeviceCycle(&prop, 0);
    if (!ok) {
        return 1;
    }
    const Figures before = Measure();
    Print("before", before);

    auto start = std::chrono::steady_clock::now();
    ok = KQ_OpenUSB(&prop) == KQ_OK;
    static const char* const kNames[] = {"", "UID", "multi-read", "multi-write", "tag-command"};
    for (int kind = KQ_LOOP_UID; ok && kind <= KQ_LOOP_TAGCOMMAND; ++kind) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 1; ok && i <= cycles; ++i) {
            ok = LoopCycle(&prop, kind, i);
        }
        std::printf("%s loop: %d starts and stops in %.1f s\n", kNames[kind], cycles,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    ok = ok && KQ_CloseUSB(&prop) == KQ_OK;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; ok && i <= cycles; ++i) {
        ok = DeviceCycle(&prop, i);
    }
    std::printf("open/close/unplug: %d cycles in %.1f s\n", cycles,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (!ok) {
        return 1;
    }

    const Figures after = Measure();
    Print("after", after);
    std::printf("total %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    // Some slack for the allocator's own bookkeeping; a leak per cycle
    // over this many cycles is far above it.
    constexpr size_t kHeapSlack = 64 * 1024;
    constexpr long kRssSlackKb = 4096;
    bool held =
        Check(after.threads == before.threads, "threads left over", cycles) &&
        Check(after.fds == before.fds, "descriptors left over", cycles) &&
        Check(after.handles == 0 && before.handles == 0, "driver handles left open", cycles) &&
        Check(after.heap <= before.heap + kHeapSlack, "heap grew", cycles) &&
        Check(after.rss_kb <= before.rss_kb + kRssSlackKb, "RSS grew", cycles);
    std::printf(held ? "kq_soak: nothing left over\n" : "kq_soak: FAILED\n");
    return held ? 0 : 1;
}
