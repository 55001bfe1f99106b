// Reading a scenario from the kqsim command line or a scenario file, and
// applying it to a reader.
#include "scenario.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace kqsim {

const char* const kUsage =
    "usage: kqsim [options]\n"
    "Serves one simulated KQ reader on a pseudo-terminal; prints the tty path\n"
    "on the first line of standard output.\n"
    "  --tag UID[:BS:COUNT]         a tag in the field (block size 4 or 8,\n"
    "                               block count; default 4:64)\n"
    "  --sensor UID:THRESHOLD:CONFIG  a sensor tag (comparator reads 1 when\n"
    "                               the trial value exceeds THRESHOLD;\n"
    "                               CONFIG is its 8-character configuration)\n"
    "  --data UID:START:TEXT        tag memory from block START on\n"
    "  --enter MS:UID, --leave MS:UID  a tag enters / leaves MS after start\n"
    "  --churn MS                   every MS the tags leave, then re-enter\n"
    "  --interval MS                the reader loop's report interval\n"
    "  --latency MS                 FTDI latency timer model\n"
    "  --no-timing                  no wire or processing time\n"
    "  --vanish-after MS            close the pty and exit after MS\n"
    "  --scenario FILE              read directives from FILE\n"
    "  --quiet                      do not log commands and replies\n"
    "SIGUSR1 makes the reader vanish (pty closed); SIGINT/SIGTERM end it.\n";

namespace {

std::vector<std::string> Split(const std::string& s, char sep, size_t max_parts) {
    std::vector<std::string> parts;
    size_t begin = 0;
    while (parts.size() + 1 < max_parts) {
        size_t at = s.find(sep, begin);
        if (at == std::string::npos) {
            break;
        }
        parts.push_back(s.substr(begin, at - begin));
        begin = at + 1;
    }
    parts.push_back(s.substr(begin));
    return parts;
}

bool Number(const std::string& s, unsigned* out) {
    if (s.empty()) {
        return false;
    }
    try {
        size_t used = 0;
        unsigned long v = std::stoul(s, &used, 0);
        if (used != s.size() || v > 0xFFFFFFFFul) {
            return false;
        }
        *out = static_cast<unsigned>(v);
        return true;
    } catch (...) {
        return false;
    }
}

bool TagFrom(const std::vector<std::string>& f, TagEntry* tag, std::string& error) {
    tag->uid = f[0];
    if (!ValidUid(tag->uid)) {
        error = "bad UID '" + tag->uid + "' (16 characters)";
        return false;
    }
    if (f.size() >= 3) {
        if (!Number(f[1], &tag->block_size) || (tag->block_size != 4 && tag->block_size != 8) ||
            !Number(f[2], &tag->block_count) || tag->block_count > kMaxBlocks) {
            error = "bad block layout for " + tag->uid + " (block size 4 or 8, count 0-256)";
            return false;
        }
    } else if (f.size() != 1) {
        error = "bad tag '" + tag->uid + "': give both block size and count";
        return false;
    }
    return true;
}

bool SensorFrom(const std::vector<std::string>& f, SensorEntry* s, std::string& error) {
    if (f.size() != 3 || !ValidUid(f[0]) || !Number(f[1], &s->threshold) || s->threshold > 255 ||
        f[2].size() != 8) {
        error = "bad sensor (UID THRESHOLD(0-255) CONFIG(8 characters))";
        return false;
    }
    s->uid = f[0];
    s->config = f[2];
    return true;
}

bool DataFrom(const std::vector<std::string>& f, DataEntry* d, std::string& error) {
    if (f.size() != 3 || !ValidUid(f[0]) || !Number(f[1], &d->start_block) || f[2].empty()) {
        error = "bad data (UID START TEXT)";
        return false;
    }
    d->uid = f[0];
    d->text = f[2];
    return true;
}

bool EventFrom(bool enter, const std::vector<std::string>& f, ReaderSetup& sc, std::string& error) {
    FieldEvent e;
    e.enter = enter;
    if (f.size() != 2 || !Number(f[0], &e.at_ms) || !ValidUid(f[1])) {
        error = std::string("bad ") + (enter ? "enter" : "leave") + " (MS UID)";
        return false;
    }
    e.uid = f[1];
    sc.events.push_back(e);
    return true;
}

bool CodeValid(const std::string& code) {
    return code.size() == 2;
}

// processing CODE MS / status CODE CHAR [TIMES] / drop CODE [TIMES]
bool ReplyDirective(const std::string& what, const std::vector<std::string>& f, ReaderSetup& sc,
                    std::string& error) {
    unsigned v = 0;
    if (what == "processing") {
        if (f.size() != 2 || !CodeValid(f[0]) || !Number(f[1], &v)) {
            error = "bad processing (CODE MS)";
            return false;
        }
        sc.processing_ms.emplace_back(f[0], v);
        return true;
    }
    ReplyFault fault;
    size_t fixed = what == "status" ? 2 : 1;
    bool ok = f.size() >= fixed && f.size() <= fixed + 1 && CodeValid(f[0]);
    if (ok && what == "status") {
        ok = f[1].size() == 1;
        fault.status = ok ? f[1][0] : 0;
    }
    if (ok && f.size() == fixed + 1) {
        try {
            size_t used = 0;
            fault.times = std::stoi(f[fixed], &used);
            ok = used == f[fixed].size() && fault.times >= -1;
        } catch (...) {
            ok = false;
        }
    }
    if (!ok) {
        error = what == "status" ? "bad status (CODE CHAR [TIMES])" : "bad drop (CODE [TIMES])";
        return false;
    }
    fault.code = f[0];
    sc.faults.push_back(fault);
    return true;
}

bool ValidSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > kMaxSerialLength) {
        return false;
    }
    return std::all_of(serial.begin(), serial.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '-' || c == '_';
    });
}

// plug MS / unplug MS / replug MS
bool PlugDirective(const std::string& what, const std::vector<std::string>& f, ReaderSetup& part,
                   std::string& error) {
    PlugEvent e;
    if (f.size() != 1 || !Number(f[0], &e.at_ms)) {
        error = "bad " + what + " (MS)";
        return false;
    }
    if (what == "plug") {
        if (!part.attached_at_start) {
            error = "plug given twice for reader " + part.serial;
            return false;
        }
        part.attached_at_start = false;
        e.plugged = true;
    } else {
        e.plugged = what == "replug";
    }
    part.plugs.push_back(e);
    return true;
}

// The part that `reader SERIAL` starts (or continues).
bool ReaderDirective(const std::vector<std::string>& f, Scenario& sc, bool first_line,
                     ReaderSetup** part, std::string& error) {
    if (f.size() != 1 || !ValidSerial(f[0])) {
        error = "bad reader (SERIAL: 1-" + std::to_string(kMaxSerialLength) +
                " letters, digits, '-' or '_')";
        return false;
    }
    const std::string& serial = f[0];
    if (serial == kDefaultReaderSerial) {
        sc.default_reader = true;
        *part = &sc;
        return true;
    }
    if (first_line) {
        sc.default_reader = false; // the file names its readers itself
    }
    auto known = std::find_if(sc.readers.begin(), sc.readers.end(),
                              [&](const ReaderSetup& r) { return r.serial == serial; });
    if (known == sc.readers.end()) {
        ReaderSetup fresh;
        fresh.serial = serial;
        sc.readers.push_back(fresh);
        known = sc.readers.end() - 1;
    }
    *part = &*known;
    return true;
}

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return true;
}

} // namespace

bool ParseScenarioText(const std::string& text, Scenario& sc, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    ReaderSetup* part = &sc; // the part the directives go to
    bool first_directive = true;
    while (std::getline(lines, line)) {
        ++number;
        if (auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::vector<std::string> f;
        for (std::string w; words >> w;) {
            f.push_back(w);
        }
        if (f.empty()) {
            continue;
        }
        std::string what = f[0];
        f.erase(f.begin());
        bool ok = true;
        unsigned v = 0;
        ReaderSetup& r = *part;
        if (what == "reader") {
            ok = ReaderDirective(f, sc, first_directive, &part, error);
        } else if (what == "plug" || what == "unplug" || what == "replug") {
            ok = PlugDirective(what, f, r, error);
        } else if (what == "tag" && !f.empty()) {
            TagEntry tag;
            if (f.back() == "out") {
                tag.in_field = false;
                f.pop_back();
            }
            ok = TagFrom(f, &tag, error);
            r.tags.push_back(tag);
        } else if (what == "sensor") {
            SensorEntry s;
            ok = SensorFrom(f, &s, error);
            r.sensors.push_back(s);
        } else if (what == "data") {
            DataEntry d;
            ok = DataFrom(f, &d, error);
            r.data.push_back(d);
        } else if (what == "enter" || what == "leave") {
            ok = EventFrom(what == "enter", f, r, error);
        } else if ((what == "churn" || what == "latency" || what == "interval" ||
                    what == "vanish") &&
                   f.size() == 1 && Number(f[0], &v)) {
            if (what == "churn") {
                r.churn_ms = v;
            } else if (what == "latency") {
                r.latency_ms = v;
            } else if (what == "interval") {
                r.loop_interval_ms = v;
            } else {
                r.vanish_after_ms = v;
            }
        } else if (what == "processing" || what == "status" || what == "drop") {
            ok = ReplyDirective(what, f, r, error);
        } else if (what == "timing" && f.size() == 1 && (f[0] == "on" || f[0] == "off")) {
            r.realistic = f[0] == "on";
        } else {
            ok = false;
            error = "unknown directive '" + what + "'";
        }
        if (!ok) {
            error = "line " + std::to_string(number) + ": " + error;
            return false;
        }
        first_directive = false;
    }
    return true;
}

bool ParseOptions(const std::vector<std::string>& args, Scenario& sc, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                error = opt + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        auto number = [&](unsigned* out) {
            std::string v;
            if (!value(&v)) {
                return false;
            }
            if (!Number(v, out)) {
                error = opt + ": '" + v + "' is not a number";
                return false;
            }
            return true;
        };
        std::string v;
        bool ok = true;
        if (opt == "--tag") {
            TagEntry tag;
            ok = value(&v) && TagFrom(Split(v, ':', 3), &tag, error);
            sc.tags.push_back(tag);
        } else if (opt == "--sensor") {
            SensorEntry s;
            ok = value(&v) && SensorFrom(Split(v, ':', 3), &s, error);
            sc.sensors.push_back(s);
        } else if (opt == "--data") {
            DataEntry d;
            ok = value(&v) && DataFrom(Split(v, ':', 3), &d, error);
            sc.data.push_back(d);
        } else if (opt == "--enter" || opt == "--leave") {
            ok = value(&v) && EventFrom(opt == "--enter", Split(v, ':', 2), sc, error);
        } else if (opt == "--churn") {
            ok = number(&sc.churn_ms);
        } else if (opt == "--latency") {
            ok = number(&sc.latency_ms);
        } else if (opt == "--interval") {
            unsigned ms = 0;
            ok = number(&ms);
            sc.loop_interval_ms = ms;
        } else if (opt == "--vanish-after") {
            ok = number(&sc.vanish_after_ms);
        } else if (opt == "--no-timing") {
            sc.realistic = false;
        } else if (opt == "--quiet") {
            sc.quiet = true;
        } else if (opt == "--help" || opt == "-h") {
            sc.help = true;
        } else if (opt == "--scenario") {
            std::string text;
            if (!value(&v)) {
                return false;
            }
            if (!ReadFile(v, &text)) {
                error = "cannot read scenario file '" + v + "'";
                return false;
            }
            ok = ParseScenarioText(text, sc, error);
            if (ok && (!sc.readers.empty() || !sc.default_reader || !sc.plugs.empty())) {
                ok = false;
                error = "kqsim serves one reader: reader, plug, unplug and replug lines are "
                        "for the simulated reader library (KQSIM_SCENARIO)";
            }
            if (!ok) {
                error = v + ": " + error;
            }
        } else {
            ok = false;
            error = "unknown option '" + opt + "'";
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool ApplyScenario(const ReaderSetup& sc, Reader& reader, Time now, std::string& error) {
    reader.SetRealistic(sc.realistic);
    reader.SetLatencyTimer(sc.latency_ms);
    for (const auto& [code, ms] : sc.processing_ms) {
        reader.SetProcessingMs(code, ms);
    }
    for (const auto& f : sc.faults) {
        if (f.status == 0) {
            reader.DropReply(f.code, f.times);
        } else {
            reader.ForceStatus(f.code, f.status, f.times);
        }
    }
    if (sc.loop_interval_ms) {
        reader.SetLoopInterval(now, *sc.loop_interval_ms);
    }
    for (const auto& s : sc.sensors) {
        reader.Tags().SetSensor(s.uid, s.threshold, s.config);
    }
    for (const auto& t : sc.tags) {
        reader.TagAdd(now, t.uid, t.block_size, t.block_count);
        if (!t.in_field) {
            reader.TagRemove(now, t.uid);
        }
    }
    for (const auto& s : sc.sensors) {
        bool named = std::any_of(sc.tags.begin(), sc.tags.end(),
                                 [&](const TagEntry& t) { return t.uid == s.uid; });
        if (!named) {
            reader.TagAdd(now, s.uid, 4, 16);
        }
    }
    for (const auto& d : sc.data) {
        if (!reader.Tags().SetData(d.uid, d.start_block, d.text)) {
            error = "data for " + d.uid + " does not fit its memory (whole blocks, existing)";
            return false;
        }
    }
    return true;
}

std::vector<std::string> ScenarioTags(const ReaderSetup& sc) {
    std::vector<std::string> uids;
    auto add = [&](const std::string& uid) {
        if (std::find(uids.begin(), uids.end(), uid) == uids.end()) {
            uids.push_back(uid);
        }
    };
    for (const auto& t : sc.tags) {
        add(t.uid);
    }
    for (const auto& s : sc.sensors) {
        add(s.uid);
    }
    return uids;
}

std::vector<const ReaderSetup*> ReaderParts(const Scenario& sc) {
    std::vector<const ReaderSetup*> parts;
    if (sc.default_reader) {
        parts.push_back(&sc);
    }
    for (const auto& r : sc.readers) {
        parts.push_back(&r);
    }
    return parts;
}

} // namespace kqsim
