// The reader kqtool talks to: a real one (--real, or by default when one is
// attached) or the built-in simulated reader (--simulated, or by default when
// no real reader is attached). For the simulator the tool points KQ_D2XX at
// the simulator library, loads the same library itself to set up a demo
// scenario through its control functions, and in loop mode moves tags in and
// out of the simulated field from a thread of its own.
#pragma once

#include "kqsim.h"
#include "options.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kqtool {

// The control functions of the simulated reader, bound at run time.
struct SimApi {
    decltype(&kqsim_reset) reset = nullptr;
    decltype(&kqsim_set_timing) set_timing = nullptr;
    decltype(&kqsim_set_loop_interval) set_loop_interval = nullptr;
    decltype(&kqsim_tag_add) tag_add = nullptr;
    decltype(&kqsim_tag_remove) tag_remove = nullptr;
    decltype(&kqsim_field_clear) field_clear = nullptr;
    decltype(&kqsim_tag_set_data) tag_set_data = nullptr;
    decltype(&kqsim_tag_set_sensor) tag_set_sensor = nullptr;
    decltype(&kqsim_unplug) unplug = nullptr;
};

// Tags of the demo scenario.
struct DemoTag {
    const char* uid;
    unsigned block_size;
    unsigned block_count;
    const char* data; // written from block 0
    bool in_field;    // in the field at the start
    bool churns;      // moved in and out by the field driver in loop mode
};
const std::vector<DemoTag>& DemoTags();
// UID of the demo's sensor tag.
const char* DemoSensorUid();

// How many readers the real drivers (KQ_D2XX as set: unset = the vendor
// library, on Linux falling back to the kernel serial driver; "serial"; or a
// D2XX library's path) list now, found without the KQ library, which binds
// its driver once per process at its first call. A KQ_D2XX that names the
// simulated reader library lists no real reader.
int CountRealReaders();

class Target {
  public:
    Target() = default;
    ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Chooses the target (without --real or --simulated: the real drivers
    // when they list a reader now, else the simulator, said on stderr).
    // Simulator: sets KQ_D2XX, loads the library, builds the scenario. Real
    // reader: nothing to do. Must run before the first library call.
    bool Prepare(const Options& options, std::string* error);
    bool IsSimulated() const { return simulated_; }
    // When the simulator was chosen because no real reader was attached,
    // says so on stderr (once), before the first reader is used.
    void SayWhenSimulatedForLackOfReader();

    // Simulator only: takes every tag out of the field, so that a loop that
    // waits for a tag has something to wait for.
    void EmptyField();

    // Simulator only: a thread that toggles one churning tag every churn_ms
    // (0 = never) and unplugs the reader after unplug_ms (< 0 = never).
    void StartFieldDriver(int churn_ms, int unplug_ms);
    void StopFieldDriver();

  private:
    void DriveField(int churn_ms, int unplug_ms);

    bool PrepareSimulator(const Options& options, std::string* error);

    bool simulated_ = false;
    bool fallback_ = false;
    bool said_ = false;
    void* library_ = nullptr;
    SimApi sim_;
    std::vector<bool> in_field_; // per demo tag, as the tool last set it
    std::thread driver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_driver_ = false;
};

} // namespace kqtool
