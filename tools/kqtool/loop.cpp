// kqtool loop ...: runs one of the library's loop modes and prints every
// notification as it arrives, until Ctrl-C / SIGTERM or --for, then stops the
// loop and prints the loop end.
#include "arguments.h"
#include "commands.h"
#include "host.h"
#include "output.h"
#include "records.h"
#include "session.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

// The loop worker keeps writing the record's result block while the tool
// reads it after a notification; the library's contract shares the record
// without locks. The copy below is that deliberate unsynchronised read, kept
// out of ThreadSanitizer's view.
#if defined(__GNUC__) || defined(__clang__)
#define KQTOOL_UNSYNCHRONISED_READ __attribute__((no_sanitize("thread"), noinline))
#else
#define KQTOOL_UNSYNCHRONISED_READ
#endif

namespace kqtool {

namespace {

enum class LoopKind { Uid, TagCommand, MultiRead, MultiWrite };

struct LoopCommand {
    const char* name;
    LoopKind kind;
    Op op;
    const char* usage;
};

constexpr LoopCommand kLoops[] = {
    {"uid", LoopKind::Uid, Op::GetUID, "kqtool loop uid"},
    {"tag-command", LoopKind::TagCommand, Op::TagCommand, "kqtool loop tag-command TEXT"},
    {"multi-read", LoopKind::MultiRead, Op::MultiRead, "kqtool loop multi-read START COUNT"},
    {"multi-write", LoopKind::MultiWrite, Op::MultiWrite,
     "kqtool loop multi-write START COUNT (UID=TEXT ... | --file FILE)"},
};

KQTOOL_UNSYNCHRONISED_READ void CopyShared(void* dest, const void* src, size_t size) {
    const volatile unsigned char* from = static_cast<const volatile unsigned char*>(src);
    unsigned char* to = static_cast<unsigned char*>(dest);
    for (size_t i = 0; i < size; ++i) {
        to[i] = from[i];
    }
}

template <typename Block> std::unique_ptr<Block> Snapshot(const Block& shared) {
    auto copy = std::make_unique<Block>();
    CopyShared(copy.get(), &shared, sizeof(Block));
    return copy;
}

std::string Stamp(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%7.3f]", seconds);
    return buf;
}

std::string JoinUids(const std::vector<std::string>& uids) {
    std::string text;
    for (const std::string& uid : uids) {
        text += (text.empty() ? "" : " ") + uid;
    }
    return text;
}

// Elements of a that are not in b.
std::vector<std::string> Minus(const std::vector<std::string>& a,
                               const std::vector<std::string>& b) {
    std::vector<std::string> out;
    for (const std::string& x : a) {
        if (std::find(b.begin(), b.end(), x) == b.end()) {
            out.push_back(x);
        }
    }
    return out;
}

class LoopPrinter {
  public:
    LoopPrinter(const Options& options, const LoopCommand& loop, double start_ms)
        : options_(options), loop_(loop), start_ms_(start_ms) {}

    double Elapsed() const { return (NowMs() - start_ms_) / 1000.0; }

    void Started(const std::string& serial) {
        if (options_.json) {
            JsonObject json;
            json.Str("event", "start").Num("t", Elapsed()).Str("loop", loop_.name);
            json.Str("serial", serial);
            if (SimulatedMark()) {
                json.Bool("simulated", true);
            }
            PrintLine(json.Text());
        } else {
            std::string until =
                options_.for_seconds >= 0 ? "for " + Seconds(options_.for_seconds) : "until Ctrl-C";
            PrintLine(Stamp(Elapsed()) + " loop " + loop_.name + " on " + serial + " (" + until +
                      ")");
        }
    }

    void Data(const KQ_PROPERTY& p) {
        switch (loop_.kind) {
        case LoopKind::Uid:
            UidData(*Snapshot(p.OUT_GU));
            break;
        case LoopKind::TagCommand: {
            KQ_OUT_TA answer;
            CopyShared(answer, p.OUT_TA, sizeof answer);
            TagCommandData(FieldText(answer, sizeof answer));
            break;
        }
        case LoopKind::MultiRead: {
            auto mr = Snapshot(p.OUT_MR);
            MultiData("read", mr->TagCount, mr->DoneCount, mr->TagInfo,
                      std::min<size_t>(mr->TagCount, 4), true);
            break;
        }
        case LoopKind::MultiWrite: {
            auto mw = Snapshot(p.OUT_MW);
            MultiData("written", mw->TagCount, mw->DoneCount, mw->TagInfo,
                      std::min<size_t>(mw->DoneCount, 4), false);
            break;
        }
        }
    }

    void Event(const char* event, const char* text) {
        if (options_.json) {
            JsonObject json;
            json.Str("event", event).Num("t", Elapsed());
            PrintLine(json.Text());
        } else {
            PrintLine(Stamp(Elapsed()) + " " + text);
        }
    }

  private:
    static std::string Seconds(double s) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g s", s);
        return buf;
    }

    void UidData(const KQ_OUT_GU& gu) {
        std::vector<std::string> uids = InventoryUids(gu);
        std::vector<std::string> arrived = Minus(uids, last_uids_);
        std::vector<std::string> left = Minus(last_uids_, uids);
        last_uids_ = uids;
        if (options_.json) {
            JsonObject json;
            json.Str("event", "data").Num("t", Elapsed()).Str("loop", loop_.name);
            json.Int("count", gu.Count).StrArray("uids", uids);
            json.StrArray("arrived", arrived).StrArray("left", left);
            PrintLine(json.Text());
            return;
        }
        std::string line = Stamp(Elapsed()) + " ";
        line += uids.empty() ? "no tag"
                             : std::to_string(uids.size()) +
                                   (uids.size() == 1 ? " tag: " : " tags: ") + JoinUids(uids);
        if (!arrived.empty()) {
            line += "   arrived: " + JoinUids(arrived);
        }
        if (!left.empty()) {
            line += "   left: " + JoinUids(left);
        }
        PrintLine(line);
    }

    void TagCommandData(const std::string& answer) {
        if (options_.json) {
            JsonObject json;
            json.Str("event", "data").Num("t", Elapsed()).Str("loop", loop_.name);
            json.Str("text", options_.args[0]).Str("answer", answer);
            PrintLine(json.Text());
        } else {
            PrintLine(Stamp(Elapsed()) + " answer: " + answer);
        }
    }

    void MultiData(const char* verb, unsigned tag_count, unsigned done_count,
                   const KQ_TAGINFO* tags, size_t n, bool mark_failed) {
        if (options_.json) {
            JsonObject json;
            json.Str("event", "data").Num("t", Elapsed()).Str("loop", loop_.name);
            json.Int("tag_count", tag_count).Int("done_count", done_count);
            json.Raw(loop_.kind == LoopKind::MultiRead ? "tags" : "written",
                     TagsJson(tags, n, mark_failed));
            PrintLine(json.Text());
            return;
        }
        PrintLine(Stamp(Elapsed()) + " " + std::to_string(tag_count) +
                  (tag_count == 1 ? " tag" : " tags") + " in the field, " +
                  std::to_string(done_count) + " " + verb + (n > 0 ? ":" : ""));
        PrintTagLines(tags, n, mark_failed);
    }

    const Options& options_;
    const LoopCommand& loop_;
    double start_ms_;
    std::vector<std::string> last_uids_;
};

// Prints a tag command that was answered at once: loop mode then starts no
// worker, and the result is the one-shot result.
int AnsweredAtOnce(const Options& options, int rc, const std::string& answer) {
    if (rc != KQ_OK) {
        ReportFailure("tag command '" + options.args[0] + "'", rc, Op::TagCommand);
    }
    if (options.json) {
        JsonObject json;
        json.Str("command", "tag-command").Bool("loop", false);
        AddResult(json, rc, Op::TagCommand);
        json.Str("text", options.args[0]).Str("answer", answer);
        PrintLine(json.Text());
    } else {
        PrintLine("answer: " + answer + "   (answered at once: no loop needed)");
    }
    return rc == KQ_OK ? kExitOk : kExitFailed;
}

// The arguments of a loop kind, checked before the reader is opened.
struct LoopArgs {
    unsigned char start = 0;
    unsigned char count = 0;
    std::vector<WriteTarget> targets;
};

bool ParseLoopArgs(const Options& options, const LoopCommand& loop, LoopArgs* args,
                   std::string* error) {
    switch (loop.kind) {
    case LoopKind::Uid:
        if (!options.args.empty()) {
            *error = loop.usage;
            return false;
        }
        return true;
    case LoopKind::TagCommand:
        if (options.args.size() != 1) {
            *error = loop.usage;
            return false;
        }
        return CheckTagCommandText(options.args[0], error);
    case LoopKind::MultiRead:
        if (options.args.size() != 2 ||
            !ParseBlockRun(options.args, 0, &args->start, &args->count, error)) {
            *error = std::string(loop.usage) + (error->empty() ? "" : ": " + *error);
            return false;
        }
        return true;
    case LoopKind::MultiWrite:
        if (!ParseMultiWriteArgs(options, &args->start, &args->count, &args->targets, error)) {
            *error = std::string(loop.usage) + ": " + *error;
            return false;
        }
        return true;
    }
    return false;
}

// Calls the loop kind's operation with LoopMode 1.
int StartOperation(const Options& options, const LoopCommand& loop, const LoopArgs& args,
                   Target& target, KQ_PROPERTY& p) {
    switch (loop.kind) {
    case LoopKind::Uid:
        return KQ_GetUID(&p);
    case LoopKind::TagCommand:
        // Against the simulated reader the loop starts with an empty field,
        // so that the tag command has to wait for a tag to arrive.
        target.EmptyField();
        CopyText(options.args[0], p.IN_TA, sizeof p.IN_TA);
        return KQ_TagCommand(&p);
    case LoopKind::MultiRead:
        p.IN_MR.StartBlock = args.start;
        p.IN_MR.BlockCount = args.count;
        return KQ_MultiRead(&p);
    case LoopKind::MultiWrite:
        FillMultiWrite(p, args.start, args.count, args.targets);
        return KQ_MultiWrite(&p);
    }
    return KQ_ERR_PARAM;
}

// What the notifications so far have told.
struct LoopState {
    bool lost = false;  // WM_KQ_USBERROR
    bool ended = false; // WM_KQ_LOOPEND
};

// The one place that handles notifications: waits up to wait_ms for a batch
// and prints it; a device loss or the loop end closes the batch.
void Follow(NotificationChannel& channel, int wait_ms, LoopPrinter& printer, const KQ_PROPERTY& p,
            LoopState* state) {
    std::vector<KQ_NOTIFICATION> batch;
    channel.Wait(wait_ms, batch);
    for (const KQ_NOTIFICATION& n : batch) {
        if (n.Message == WM_KQ_DATA) {
            printer.Data(p);
        } else if (n.Message == WM_KQ_USBERROR) {
            printer.Event("device_lost", "reader lost (WM_KQ_USBERROR)");
            state->lost = true;
            return;
        } else if (n.Message == WM_KQ_LOOPEND) {
            printer.Event("loop_end", "loop ended (WM_KQ_LOOPEND)");
            state->ended = true;
            return;
        }
    }
}

} // namespace

int RunLoop(const Options& options, Target& target) {
    const LoopCommand* loop = nullptr;
    for (const LoopCommand& candidate : kLoops) {
        if (options.loop_kind == candidate.name) {
            loop = &candidate;
        }
    }
    if (loop == nullptr) {
        return UsageError("unknown loop kind '" + options.loop_kind +
                          "': uid, tag-command, multi-read or multi-write");
    }
    // Arguments first: nothing is opened for a usage error.
    LoopArgs args;
    std::string error;
    if (!ParseLoopArgs(options, *loop, &args, &error)) {
        return UsageError(error);
    }

    NotificationChannel channel;
    if (!channel.Open(&error)) {
        ReportError(error);
        return kExitFailed;
    }
    std::string command = std::string("loop ") + loop->name;
    Session session(options, target);
    if (session.Open(command.c_str(), channel.Target(), true) != KQ_OK) {
        return kExitFailed;
    }
    KQ_PROPERTY& p = session.P();
    InstallStopHandler();
    const double start_ms = NowMs();
    LoopPrinter printer(options, *loop, start_ms);

    int rc = StartOperation(options, *loop, args, target, p);
    if (p.hThread == nullptr) {
        // No worker: the operation failed before handing over, or (tag
        // command) the tag answered at once.
        session.Close();
        if (loop->kind == LoopKind::TagCommand && (rc == KQ_OK || rc == KQ_ERR_BUZZER)) {
            return AnsweredAtOnce(options, rc, FieldText(p.OUT_TA, sizeof p.OUT_TA));
        }
        if (rc == KQ_OK) {
            ReportError(command + ": the library started no loop worker");
            return kExitFailed;
        }
        ReportFailure(command, rc, loop->op);
        if (options.json) {
            JsonObject json;
            json.Str("command", command);
            AddResult(json, rc, loop->op);
            PrintLine(json.Text());
        }
        return kExitFailed;
    }

    printer.Started(session.Serial());
    target.StartFieldDriver(options.churn_ms, options.sim_unplug_ms);
    const double deadline = options.for_seconds >= 0 ? start_ms + options.for_seconds * 1000.0
                                                     : std::numeric_limits<double>::infinity();
    LoopState state;
    while (!state.lost && !state.ended && !StopRequested()) {
        double left = deadline - NowMs();
        if (left <= 0) {
            break;
        }
        Follow(channel, static_cast<int>(std::min(100.0, left)) + 1, printer, p, &state);
    }
    target.StopFieldDriver();

    // KQ_LoopStop waits for the worker, switches the reader's loop off and
    // posts WM_KQ_LOOPEND; after a device loss it does nothing.
    KQ_LoopStop(&p);
    if (!state.lost && !state.ended) {
        const double give_up = NowMs() + 3000.0;
        while (!state.lost && !state.ended && NowMs() < give_up) {
            Follow(channel, 100, printer, p, &state);
        }
        if (!state.lost && !state.ended) {
            ReportError(command + ": no WM_KQ_LOOPEND after KQ_LoopStop");
        }
    }
    session.Close();
    if (state.lost) {
        ReportError(command + ": the reader '" + session.Serial() + "' was lost");
        return kExitReaderLost;
    }
    return state.ended ? kExitOk : kExitFailed;
}

} // namespace kqtool
