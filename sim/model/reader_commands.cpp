// The reader's command set: one handler per two-letter command code. A
// handler looks at the parameters and the tags, decides the reply's status
// and payload, and leaves any change of state to its effect, which runs only
// when the command is carried out (not when a fault script fails it).
#include "reader.h"

#include <algorithm>
#include <cstdio>

namespace kqsim {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Two hexadecimal digits at pos.
bool Hex2(const std::string& s, size_t pos, unsigned* out) {
    if (pos + 2 > s.size()) {
        return false;
    }
    int hi = HexDigit(s[pos]);
    int lo = HexDigit(s[pos + 1]);
    if (hi < 0 || lo < 0) {
        return false;
    }
    *out = static_cast<unsigned>(hi * 16 + lo);
    return true;
}

// Reads the start block and block count of SR and SW; a chunk has 1 to 16
// blocks.
bool ChunkRange(const std::string& p, unsigned* start, unsigned* count) {
    return Hex2(p, 0, start) && Hex2(p, 2, count) && *count >= 1 && *count <= 16;
}

} // namespace

Reader::Outcome Reader::Dispatch(Time t, const std::string& code, const std::string& params) {
    using Handler = Outcome (*)(Reader&, Time, const std::string&);
    static const struct {
        const char* code;
        Handler run;
    } kCommands[] = {
        {"BZ", [](Reader& r, Time, const std::string& p) { return r.CmdBZ(p); }},
        {"LT", [](Reader& r, Time at, const std::string& p) { return r.CmdLT(at, p); }},
        {"LP", [](Reader& r, Time, const std::string& p) { return r.CmdLP(p); }},
        {"GU", [](Reader& r, Time, const std::string& p) { return r.CmdGU(p); }},
        {"TA", [](Reader& r, Time, const std::string& p) { return r.CmdTA(p); }},
        {"SR", [](Reader& r, Time, const std::string& p) { return r.CmdSR(p); }},
        {"SW", [](Reader& r, Time, const std::string& p) { return r.CmdSW(p); }},
        {"RC", [](Reader& r, Time, const std::string& p) { return r.CmdRC(p); }},
        {"SC", [](Reader& r, Time, const std::string& p) { return r.CmdSC(p); }},
        {"GC", [](Reader& r, Time, const std::string& p) { return r.CmdGC(p); }},
    };
    for (const auto& command : kCommands) {
        if (code == command.code) {
            return command.run(*this, t, params);
        }
    }
    return Fail(kStatusUnknownCommand);
}

std::string Reader::Inventory() const {
    const auto& field = tags_.Field();
    char count[16];
    std::snprintf(count, sizeof count, "%02zu", field.size());
    std::string payload = count;
    for (const auto& uid : field) {
        payload += uid;
    }
    return payload;
}

Reader::Outcome Reader::TagAnswer(const std::string& text) const {
    Outcome o;
    if (auto it = ta_scripts_.find(text); it != ta_scripts_.end()) {
        o.status = it->second.first;
        o.payload = it->second.second;
    } else if (!tags_.Field().empty()) {
        o.payload = "00" + std::string(text.rbegin(), text.rend());
    } else {
        o.payload = "01";
    }
    return o;
}

// BZ tt: sound the buzzer for tt x 100 ms, answer when the beep is over.
Reader::Outcome Reader::CmdBZ(const std::string& p) {
    unsigned tenths = 0;
    if (p.size() != 2 || !Hex2(p, 0, &tenths)) {
        return Fail(kStatusBadParameter);
    }
    Outcome o;
    if (shape_.realistic) {
        o.extra = Millis(100LL * tenths);
    }
    o.effect = [this] { ++beeps_; };
    return o;
}

// LT xx: own loop on; it repeats the last tag command (GU or TA) received.
// "01" asks for a beep at every report.
Reader::Outcome Reader::CmdLT(Time t, const std::string& p) {
    unsigned flag = 0;
    if (p.size() != 2 || !Hex2(p, 0, &flag)) {
        return Fail(kStatusBadParameter);
    }
    Outcome o;
    o.effect = [this, t, flag] {
        loop_on_ = true;
        loop_beep_ = flag == 1;
        loop_kind_ = last_kind_;
        loop_text_ = last_text_;
        next_tick_ = t + Millis(loop_interval_ms_);
    };
    return o;
}

// LP: own loop off. Reports already sent stay on their way to the host.
Reader::Outcome Reader::CmdLP(const std::string& p) {
    if (!p.empty()) {
        return Fail(kStatusBadParameter);
    }
    Outcome o;
    o.effect = [this] {
        loop_on_ = false;
        loop_beep_ = false;
    };
    return o;
}

// GU: count (two decimal digits) and the UID of every tag in the field.
Reader::Outcome Reader::CmdGU(const std::string& p) {
    if (!p.empty()) {
        return Fail(kStatusBadParameter);
    }
    Outcome o;
    o.payload = Inventory();
    return o;
}

// TA text: the tag's answer, scripted or the default.
Reader::Outcome Reader::CmdTA(const std::string& p) {
    return TagAnswer(p);
}

// SR ss cc UID: the blocks' text after a head of UID, start and count.
Reader::Outcome Reader::CmdSR(const std::string& p) {
    unsigned start = 0;
    unsigned count = 0;
    if (p.size() != 4 + kUidLength || !ChunkRange(p, &start, &count)) {
        return Fail(kStatusBadParameter);
    }
    if (auto forced = TakeChunkFailure("SR", start)) {
        return Fail(*forced);
    }
    std::string uid = p.substr(4);
    Tag* tag = tags_.FindInField(uid);
    if (tag == nullptr) {
        return Fail(kStatusNoTag);
    }
    auto data = tags_.GetData(uid, start, count);
    if (!data) {
        return Fail(kStatusNoBlocks);
    }
    Outcome o;
    o.payload = uid + p.substr(0, 4) + *data;
    return o;
}

// SW ss cc text UID: writes count blocks of the tag's block size.
Reader::Outcome Reader::CmdSW(const std::string& p) {
    unsigned start = 0;
    unsigned count = 0;
    if (p.size() < 4 + kUidLength || !ChunkRange(p, &start, &count)) {
        return Fail(kStatusBadParameter);
    }
    if (auto forced = TakeChunkFailure("SW", start)) {
        return Fail(*forced);
    }
    std::string uid = p.substr(p.size() - kUidLength);
    std::string text = p.substr(4, p.size() - 4 - kUidLength);
    Tag* tag = tags_.FindInField(uid);
    if (tag == nullptr) {
        return Fail(kStatusNoTag);
    }
    if (start + count > tag->block_count) {
        return Fail(kStatusNoBlocks);
    }
    if (text.size() != static_cast<size_t>(count) * tag->block_size) {
        return Fail(kStatusBadLength);
    }
    Outcome o;
    if (auto it = not_stick_.find(uid); it != not_stick_.end() && it->second.Take()) {
        return o; // answers success, changes nothing
    }
    o.effect = [this, uid, start, text] { tags_.SetData(uid, start, text); };
    return o;
}

namespace {

// "DC" followed by the UID: the address part of RC, SC and GC.
bool SensorAddress(const std::string& p, std::string* uid) {
    if (p.size() < 2 + kUidLength || p.compare(0, 2, "DC") != 0) {
        return false;
    }
    *uid = p.substr(2, kUidLength);
    return true;
}

// The sensor tag with this UID in the field, or null.
Tag* FieldSensor(TagStore& tags, const std::string& uid) {
    Tag* tag = tags.FindInField(uid);
    return tag != nullptr && tag->sensor ? tag : nullptr;
}

// RC and GC carry "DC" and the UID only: the sensor tag they address, or
// the status to fail with (0 when found).
char AddressedSensor(TagStore& tags, const std::string& p, Tag** tag) {
    std::string uid;
    if (p.size() != 2 + kUidLength || !SensorAddress(p, &uid)) {
        return kStatusBadParameter;
    }
    *tag = FieldSensor(tags, uid);
    return *tag == nullptr ? kStatusNoTag : 0;
}

} // namespace

// RC DC UID: the sensor's 8-character configuration.
Reader::Outcome Reader::CmdRC(const std::string& p) {
    Tag* tag = nullptr;
    if (char failed = AddressedSensor(tags_, p, &tag); failed != 0) {
        return Fail(failed);
    }
    Outcome o;
    o.payload = tag->sensor->config;
    return o;
}

// SC DC UID vv rr: trial value vv (hex) and reference setting rr.
Reader::Outcome Reader::CmdSC(const std::string& p) {
    std::string uid;
    unsigned trial = 0;
    if (p.size() != 6 + kUidLength || !SensorAddress(p, &uid) || !Hex2(p, 2 + kUidLength, &trial)) {
        return Fail(kStatusBadParameter);
    }
    Tag* tag = FieldSensor(tags_, uid);
    if (tag == nullptr) {
        return Fail(kStatusNoTag);
    }
    std::string reference = p.substr(4 + kUidLength, 2);
    Outcome o;
    o.effect = [tag, trial, reference] {
        tag->sensor->trial = trial;
        tag->sensor->reference = reference;
    };
    return o;
}

// GC DC UID: '0' and the comparator ('1' when the trial exceeds the
// threshold).
Reader::Outcome Reader::CmdGC(const std::string& p) {
    Tag* tag = nullptr;
    if (char failed = AddressedSensor(tags_, p, &tag); failed != 0) {
        return Fail(failed);
    }
    Outcome o;
    o.payload = "0";
    o.payload += tag->sensor->trial > tag->sensor->threshold ? '1' : '0';
    return o;
}

} // namespace kqsim
