// The one-shot commands: each opens the reader, makes one library call (or a
// run of them, for long reads and writes), closes the reader and prints the
// result.
#include "commands.h"

#include "arguments.h"
#include "host.h"
#include "output.h"
#include "records.h"
#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace kqtool {

namespace {

// Runs longer than this are split into library calls of this many blocks, so
// that progress shows between calls. The reader exchanges 16 blocks at a
// time, so the split adds no exchange.
constexpr unsigned kStepBlocks = 16;

// Progress of a long read or write, on stderr. Rewrites one line on a
// terminal; prints a line per step otherwise (when asked for with
// --progress).
class Progress {
  public:
    Progress(bool enabled, std::string label, unsigned total)
        : enabled_(enabled), label_(std::move(label)), total_(total),
          in_place_(IsTerminal(stderr)) {}
    void Update(unsigned done) {
        if (!enabled_) {
            return;
        }
        std::fprintf(stderr, "%s%s: %u/%u blocks%s", in_place_ ? "\r" : "", label_.c_str(), done,
                     total_, in_place_ ? "" : "\n");
        std::fflush(stderr);
    }
    void Finish() {
        if (enabled_ && in_place_) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

  private:
    bool enabled_;
    std::string label_;
    unsigned total_;
    bool in_place_;
};

bool WantProgress(const Options& options) {
    if (options.progress >= 0) {
        return options.progress == 1;
    }
    return IsTerminal(stdout);
}

// Whether a run is made in steps: it is longer than one step, and every
// step's first block is still a block number.
bool SplitIntoSteps(unsigned start, unsigned count) {
    return count > kStepBlocks && start + count - 1 <= 255;
}

std::string BlockRange(unsigned start, unsigned count) {
    if (count == 0) {
        return "no blocks";
    }
    if (count == 1) {
        return "block " + std::to_string(start);
    }
    return "blocks " + std::to_string(start) + "-" + std::to_string(start + count - 1);
}

// " (after 16 of 64 blocks)" for a run that failed after some steps.
std::string PartDone(unsigned done, unsigned count) {
    if (done == 0) {
        return "";
    }
    return " (after " + std::to_string(done) + " of " + std::to_string(count) + " blocks)";
}

void ReportInterruption(const std::string& what, unsigned done, unsigned count) {
    ReportError(what + " interrupted after " + std::to_string(done) + " of " +
                std::to_string(count) + " blocks");
}

// The end of a run in parts (done of count blocks, the last step's rc):
// reports an interruption or a failure; true when it was interrupted.
bool ReportPartsEnd(const std::string& what, int rc, unsigned done, unsigned count, Op op) {
    const bool interrupted = rc == KQ_OK && done < count;
    if (interrupted) {
        ReportInterruption(what, done, count);
    } else if (rc != KQ_OK) {
        ReportFailure(what + PartDone(done, count), rc, op);
    }
    return interrupted;
}

// 128 + the signal, as a shell reports a program the signal ended.
int InterruptedExit() {
    return StopSignal() > 0 ? 128 + StopSignal() : kExitFailed;
}

int Finish(int rc) {
    return rc == KQ_OK ? kExitOk : kExitFailed;
}

void PrintJson(JsonObject& json) {
    PrintLine(json.Text());
}

JsonObject ResultJson(const char* command, int code, Op op) {
    JsonObject json;
    json.Str("command", command);
    AddResult(json, code, op);
    return json;
}

// The JSON result of a read or write run: an interrupted one is not ok, its
// last library call was, and "done" says how many blocks it got through.
JsonObject RunJson(const char* command, int rc, Op op, bool interrupted, unsigned done) {
    if (!interrupted) {
        return ResultJson(command, rc, op);
    }
    JsonObject json;
    json.Str("command", command).Bool("ok", false).Int("result", rc);
    json.Bool("interrupted", true).Int("done", done);
    if (SimulatedMark()) {
        json.Bool("simulated", true);
    }
    return json;
}

// The result of a multi read or write: the tags the record lists (a read
// lists every tag of the inventory, a write each tag it wrote).
int ReportMulti(const Options& options, const char* command, Op op, int rc, unsigned start,
                unsigned count, unsigned tag_count, unsigned done_count, const KQ_TAGINFO* tags,
                size_t n) {
    const bool reads = op == Op::MultiRead;
    if (rc != KQ_OK) {
        ReportFailure(command, rc, op);
    }
    bool done = rc == KQ_OK || rc == KQ_ERR_BUZZER;
    if (options.json) {
        JsonObject json = ResultJson(command, rc, op);
        json.Int("start", start).Int("count", count);
        if (done) {
            json.Int("tag_count", tag_count).Int("done_count", done_count);
            json.Raw(reads ? "tags" : "written", TagsJson(tags, n, reads));
        }
        PrintJson(json);
    } else if (done) {
        PrintLine(std::to_string(tag_count) + (tag_count == 1 ? " tag" : " tags") +
                  " in the field, " + std::to_string(done_count) +
                  (reads ? " read (" : " written (") + BlockRange(start, count) + ")" +
                  (n > 0 ? ":" : ""));
        PrintTagLines(tags, n, reads);
    }
    return Finish(rc);
}

bool CheckArgCount(const Options& options, size_t min, size_t max, const char* usage,
                   int* exit_status) {
    if (options.args.size() < min || options.args.size() > max) {
        *exit_status = UsageError(usage);
        return false;
    }
    return true;
}

} // namespace

// ---- list, probe, beep --------------------------------------------------

int RunList(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 0, 0, "kqtool list", &exit_status)) {
        return exit_status;
    }
    target.SayWhenSimulatedForLackOfReader();
    int count = 0;
    int rc = KQ_GetReaderCount(&count);
    std::vector<std::string> serials;
    for (int i = 0; rc == KQ_OK && i < count; ++i) {
        char buffer[KQ_SERIALNO_BUFFER_SIZE] = {};
        // A reader unplugged meanwhile is left out.
        if (KQ_GetSerialNoAt(i, buffer) == KQ_OK) {
            buffer[sizeof buffer - 1] = '\0';
            serials.emplace_back(buffer);
        }
    }
    if (rc == KQ_OK && serials.empty()) {
        rc = KQ_ERR_SERIALNO; // what KQ_GetSerialNo says when there is none
    }
    if (rc != KQ_OK) {
        ReportFailure("no reader found", rc, Op::GetSerialNo);
        ExplainRealFailure(target, nullptr);
    }
    if (options.json) {
        JsonObject json = ResultJson("list", rc, Op::GetSerialNo);
        json.Int("count", static_cast<long long>(serials.size()));
        std::string readers = "[";
        for (size_t i = 0; i < serials.size(); ++i) {
            JsonObject reader;
            reader.Int("index", static_cast<long long>(i)).Str("serial", serials[i]);
            readers += (i == 0 ? "" : ",") + reader.Text();
        }
        json.Raw("readers", readers + "]");
        if (!serials.empty()) {
            json.Str("serial", serials.front()); // the first, the default reader
        }
        PrintJson(json);
    } else {
        for (const std::string& serial : serials) {
            PrintLine(serial);
        }
    }
    return Finish(rc);
}

int RunProbe(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 0, 0, "kqtool probe", &exit_status)) {
        return exit_status;
    }
    Session session(options, target);
    int rc = session.Open("probe", 0, false);
    if (rc != KQ_OK) {
        return kExitFailed;
    }
    // KQ_CheckStatusUSB returns the driver's status, not a result code.
    int status = KQ_CheckStatusUSB(&session.P());
    int close_rc = session.Close();
    std::string status_line = "driver status " + std::to_string(status) + " (" +
                              KQ_D2xxStatusName(status) + "): " + KQ_D2xxStatusText(status);
    if (status != 0) {
        ReportError("probe of '" + session.Serial() + "' failed: " + status_line);
    }
    if (options.json) {
        // "result" is what failed first: the probe's driver status (named
        // as such), else the close's result code.
        JsonObject json;
        json.Str("command", "probe");
        if (status != 0) {
            json.Bool("ok", false).Int("result", status);
            json.Str("name", KQ_D2xxStatusName(status)).Str("meaning", KQ_D2xxStatusText(status));
            if (SimulatedMark()) {
                json.Bool("simulated", true);
            }
        } else {
            AddResult(json, close_rc, Op::Close);
        }
        json.Str("serial", session.Serial())
            .Int("status", status)
            .Str("status_name", KQ_D2xxStatusName(status))
            .Int("close_result", close_rc);
        PrintJson(json);
    } else if (status == 0) {
        PrintLine("reader " + session.Serial() + ": present (driver status 0, FT_OK)" +
                  (close_rc == KQ_OK ? ", closed" : ""));
    }
    return status == 0 && close_rc == KQ_OK ? kExitOk : kExitFailed;
}

int RunBeep(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 0, 1, "kqtool beep [LENGTH]", &exit_status)) {
        return exit_status;
    }
    long long length = 1;
    if (!options.args.empty() && !ParseNumber(options.args[0], 0, 255, &length)) {
        return UsageError("LENGTH (units of 100 ms) must be a number 0-255, not '" +
                          options.args[0] + "'");
    }
    Session session(options, target);
    if (session.Open("beep", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    int rc = KQ_BuzzerCommand(&session.P(), static_cast<int>(length));
    session.Close();
    if (rc != KQ_OK) {
        ReportFailure("beep", rc, Op::Buzzer);
    }
    if (options.json) {
        JsonObject json = ResultJson("beep", rc, Op::Buzzer);
        json.Int("length_ms", length * 100);
        PrintJson(json);
    } else if (rc == KQ_OK) {
        PrintLine("beep " + std::to_string(length * 100) + " ms: done");
    }
    return Finish(rc);
}

// ---- inventory, tag command ---------------------------------------------

int RunInventory(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 0, 0, "kqtool inventory", &exit_status)) {
        return exit_status;
    }
    Session session(options, target);
    if (session.Open("inventory", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    int rc = KQ_GetUID(&session.P());
    KQ_OUT_GU& gu = session.P().OUT_GU;
    std::vector<std::string> uids = InventoryUids(gu);
    session.Close();
    if (rc != KQ_OK) {
        std::string what = "inventory";
        if (rc == KQ_ERR_UIDCOUNT && gu.Count > 4) {
            what += " (the reader reported " + std::to_string(gu.Count) + " tags)";
        }
        ReportFailure(what, rc, Op::GetUID);
    }
    bool have_uids = rc == KQ_OK || rc == KQ_ERR_BUZZER;
    if (options.json) {
        JsonObject json = ResultJson("inventory", rc, Op::GetUID);
        json.Int("count", gu.Count);
        json.StrArray("uids", have_uids ? uids : std::vector<std::string>());
        PrintJson(json);
    } else if (have_uids) {
        if (uids.empty()) {
            PrintLine("no tag in the field");
        } else {
            PrintLine(std::to_string(uids.size()) + (uids.size() == 1 ? " tag" : " tags") +
                      " in the field:");
            for (const std::string& uid : uids) {
                PrintLine("  " + uid);
            }
        }
    }
    return Finish(rc);
}

// Polls the field until a tag is in it: one inventory every kWaitPollMs.
constexpr int kWaitPollMs = 100;

int RunWait(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 0, 0, "kqtool wait [--timeout MS]", &exit_status)) {
        return exit_status;
    }
    // --timeout is how long to wait; the device keeps its usual timeouts.
    Options device_options = options;
    device_options.timeout_ms = Options{}.timeout_ms;
    const double limit_ms = options.timeout_given ? options.timeout_ms : -1.0;
    InstallStopHandler();
    Session session(device_options, target);
    if (session.Open("wait", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    // The simulated reader starts with an empty field: its tags arrive one
    // by one, every --churn milliseconds.
    target.EmptyField();
    target.StartFieldDriver(options.churn_ms, options.sim_unplug_ms);
    const double start_ms = NowMs();
    int rc = KQ_OK;
    std::vector<std::string> uids;
    bool timed_out = false;
    for (;;) {
        rc = KQ_GetUID(&session.P());
        const KQ_OUT_GU& gu = session.P().OUT_GU;
        if (rc != KQ_OK && rc != KQ_ERR_BUZZER) {
            break;
        }
        uids = InventoryUids(gu);
        if (!uids.empty() || StopRequested()) {
            break;
        }
        const double waited = NowMs() - start_ms;
        if (limit_ms >= 0 && waited >= limit_ms) {
            timed_out = true;
            break;
        }
        double pause = kWaitPollMs;
        if (limit_ms >= 0) {
            pause = std::min(pause, limit_ms - waited);
        }
        const double until = NowMs() + pause;
        while (NowMs() < until && !StopRequested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    target.StopFieldDriver();
    const bool lost = rc != KQ_OK && rc != KQ_ERR_BUZZER && KQ_CheckStatusUSB(&session.P()) != 0;
    session.Close();
    const long long waited_ms = static_cast<long long>(NowMs() - start_ms);
    const bool found = !uids.empty();
    const bool interrupted = !found && !timed_out && rc == KQ_OK && StopRequested();
    if (rc != KQ_OK && rc != KQ_ERR_BUZZER) {
        ReportFailure(lost ? "wait (the reader was lost)" : "wait", rc, Op::GetUID);
    } else if (timed_out) {
        ReportError("no tag within " + std::to_string(options.timeout_ms) + " ms");
    } else if (interrupted) {
        ReportError("wait interrupted after " + std::to_string(waited_ms) + " ms");
    }
    if (options.json) {
        JsonObject json;
        if (found || rc != KQ_OK) {
            json = ResultJson("wait", rc, Op::GetUID);
        } else {
            // The reader answered every time, with an empty field.
            json.Str("command", "wait").Bool("ok", false).Int("result", KQ_OK);
            json.Bool(timed_out ? "timed_out" : "interrupted", true);
            if (SimulatedMark()) {
                json.Bool("simulated", true);
            }
        }
        json.Int("waited_ms", waited_ms).StrArray("uids", uids);
        PrintJson(json);
    } else {
        for (const std::string& uid : uids) {
            PrintLine(uid);
        }
    }
    if (found) {
        return kExitOk;
    }
    if (timed_out) {
        return kExitNoTag;
    }
    if (interrupted) {
        return InterruptedExit();
    }
    return lost ? kExitReaderLost : kExitFailed;
}

int RunTagCommand(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 1, 1, "kqtool tag-command TEXT", &exit_status)) {
        return exit_status;
    }
    const std::string& text = options.args[0];
    std::string error;
    if (!CheckTagCommandText(text, &error)) {
        return UsageError(error);
    }
    Session session(options, target);
    if (session.Open("tag-command", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    KQ_PROPERTY& p = session.P();
    CopyText(text, p.IN_TA, sizeof p.IN_TA);
    int rc = KQ_TagCommand(&p);
    std::string answer = FieldText(p.OUT_TA, sizeof p.OUT_TA);
    session.Close();
    if (rc == KQ_ERR_TAG) {
        ReportFailure("tag command '" + text + "' (sub-status " + answer + ")", rc, Op::TagCommand);
    } else if (rc != KQ_OK) {
        ReportFailure("tag command '" + text + "'", rc, Op::TagCommand);
    }
    bool answered = rc == KQ_OK || rc == KQ_ERR_BUZZER;
    if (options.json) {
        JsonObject json = ResultJson("tag-command", rc, Op::TagCommand);
        json.Str("text", text);
        if (answered) {
            json.Str("answer", answer);
        } else if (rc == KQ_ERR_TAG) {
            json.Str("substatus", answer);
        }
        PrintJson(json);
    } else if (answered) {
        PrintLine("answer: " + answer);
    }
    return Finish(rc);
}

// ---- select read and write ----------------------------------------------

int RunRead(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 3, 3, "kqtool read UID START COUNT", &exit_status)) {
        return exit_status;
    }
    std::string uid = options.args[0];
    unsigned char start = 0, count = 0;
    std::string error;
    if (!CheckUid(&uid, "UID", &error) || !ParseBlockRun(options.args, 1, &start, &count, &error)) {
        return UsageError(error);
    }
    InstallStopHandler(); // Ctrl-C stops between steps and says how far it got
    Session session(options, target);
    if (session.Open("read", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    // One library call per step, or one call for the whole run.
    const unsigned step =
        SplitIntoSteps(start, count) ? kStepBlocks : std::max(1u, static_cast<unsigned>(count));
    Progress progress(WantProgress(options) && step < count, "reading " + uid, count);
    KQ_TAGINFO out;
    std::string data;
    int rc = KQ_OK;
    unsigned done = 0;
    progress.Update(done);
    do {
        KQ_IN_SR part;
        KQ_Init_IN_SR(&part);
        part.StartBlock = static_cast<unsigned char>(start + done);
        part.BlockCount = static_cast<unsigned char>(std::min(step, count - done));
        CopyUid(uid, part.UID);
        KQ_Init_TAGINFO(&out);
        rc = KQ_SelectRead(&session.P(), &part, &out);
        data += FieldText(out.Data, sizeof out.Data); // on a failure: what came before it
        if (rc == KQ_OK) {
            done += part.BlockCount;
            progress.Update(done);
        }
    } while (rc == KQ_OK && done < count && !StopRequested());
    progress.Finish();
    session.Close();
    const std::string what = "read of " + BlockRange(start, count) + " of '" + uid + "'";
    const bool interrupted = ReportPartsEnd(what, rc, done, count, Op::SelectRead);
    if (!data.empty() && (interrupted || rc != KQ_OK)) {
        std::fprintf(stderr, "kqtool: read before the %s: %s\n",
                     interrupted ? "interruption" : "failure", data.c_str());
    }
    if (options.json) {
        JsonObject json = RunJson("read", rc, Op::SelectRead, interrupted, done);
        json.Str("uid", uid).Int("start", start).Int("count", count).Str("data", data);
        PrintJson(json);
    } else if (rc == KQ_OK && !interrupted) {
        PrintLine(uid + " " + BlockRange(start, count) + ":");
        PrintLine(data);
    }
    return interrupted ? InterruptedExit() : Finish(rc);
}

int RunWrite(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 4, 4, "kqtool write UID START COUNT TEXT", &exit_status)) {
        return exit_status;
    }
    std::string uid = options.args[0];
    const std::string& text = options.args[3];
    unsigned char start = 0, count = 0;
    std::string error;
    if (!CheckUid(&uid, "UID", &error) || !ParseBlockRun(options.args, 1, &start, &count, &error) ||
        !CheckTagData(text, "TEXT", &error)) {
        return UsageError(error);
    }
    InstallStopHandler(); // Ctrl-C stops between steps and says how far it got
    Session session(options, target);
    if (session.Open("write", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    // The library decides whether the text fits the blocks. A text that
    // spreads evenly over them can be written in steps, each step with its
    // share of the text; any other goes to the library in one call.
    const bool even = count != 0 && text.size() % count == 0;
    const size_t per_block = even ? text.size() / count : 0;
    const unsigned step = even && SplitIntoSteps(start, count)
                              ? kStepBlocks
                              : std::max(1u, static_cast<unsigned>(count));
    Progress progress(WantProgress(options) && step < count, "writing " + uid, count);
    int rc = KQ_OK;
    unsigned done = 0;
    progress.Update(done);
    do {
        unsigned n = std::min(step, count - done);
        KQ_IN_SW part;
        KQ_Init_IN_SW(&part);
        part.StartBlock = static_cast<unsigned char>(start + done);
        part.BlockCount = static_cast<unsigned char>(n);
        CopyUid(uid, part.TagInfo.UID);
        std::string share = step < count ? text.substr(done * per_block, n * per_block) : text;
        CopyText(share, part.TagInfo.Data, sizeof part.TagInfo.Data);
        rc = KQ_SelectWrite(&session.P(), &part);
        if (rc == KQ_OK) {
            done += n;
            progress.Update(done);
        }
    } while (rc == KQ_OK && done < count && !StopRequested());
    progress.Finish();
    session.Close();
    const std::string what = "write of " + BlockRange(start, count) + " of '" + uid + "'";
    const bool interrupted = ReportPartsEnd(what, rc, done, count, Op::SelectWrite);
    if (options.json) {
        JsonObject json = RunJson("write", rc, Op::SelectWrite, interrupted, done);
        json.Str("uid", uid).Int("start", start).Int("count", count).Str("data", text);
        if (rc == KQ_OK && !interrupted) {
            json.Int("block_size", static_cast<long long>(per_block));
        }
        PrintJson(json);
    } else if (rc == KQ_OK && !interrupted) {
        PrintLine("wrote and verified " + BlockRange(start, count) + " of " + uid + " (" +
                  std::to_string(per_block) + " characters per block)");
    }
    return interrupted ? InterruptedExit() : Finish(rc);
}

// ---- multi read and write -----------------------------------------------

int RunMultiRead(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 2, 2, "kqtool multi-read START COUNT", &exit_status)) {
        return exit_status;
    }
    unsigned char start = 0, count = 0;
    std::string error;
    if (!ParseBlockRun(options.args, 0, &start, &count, &error)) {
        return UsageError(error);
    }
    Session session(options, target);
    if (session.Open("multi-read", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    KQ_PROPERTY& p = session.P();
    p.IN_MR.StartBlock = start;
    p.IN_MR.BlockCount = count;
    int rc = KQ_MultiRead(&p);
    session.Close();
    const KQ_OUT_MR& mr = p.OUT_MR;
    return ReportMulti(options, "multi-read", Op::MultiRead, rc, start, count, mr.TagCount,
                       mr.DoneCount, mr.TagInfo, std::min<size_t>(mr.TagCount, 4));
}

int RunMultiWrite(const Options& options, Target& target) {
    unsigned char start = 0, count = 0;
    std::vector<WriteTarget> targets;
    std::string error;
    if (!ParseMultiWriteArgs(options, &start, &count, &targets, &error)) {
        return UsageError("kqtool multi-write START COUNT (UID=TEXT ... | --file FILE): " + error);
    }
    Session session(options, target);
    if (session.Open("multi-write", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    KQ_PROPERTY& p = session.P();
    FillMultiWrite(p, start, count, targets);
    int rc = KQ_MultiWrite(&p);
    session.Close();
    const KQ_OUT_MW& mw = p.OUT_MW;
    return ReportMulti(options, "multi-write", Op::MultiWrite, rc, start, count, mw.TagCount,
                       mw.DoneCount, mw.TagInfo, std::min<size_t>(mw.DoneCount, 4));
}

// ---- sensor -------------------------------------------------------------

int RunSensor(const Options& options, Target& target) {
    int exit_status = kExitOk;
    if (!CheckArgCount(options, 1, 1, "kqtool sensor UID [--channel N | --setting HEX]",
                       &exit_status)) {
        return exit_status;
    }
    std::string uid = options.args[0];
    std::string error;
    if (!CheckUid(&uid, "UID", &error)) {
        return UsageError(error);
    }
    Session session(options, target);
    if (session.Open("sensor", 0, false) != KQ_OK) {
        return kExitFailed;
    }
    KQ_IN_SNSR in;
    KQ_Init_IN_SNSR(&in);
    in.Channel = static_cast<unsigned char>(options.channel >= 0 ? options.channel : 0);
    in.Setting = static_cast<unsigned char>(options.setting > 0 ? options.setting : 0);
    CopyUid(uid, in.UID);
    KQ_OUT_SNSR out;
    KQ_Init_OUT_SNSR(&out);
    int rc = KQ_SensorCommand(&session.P(), &in, &out);
    session.Close();
    if (rc != KQ_OK) {
        ReportFailure("sensor measurement of '" + uid + "'", rc, Op::Sensor);
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", out.Value);
    if (options.json) {
        JsonObject json = ResultJson("sensor", rc, Op::Sensor);
        json.Str("uid", uid);
        if (in.Setting != 0) {
            json.Int("setting", in.Setting);
        } else {
            json.Int("channel", in.Channel);
        }
        if (rc == KQ_OK) {
            json.Int("value", out.Value);
        }
        PrintJson(json);
    } else if (rc == KQ_OK) {
        PrintLine("sensor " + uid + ": " + std::to_string(out.Value) + " (" + hex + ")");
    }
    return Finish(rc);
}

} // namespace kqtool
