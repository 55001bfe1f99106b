// The simulated reader's demo scenario and the thread that moves its tags.
#include "target.h"

#include "host.h"
#include "output.h"

#if defined(__linux__)
#include "link/providers/serial_ports.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

namespace kqtool {

namespace {

const std::vector<DemoTag> kDemoTags = {
    {"E0040150A1B2C301", 4, 64, "KQ-DEMO-TAG-A-HELLO-FROM-BLOCK-0", true, true},
    {"E0040150A1B2C302", 8, 64, "TAG-B---EIGHT---CHARSPERBLOCK---", true, true},
    {"E0040150A1B2C303", 4, 64, "TAG-C-ARRIVES-LATER-", false, true},
    {"E0040150A1B2C3F0", 4, 16, "SENSOR-TAG-0001-", true, false},
};

// The sensor's comparator trips above this trial value; its configuration
// carries the reference settings A1, B2, C3 of channels 0, 1, 2.
constexpr unsigned kSensorThreshold = 0x5A;
constexpr char kSensorConfig[] = "00A1B2C3";
// The reader reports its field by itself four times a second in its own loop.
constexpr unsigned kLoopIntervalMs = 250;

template <typename F> bool Bind(void* library, const char* name, F* slot, std::string* error) {
    void* symbol = SharedSymbol(library, name);
    if (symbol == nullptr) {
        *error = std::string("the simulated reader library lacks ") + name;
        return false;
    }
    *slot = reinterpret_cast<F>(symbol);
    return true;
}

} // namespace

const std::vector<DemoTag>& DemoTags() {
    return kDemoTags;
}

const char* DemoSensorUid() {
    return kDemoTags.back().uid;
}

Target::~Target() {
    StopFieldDriver();
}

namespace {

#if defined(_WIN32) && !defined(_WIN64)
#define KQTOOL_D2XX_CALL __stdcall
#else
#define KQTOOL_D2XX_CALL
#endif
using ListDevicesFn = uint32_t(KQTOOL_D2XX_CALL*)(void*, void*, uint32_t);
constexpr uint32_t kListNumberOnly = 0x80000000u;

#if defined(_WIN32)
constexpr const char* kVendorLibrary = "ftd2xx.dll";
#elif defined(__APPLE__)
constexpr const char* kVendorLibrary = "libftd2xx.dylib";
#else
constexpr const char* kVendorLibrary = "libftd2xx.so";
#endif

// Devices a D2XX library lists; -1 when it cannot be loaded or used.
int CountListed(const std::string& path) {
    std::string why;
    void* library = OpenSharedLibrary(path, &why);
    if (library == nullptr) {
        return -1;
    }
    if (SharedSymbol(library, "kqsim_reset") != nullptr) {
        return 0; // the simulated reader: no real reader
    }
    auto list = reinterpret_cast<ListDevicesFn>(SharedSymbol(library, "FT_ListDevices"));
    uint32_t count = 0;
    if (list == nullptr || list(&count, nullptr, kListNumberOnly) != 0) {
        return list == nullptr ? -1 : 0;
    }
    return static_cast<int>(count);
}

// FTDI ports of the kernel's serial driver, as the serial provider lists them.
int CountSerialPorts() {
#if defined(__linux__)
    int numbers[kq::serial::kMaxPorts];
    int total = kq::serial::ScanPorts(numbers, kq::serial::kMaxPorts);
    int count = 0;
    for (int i = 0; i < total; ++i) {
        kq::serial::PortInfo info;
        count += kq::serial::ReadPortInfo(numbers[i], &info) && kq::serial::IsFtdi(info) ? 1 : 0;
    }
    return count;
#else
    return 0;
#endif
}

} // namespace

int CountRealReaders() {
    const std::string driver = GetEnvironment("KQ_D2XX");
    if (driver == "serial") {
        return CountSerialPorts();
    }
    if (!driver.empty()) {
        return std::max(0, CountListed(driver));
    }
    int vendor = CountListed(kVendorLibrary);
#if defined(__linux__)
    if (vendor < 0) {
        return CountSerialPorts();
    }
#endif
    return std::max(0, vendor);
}

bool Target::Prepare(const Options& options, std::string* error) {
    TargetChoice choice = options.target;
    if (choice == TargetChoice::Automatic) {
        if (WantsSimulator(options)) {
            choice = TargetChoice::Simulated; // --sim-lib, --churn, --sim-unplug
        } else if (options.device.rfind("/dev/", 0) == 0 || CountRealReaders() > 0) {
            choice = TargetChoice::Real;
        } else {
            choice = TargetChoice::Simulated;
            fallback_ = true;
        }
    }
    if (choice == TargetChoice::Real) {
        simulated_ = false;
        return true;
    }
    if (!PrepareSimulator(options, error)) {
        return false;
    }
    SetSimulatedMark(true);
    return true;
}

void Target::SayWhenSimulatedForLackOfReader() {
    if (fallback_ && !said_) {
        said_ = true;
        ReportError("no reader attached; using the simulated reader (--real to require one)");
    }
}

bool Target::PrepareSimulator(const Options& options, std::string* error) {
    simulated_ = true;
    std::string path = options.sim_lib;
    if (path.empty()) {
        // Next to the executable (build tree, Windows archive); an installed
        // kqtool finds it in the library folder, given relative to its own.
        path = ExecutableDir() + SimLibraryFileName();
#ifdef KQTOOL_SIM_LIBRARY_DIR
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            path = ExecutableDir() + KQTOOL_SIM_LIBRARY_DIR + SimLibraryFileName();
        }
#endif
    }
    // The library binds its driver from KQ_D2XX at its first call; loading
    // the same file here gives the tool and the library one simulator.
    SetEnvironment("KQ_D2XX", path.c_str());
    std::string why;
    library_ = OpenSharedLibrary(path, &why);
    if (library_ == nullptr) {
        *error = "cannot load the simulated reader " + path + ": " + why +
                 " (use --sim-lib PATH, or --real for a real reader)";
        return false;
    }
    if (!Bind(library_, "kqsim_reset", &sim_.reset, error) ||
        !Bind(library_, "kqsim_set_timing", &sim_.set_timing, error) ||
        !Bind(library_, "kqsim_set_loop_interval", &sim_.set_loop_interval, error) ||
        !Bind(library_, "kqsim_tag_add", &sim_.tag_add, error) ||
        !Bind(library_, "kqsim_tag_remove", &sim_.tag_remove, error) ||
        !Bind(library_, "kqsim_field_clear", &sim_.field_clear, error) ||
        !Bind(library_, "kqsim_tag_set_data", &sim_.tag_set_data, error) ||
        !Bind(library_, "kqsim_tag_set_sensor", &sim_.tag_set_sensor, error) ||
        !Bind(library_, "kqsim_unplug", &sim_.unplug, error)) {
        return false;
    }

    sim_.reset();
    sim_.set_timing(1);
    sim_.set_loop_interval(kLoopIntervalMs);
    for (const DemoTag& tag : kDemoTags) {
        // Every tag enters the field once so that its memory exists, then
        // the ones that start outside leave again.
        if (sim_.tag_add(tag.uid, tag.block_size, tag.block_count) != 0 ||
            sim_.tag_set_data(tag.uid, 0, tag.data) != 0) {
            *error = std::string("cannot set up the simulated tag ") + tag.uid;
            return false;
        }
    }
    if (sim_.tag_set_sensor(DemoSensorUid(), kSensorThreshold, kSensorConfig) != 0) {
        *error = "cannot set up the simulated sensor tag";
        return false;
    }
    for (const DemoTag& tag : kDemoTags) {
        if (!tag.in_field) {
            sim_.tag_remove(tag.uid);
        }
        in_field_.push_back(tag.in_field);
    }
    return true;
}

void Target::EmptyField() {
    if (!simulated_ || driver_.joinable()) {
        return;
    }
    sim_.field_clear();
    in_field_.assign(in_field_.size(), false);
}

void Target::StartFieldDriver(int churn_ms, int unplug_ms) {
    if (!simulated_ || driver_.joinable() || (churn_ms <= 0 && unplug_ms < 0)) {
        return;
    }
    stop_driver_ = false;
#ifndef _WIN32
    // The stop signals belong to the main thread, which watches for them: the
    // field driver starts with them blocked and so never receives one.
    sigset_t stop_signals, old_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
#endif
    driver_ = std::thread([this, churn_ms, unplug_ms] { DriveField(churn_ms, unplug_ms); });
#ifndef _WIN32
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
#endif
}

void Target::StopFieldDriver() {
    if (!driver_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_driver_ = true;
    }
    wake_.notify_all();
    driver_.join();
}

void Target::DriveField(int churn_ms, int unplug_ms) {
    using Clock = std::chrono::steady_clock;
    std::vector<size_t> churning; // indexes into kDemoTags and in_field_
    for (size_t i = 0; i < kDemoTags.size(); ++i) {
        if (kDemoTags[i].churns) {
            churning.push_back(i);
        }
    }
    const Clock::time_point start = Clock::now();
    Clock::time_point next_churn = start + std::chrono::milliseconds(churn_ms);
    const Clock::time_point unplug_at = start + std::chrono::milliseconds(unplug_ms);
    bool unplug_pending = unplug_ms >= 0;
    size_t step = 0;

    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_driver_) {
        Clock::time_point wake = Clock::time_point::max();
        if (churn_ms > 0 && !churning.empty()) {
            wake = next_churn;
        }
        if (unplug_pending && unplug_at < wake) {
            wake = unplug_at;
        }
        if (wake == Clock::time_point::max()) {
            wake_.wait(lock, [this] { return stop_driver_; });
            break;
        }
        if (wake_.wait_until(lock, wake, [this] { return stop_driver_; })) {
            break;
        }
        Clock::time_point now = Clock::now();
        if (unplug_pending && now >= unplug_at) {
            unplug_pending = false;
            sim_.unplug();
        }
        if (churn_ms > 0 && !churning.empty() && now >= next_churn) {
            // One tag at a time, in turn: leaves if it is in the field,
            // enters if it is not.
            size_t i = churning[step++ % churning.size()];
            const DemoTag& tag = kDemoTags[i];
            if (in_field_[i]) {
                sim_.tag_remove(tag.uid);
            } else {
                sim_.tag_add(tag.uid, tag.block_size, tag.block_count);
            }
            in_field_[i] = !in_field_[i];
            next_churn += std::chrono::milliseconds(churn_ms);
        }
    }
}

} // namespace kqtool
