// The simulated reader's timeline: bytes in, frames parsed, commands carried
// out when due, replies and loop reports out.
#include "reader.h"

#include <algorithm>

namespace kqsim {

unsigned DefaultProcessingMs(const std::string& code) {
    return code == "SR" || code == "SW" ? 250 : 1;
}

bool Reader::Counted::Take() {
    if (times == 0) {
        return false;
    }
    if (times > 0) {
        --times;
    }
    return true;
}

// ---- Settings ---------------------------------------------------------------

void Reader::SetRealistic(bool realistic) {
    shape_.realistic = realistic;
}

void Reader::SetProcessingMs(const std::string& code, unsigned ms) {
    processing_ms_[code] = ms;
}

void Reader::SetLatencyTimer(unsigned ms) {
    shape_.latency_ms = ms;
}

void Reader::SetReplyPieces(unsigned piece_bytes, unsigned gap_ms) {
    shape_.piece_bytes = piece_bytes;
    shape_.gap_ms = piece_bytes > 0 ? gap_ms : 0;
}

void Reader::SetReplyDelay(unsigned delay_ms) {
    reply_delay_ms_ = delay_ms;
}

Duration Reader::Processing(const std::string& code) const {
    if (!shape_.realistic) {
        return Duration::zero();
    }
    auto it = processing_ms_.find(code);
    return Millis(it != processing_ms_.end() ? it->second : DefaultProcessingMs(code));
}

// ---- Host side ----------------------------------------------------------------

void Reader::Write(Time now, const uint8_t* bytes, size_t n) {
    AdvanceTo(now);
    if (n == 0) {
        return;
    }
    Time start = shape_.realistic ? std::max(now, input_free_) : now;
    for (auto& frame : parser_.Feed(bytes, n)) {
        Time at = shape_.realistic ? start + WireTime(frame.end + 1) : start;
        pending_.push_back({at, std::move(frame.body)});
    }
    input_free_ = shape_.realistic ? start + WireTime(n) : start;
    AdvanceTo(now);
}

void Reader::Break(Time now) {
    AdvanceTo(now);
    parser_.Break();
}

void Reader::TakeDue(Time now, std::string& out) {
    AdvanceTo(now);
    line_.TakeDue(now, out);
}

bool Reader::TickPossible() const {
    return loop_on_ && loop_interval_ms_ > 0 && !tags_.Field().empty();
}

std::optional<Time> Reader::NextWake() const {
    std::optional<Time> wake = line_.NextDue();
    if (!pending_.empty()) {
        wake = Earliest(wake, pending_.front().at);
    }
    if (TickPossible()) {
        wake = Earliest(wake, next_tick_);
    }
    return wake;
}

void Reader::AdvanceTo(Time now) {
    for (;;) {
        std::optional<Time> frame_at;
        if (!pending_.empty()) {
            frame_at = pending_.front().at;
        }
        if (TickPossible()) {
            Duration interval = Millis(loop_interval_ms_);
            Time horizon = now - Millis(kLoopCatchUpMs);
            if (next_tick_ < horizon && (!frame_at || *frame_at > horizon)) {
                Duration::rep skipped = (horizon - next_tick_) / interval + 1;
                next_tick_ += interval * skipped;
            }
            if (next_tick_ <= now && (!frame_at || next_tick_ < *frame_at)) {
                Time t = next_tick_;
                next_tick_ += interval;
                EmitLoopReport(t);
                continue;
            }
        }
        if (frame_at && *frame_at <= now) {
            PendingFrame frame = std::move(pending_.front());
            pending_.pop_front();
            HandleFrame(frame.at, frame.body);
            continue;
        }
        break;
    }
}

void Reader::PowerCycle() {
    parser_.Break();
    pending_.clear();
    line_.Clear();
    input_free_ = Time{};
    loop_on_ = false;
    loop_beep_ = false;
}

// ---- Frames and replies ------------------------------------------------------

Reader::Override Reader::TakeOverride(const std::string& code) {
    Override ov;
    if (auto it = drop_.find(code); it != drop_.end() && it->second.Take()) {
        ov.kind = Override::Drop;
    } else if (auto r = force_reply_.find(code);
               r != force_reply_.end() && r->second.second.Take()) {
        ov.kind = Override::Reply;
        ov.bytes = r->second.first;
    } else if (auto s = force_status_.find(code);
               s != force_status_.end() && s->second.second.Take()) {
        ov.kind = Override::Status;
        ov.status = s->second.first;
    }
    return ov;
}

std::optional<char> Reader::TakeChunkFailure(const std::string& code, unsigned start) {
    for (auto& f : chunk_failures_) {
        if (f.code == code && f.start == start && f.count.Take()) {
            return f.status;
        }
    }
    return std::nullopt;
}

void Reader::HandleFrame(Time t, const std::string& body) {
    if (trace_) {
        trace_(t, TraceKind::FromHost, "\x02" + body + "\r\n");
    }
    std::string code = body.substr(0, std::min<size_t>(2, body.size()));
    code.resize(2, '?');
    std::string params = body.size() > 2 ? body.substr(2) : std::string();
    if (code == "GU") {
        last_kind_ = LoopKind::Inventory;
        last_text_.clear();
    } else if (code == "TA") {
        last_kind_ = LoopKind::TagCommand;
        last_text_ = params;
    }

    Override ov = TakeOverride(code);
    Outcome out;
    if (ov.kind == Override::Status && ov.status != kStatusOk) {
        out = Fail(ov.status); // a forced failure changes nothing
    } else {
        out = Dispatch(t, code, params);
        if (ov.kind == Override::Status) {
            out.status = ov.status;
            out.payload.clear();
        }
    }
    if (out.effect) {
        out.effect();
    }
    if (ov.kind == Override::Drop) {
        if (trace_) {
            trace_(t, TraceKind::Note, "reply to " + code + " dropped");
        }
        return;
    }
    Time ready = t + Processing(code) + out.extra + Millis(reply_delay_ms_);
    Emit(ready, ov.kind == Override::Reply ? ov.bytes : ReplyFrame(code, out.status, out.payload));
}

void Reader::Emit(Time ready, std::string bytes) {
    if (!prefix_.empty() || !suffix_.empty()) {
        bytes = prefix_ + bytes + suffix_;
        prefix_.clear();
        suffix_.clear();
    }
    if (trace_) {
        trace_(ready, TraceKind::ToHost, bytes);
    }
    line_.Send(ready, bytes, shape_);
}

// ---- Field ------------------------------------------------------------------------

bool Reader::TagAdd(Time now, const std::string& uid, unsigned block_size, unsigned block_count) {
    AdvanceTo(now);
    bool changed = false;
    if (!tags_.Enter(uid, block_size, block_count, &changed)) {
        return false;
    }
    if (changed) {
        FieldChanged(now);
    }
    return true;
}

bool Reader::TagRemove(Time now, const std::string& uid) {
    AdvanceTo(now);
    if (!tags_.Leave(uid)) {
        return false;
    }
    FieldChanged(now);
    return true;
}

void Reader::FieldClear(Time now) {
    AdvanceTo(now);
    if (tags_.ClearField()) {
        FieldChanged(now);
    }
}

void Reader::FieldChanged(Time now) {
    if (!loop_on_) {
        return;
    }
    EmitLoopReport(now);
    next_tick_ = now + Millis(loop_interval_ms_);
}

// ---- Own loop ------------------------------------------------------------------

void Reader::SetLoopInterval(Time now, unsigned interval_ms) {
    AdvanceTo(now);
    loop_interval_ms_ = interval_ms;
    next_tick_ = now + Millis(interval_ms);
}

void Reader::EmitLoopReport(Time t) {
    const std::string code = loop_kind_ == LoopKind::Inventory ? "GU" : "TA";
    if (loop_kind_ == LoopKind::TagCommand && tags_.Field().empty()) {
        return; // the tag command is answered only by a tag in the field
    }
    if (loop_beep_) {
        ++beeps_;
    }
    Override ov = TakeOverride(code);
    std::string bytes;
    switch (ov.kind) {
    case Override::Drop:
        if (trace_) {
            trace_(t, TraceKind::Note, "loop report " + code + " dropped");
        }
        return;
    case Override::Reply:
        bytes = ov.bytes;
        break;
    case Override::Status:
        bytes = ReplyFrame(code, ov.status, "");
        break;
    case Override::None:
        if (loop_kind_ == LoopKind::Inventory) {
            bytes = ReplyFrame(code, kStatusOk, Inventory());
        } else {
            Outcome answer = TagAnswer(loop_text_);
            bytes = ReplyFrame(code, answer.status, answer.payload);
        }
        break;
    }
    Emit(t + Processing(code) + Millis(reply_delay_ms_), std::move(bytes));
}

// ---- Scripts ------------------------------------------------------------------

void Reader::TaScript(const std::string& cmd, char status, const std::string& body) {
    ta_scripts_[cmd] = {status, body};
}

void Reader::ForceStatus(const std::string& code, char status, int times) {
    force_status_[code] = {status, Counted{times}};
}

void Reader::ForceReply(const std::string& code, const std::string& bytes, int times) {
    force_reply_[code] = {bytes, Counted{times}};
}

void Reader::DropReply(const std::string& code, int times) {
    drop_[code] = Counted{times};
}

void Reader::FailChunk(const std::string& code, unsigned start_block, char status, int times) {
    for (auto& f : chunk_failures_) {
        if (f.code == code && f.start == start_block) {
            f.status = status;
            f.count = Counted{times};
            return;
        }
    }
    chunk_failures_.push_back({code, start_block, status, Counted{times}});
}

void Reader::WriteNotStick(const std::string& uid, int times) {
    not_stick_[uid] = Counted{times};
}

void Reader::ClearScripts() {
    ta_scripts_.clear();
    force_status_.clear();
    force_reply_.clear();
    drop_.clear();
    chunk_failures_.clear();
    not_stick_.clear();
}

} // namespace kqsim
