// Helpers of the envelope and loop tests: reply frames, waiting for the loop
// worker and for notifications, and counts of the process's threads and
// descriptors.
#pragma once

#include "support/sim_fixture.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <dirent.h>
#include <fstream>
#endif

#if defined(__SANITIZE_THREAD__)
#define KQ_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KQ_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KQ_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KQ_TEST_ASAN 1
#endif
#endif

namespace kqtest {

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls pred every millisecond until it holds or timeout_ms has passed.
template <class Pred> bool WaitUntil(Pred pred, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Runs call() on a thread of its own and waits up to limit_ms for it to
// return: true when it did. A call that hangs fails its test here instead of
// blocking the test program: the simulated reader is then unplugged, which
// ends every driver call still waiting, and the call gets limit_ms more to
// return; one that still hangs aborts the program.
template <class Call> bool ReturnsWithin(Call call, int limit_ms) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread runner([call, done]() mutable {
        call();
        done->set_value();
    });
    if (finished.wait_for(std::chrono::milliseconds(limit_ms)) == std::future_status::ready) {
        runner.join();
        return true;
    }
    kqsim_unplug();
    if (finished.wait_for(std::chrono::milliseconds(limit_ms)) != std::future_status::ready) {
        std::fprintf(stderr, "call still hangs after the reader was unplugged\n");
        std::abort();
    }
    runner.join();
    return false;
}

// Test UIDs: 16 characters, distinct for distinct n.
inline std::string Uid(int n) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "E0040100%08X", static_cast<unsigned>(n));
    return buf;
}

// Starts a multi-read loop (kind KQ_LOOP_MULTIREAD) or a multi-write loop
// over blocks 0-1 of tag Uid(1), the write putting "ABCD1234" there; returns
// what the operation returned. LoopMode and the rest of p are the caller's.
inline int StartMultiLoopOnFirstTag(KQ_PROPERTY& p, int kind) {
    if (kind == KQ_LOOP_MULTIREAD) {
        p.IN_MR.StartBlock = 0;
        p.IN_MR.BlockCount = 2;
        return KQ_MultiRead(&p);
    }
    p.IN_MW.StartBlock = 0;
    p.IN_MW.BlockCount = 2;
    std::snprintf(p.IN_MW.TagInfo[0].UID, sizeof p.IN_MW.TagInfo[0].UID, "%s", Uid(1).c_str());
    std::snprintf(p.IN_MW.TagInfo[0].Data, sizeof p.IN_MW.TagInfo[0].Data, "%s", "ABCD1234");
    return KQ_MultiWrite(&p);
}

// Inventory reply with status '0', the given count field and UIDs.
inline std::string GuReply(const std::string& count, const std::vector<std::string>& uids) {
    std::string body = "RGU0" + count;
    for (const auto& uid : uids) {
        body += uid;
    }
    return Frame(body);
}

// Tag-command reply: status, then sub-status and payload.
inline std::string TaReply(char status, const std::string& rest) {
    return Frame(std::string("RTA") + status + rest);
}

inline int CountFrames(const std::string& frame) {
    int n = 0;
    for (const auto& f : Frames()) {
        n += f == frame;
    }
    return n;
}

// Index of the first frame equal to frame, or -1.
inline long FrameIndex(const std::string& frame) {
    auto frames = Frames();
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i] == frame) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// StopFlag as the worker may write it (on device loss).
inline unsigned char StopFlagOf(const KQ_PROPERTY& p) {
    return __atomic_load_n(&p.StopFlag, __ATOMIC_ACQUIRE);
}

// Waits until a loop worker is listening: it has written LT and probed the
// device after it, so the LT reply has been read and the next bytes queued
// go to the worker's receive. Needs call logging on.
inline bool WaitListening(int timeout_ms = 5000) {
    return WaitUntil(
        [] {
            auto calls = Calls();
            auto frames = Frames();
            bool lt = false;
            for (const auto& c : calls) {
                if (c.fn == KQSIM_FT_WRITE && c.a1 < frames.size() &&
                    frames[c.a1].compare(0, 3, "\x02LT") == 0) {
                    lt = true;
                } else if (lt && c.fn == KQSIM_FT_GETSTATUS) {
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
}

// Puts bytes into the receive queue and waits until the listening worker
// has handled them: a read took them and the worker has probed the device
// again after it (its next pass). The reader must be quiet otherwise (no
// loop reports due). Needs call logging on.
inline bool InjectAndWaitHandled(const std::string& bytes, int timeout_ms = 5000) {
    size_t mark = kqsim_call_count();
    kqsim_inject_rx(bytes.data(), bytes.size());
    return WaitUntil(
        [mark] {
            size_t n = kqsim_call_count();
            bool read = false;
            for (size_t i = mark; i < n; ++i) {
                kqsim_call c{};
                if (kqsim_call_get(i, &c) != 0) {
                    continue;
                }
                if (c.fn == KQSIM_FT_READ && c.a1 > 0) {
                    read = true;
                } else if (read && c.fn == KQSIM_FT_GETSTATUS) {
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
}

// Pumps the notifier until it has seen at least count notifications with
// this number in all, or timeout_ms has passed.
inline bool WaitCount(Notifier& n, uint32_t message, int count, int timeout_ms = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        n.Drain(0);
        if (n.Count(message) >= count) {
            return true;
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        n.Drain(static_cast<int>(left < 20 ? left : 20));
    }
}

// Number of entries of a /proc/self directory; -1 where there is none.
inline int ProcEntries(const char* dir) {
#ifdef __linux__
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
#else
    (void)dir;
    return -1;
#endif
}

// Threads of this process.
inline int TaskCount() {
    return ProcEntries("/proc/self/task");
}
// Open descriptors of this process (the listing's own descriptor included
// every time, so counts compare).
inline int FdCount() {
    return ProcEntries("/proc/self/fd");
}

// Lines of /proc/self/maps: a thread that ended without being joined keeps
// its stack mapped, one joined is cached or unmapped.
inline int MappingCount() {
#ifdef __linux__
    std::ifstream in("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
    }
    return n;
#else
    return -1;
#endif
}

// Test name suffix for a loop kind, for the suites run once per kind.
inline std::string LoopKindName(const ::testing::TestParamInfo<int>& info) {
    switch (info.param) {
    case KQ_LOOP_UID:
        return "Uid";
    case KQ_LOOP_TAGCOMMAND:
        return "TagCommand";
    case KQ_LOOP_MULTIREAD:
        return "MultiRead";
    default:
        return "MultiWrite";
    }
}

} // namespace kqtest
