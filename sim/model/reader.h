// The simulated reader, independent of how the host reaches it.
//
// The model runs on a timeline. Bytes the host writes at time t travel over
// the serial line (1/3840 s per byte with realistic timing) and are parsed
// into command frames; each complete frame is handled at the moment its LF
// arrives; its reply is sent after the reader's processing time and becomes
// readable by the host byte by byte (or in pieces, or per USB packet with the
// chip's latency timer). The reader's own loop (after LT, until LP) sends
// reports by itself: one at every change of the field and one every loop
// interval while a tag is in the field.
//
// Nothing runs by itself: the front end calls AdvanceTo (directly or through
// Write, TakeDue and the field changes) with the current time whenever the
// host looks, and the model catches up on everything due by then. The class
// is not thread-safe; front ends serialise access.
#pragma once

#include "frame_parser.h"
#include "output_line.h"
#include "sim_time.h"
#include "tag_store.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kqsim {

// Status characters of the reader's replies.
constexpr char kStatusOk = '0';
constexpr char kStatusUnknownCommand = '1';
constexpr char kStatusNoTag = '2';        // tag not in the field, or not a sensor
constexpr char kStatusBadParameter = '3'; // malformed parameters
constexpr char kStatusNoBlocks = '4';     // the blocks do not exist on the tag
constexpr char kStatusBadLength = '5';    // SW text does not fill the blocks

constexpr unsigned kDefaultLoopIntervalMs = 200;
// Reports the reader's loop produced longer ago than this, while nobody
// looked, are not generated one by one (they would have been read or lost).
constexpr long long kLoopCatchUpMs = 10000;

unsigned DefaultProcessingMs(const std::string& code);

class Reader {
  public:
    // One line of the reader's activity for logging: a frame received from
    // the host or bytes sent to it (with the time they start on the line),
    // or a note (dropped replies).
    enum class TraceKind { FromHost, ToHost, Note };
    using Trace = std::function<void(Time, TraceKind, const std::string&)>;

    // ---- Whole-simulator settings ----
    void SetRealistic(bool realistic);
    bool Realistic() const { return shape_.realistic; }
    void SetProcessingMs(const std::string& code, unsigned ms);
    void SetLatencyTimer(unsigned ms);

    // ---- Host side ----
    void Write(Time now, const uint8_t* bytes, size_t n);
    void Break(Time now);
    // Catches up to now and appends every byte readable by then to out.
    void TakeDue(Time now, std::string& out);
    // Earliest time at which something may become readable (a reply on the
    // wire, a frame still arriving, a loop report). Call after AdvanceTo.
    std::optional<Time> NextWake() const;
    void AdvanceTo(Time now);
    // Loss of power (unplugged): loop off, partial input and everything on
    // the wire lost. Tags, scripts and settings stay.
    void PowerCycle();

    // ---- Field and tags ----
    bool TagAdd(Time now, const std::string& uid, unsigned block_size, unsigned block_count);
    bool TagRemove(Time now, const std::string& uid);
    void FieldClear(Time now);
    TagStore& Tags() { return tags_; }

    // ---- Scripts and overrides (see kqsim.h) ----
    void TaScript(const std::string& cmd, char status, const std::string& body);
    void ForceStatus(const std::string& code, char status, int times);
    void ForceReply(const std::string& code, const std::string& bytes, int times);
    void DropReply(const std::string& code, int times);
    void FailChunk(const std::string& code, unsigned start_block, char status, int times);
    void WriteNotStick(const std::string& uid, int times);
    void ClearScripts();

    // ---- Delivery of replies ----
    void SetReplyPieces(unsigned piece_bytes, unsigned gap_ms);
    void SetReplyDelay(unsigned delay_ms);
    void PrefixNextReply(const std::string& bytes) { prefix_ += bytes; }
    void SuffixNextReply(const std::string& bytes) { suffix_ += bytes; }

    // ---- Own loop ----
    void SetLoopInterval(Time now, unsigned interval_ms);
    bool LoopOn() const { return loop_on_; }
    bool LoopBeep() const { return loop_on_ && loop_beep_; }
    unsigned BeepCount() const { return beeps_; }

    void SetTrace(Trace trace) { trace_ = std::move(trace); }

  private:
    // What a command handler decided; the effect changes the reader's state
    // and runs only when the command is carried out.
    struct Outcome {
        char status = kStatusOk;
        std::string payload;
        Duration extra{}; // on top of the processing time (the beep)
        std::function<void()> effect;
    };
    static Outcome Fail(char status) {
        Outcome o;
        o.status = status;
        return o;
    }
    struct Override {
        enum Kind { None, Drop, Reply, Status } kind = None;
        std::string bytes;
        char status = kStatusOk;
    };
    struct PendingFrame {
        Time at;
        std::string body;
    };
    struct Counted {
        int times = 0; // -1 = every time
        bool Take();
    };
    struct ChunkFailure {
        std::string code;
        unsigned start = 0;
        char status = kStatusOk;
        Counted count;
    };
    enum class LoopKind { Inventory, TagCommand };

    void HandleFrame(Time t, const std::string& body);
    Outcome Dispatch(Time t, const std::string& code, const std::string& params);
    Override TakeOverride(const std::string& code);
    std::optional<char> TakeChunkFailure(const std::string& code, unsigned start);
    Duration Processing(const std::string& code) const;
    void Emit(Time ready, std::string bytes);
    void EmitLoopReport(Time t);
    void FieldChanged(Time now);
    bool TickPossible() const;
    std::string Inventory() const;
    Outcome TagAnswer(const std::string& text) const;

    // One handler per command code.
    Outcome CmdBZ(const std::string& p);
    Outcome CmdLT(Time t, const std::string& p);
    Outcome CmdLP(const std::string& p);
    Outcome CmdGU(const std::string& p);
    Outcome CmdTA(const std::string& p);
    Outcome CmdSR(const std::string& p);
    Outcome CmdSW(const std::string& p);
    Outcome CmdRC(const std::string& p);
    Outcome CmdSC(const std::string& p);
    Outcome CmdGC(const std::string& p);

    TagStore tags_;
    FrameParser parser_;
    OutputLine line_;
    LineShape shape_;
    std::map<std::string, unsigned> processing_ms_;
    Time input_free_{};
    std::deque<PendingFrame> pending_;

    unsigned reply_delay_ms_ = 0;
    std::string prefix_;
    std::string suffix_;

    std::map<std::string, std::pair<char, std::string>> ta_scripts_;
    std::map<std::string, std::pair<char, Counted>> force_status_;
    std::map<std::string, std::pair<std::string, Counted>> force_reply_;
    std::map<std::string, Counted> drop_;
    std::vector<ChunkFailure> chunk_failures_;
    std::map<std::string, Counted> not_stick_;

    bool loop_on_ = false;
    bool loop_beep_ = false;
    LoopKind loop_kind_ = LoopKind::Inventory;
    std::string loop_text_;
    LoopKind last_kind_ = LoopKind::Inventory;
    std::string last_text_;
    unsigned loop_interval_ms_ = kDefaultLoopIntervalMs;
    Time next_tick_{};
    unsigned beeps_ = 0;

    Trace trace_;
};

} // namespace kqsim
