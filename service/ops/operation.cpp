#include "ops/operation.h"

#include <initializer_list>
#include <optional>

namespace kqd {

const char* OpKindName(OpKind kind) {
    switch (kind) {
    case OpKind::Read:
        return "read";
    case OpKind::Write:
        return "write";
    case OpKind::Sensor:
        return "sensor";
    case OpKind::Command:
        return "command";
    case OpKind::Beep:
        return "beep";
    case OpKind::MultiRead:
        return "multi-read";
    }
    return "unknown";
}

bool NormaliseUid(const std::string& in, std::string* out) {
    if (in.size() != 16) {
        return false;
    }
    std::string u(16, '0');
    for (size_t i = 0; i < 16; ++i) {
        char c = in[i];
        if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
        u[i] = c;
    }
    *out = u;
    return true;
}

namespace {

using nlohmann::json;

bool Printable(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// A member that must be an integer within [lo, hi]; absent -> fallback
// (a missing required member has no fallback).
std::optional<FieldError> Int(const json& body, const char* name, int lo, int hi,
                              std::optional<int> fallback, int* out) {
    auto it = body.find(name);
    if (it == body.end()) {
        if (!fallback) {
            return FieldError{name, std::string("'") + name + "' is required"};
        }
        *out = *fallback;
        return std::nullopt;
    }
    // Integers only: 1.0, "1", true and null are refused.
    if (!it->is_number_integer()) {
        return FieldError{name, std::string("'") + name + "' must be an integer"};
    }
    bool huge = it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(hi);
    int64_t v = huge ? hi + 1 : it->get<int64_t>();
    if (v < lo || v > hi) {
        return FieldError{name, std::string("'") + name + "' must be " + std::to_string(lo) + "-" +
                                    std::to_string(hi)};
    }
    *out = static_cast<int>(v);
    return std::nullopt;
}

std::optional<FieldError> Text(const json& body, const char* name, size_t max, std::string* out) {
    auto it = body.find(name);
    if (it == body.end()) {
        return FieldError{name, std::string("'") + name + "' is required"};
    }
    if (!it->is_string()) {
        return FieldError{name, std::string("'") + name + "' must be a string"};
    }
    const std::string& s = it->get_ref<const std::string&>();
    if (s.empty() || s.size() > max) {
        return FieldError{name, std::string("'") + name + "' must be 1-" + std::to_string(max) +
                                    " characters"};
    }
    if (!Printable(s)) {
        return FieldError{name, std::string("'") + name +
                                    "' must be printable ASCII (no STX, CR, LF or other "
                                    "control characters, nothing outside ASCII)"};
    }
    *out = s;
    return std::nullopt;
}

std::optional<FieldError> OnlyMembers(const json& body,
                                      std::initializer_list<const char*> allowed) {
    for (auto it = body.begin(); it != body.end(); ++it) {
        bool known = false;
        for (const char* a : allowed) {
            known = known || it.key() == a;
        }
        if (!known) {
            // A key that cannot name a field (empty, control characters, not
            // ASCII) is blamed on the body.
            const std::string& key = it.key();
            bool nameable = !key.empty() && key.size() <= 64 && Printable(key);
            return FieldError{nameable ? key : "body",
                              nameable ? "unknown member '" + key + "'" : "an unknown member"};
        }
    }
    return std::nullopt;
}

std::optional<FieldError> Run(OpRequest& r, const json& body) {
    if (auto e = Int(body, "first", 0, kMaxBlock, 0, &r.first)) {
        return e;
    }
    if (auto e = Int(body, "count", 1, kMaxBlock, std::nullopt, &r.count)) {
        return e;
    }
    if (r.first + r.count > kMaxBlock + 1) {
        return FieldError{"count", "the run ends past block 255 (first + count must be <= 256)"};
    }
    return std::nullopt;
}

std::optional<FieldError> Fill(OpRequest& r, const json& body) {
    switch (r.kind) {
    case OpKind::Read:
        if (auto e = OnlyMembers(body, {"first", "count"})) {
            return e;
        }
        return Run(r, body);
    case OpKind::MultiRead:
        if (auto e = OnlyMembers(body, {"first", "count"})) {
            return e;
        }
        return Run(r, body);
    case OpKind::Write: {
        if (auto e = OnlyMembers(body, {"first", "text", "block_size"})) {
            return e;
        }
        if (auto e = Int(body, "first", 0, kMaxBlock, 0, &r.first)) {
            return e;
        }
        if (auto e = Int(body, "block_size", 4, 8, 4, &r.block_size)) {
            return e;
        }
        if (r.block_size != 4 && r.block_size != 8) {
            return FieldError{"block_size", "'block_size' must be 4 or 8"};
        }
        if (auto e = Text(body, "text", kMaxTextLength, &r.text)) {
            return e;
        }
        if (r.text.size() % static_cast<size_t>(r.block_size) != 0) {
            return FieldError{"text", "'text' must fill whole blocks of " +
                                          std::to_string(r.block_size) + " characters"};
        }
        r.count = static_cast<int>(r.text.size()) / r.block_size;
        if (r.count > kMaxBlock || r.first + r.count > kMaxBlock + 1) {
            return FieldError{"text", "'text' runs past block 255"};
        }
        return std::nullopt;
    }
    case OpKind::Sensor:
        if (auto e = OnlyMembers(body, {"channel", "setting"})) {
            return e;
        }
        if (auto e = Int(body, "channel", 0, 2, 0, &r.channel)) {
            return e;
        }
        return Int(body, "setting", 0, 255, 0, &r.setting);
    case OpKind::Command:
        if (auto e = OnlyMembers(body, {"text"})) {
            return e;
        }
        return Text(body, "text", kMaxCommandLength, &r.text);
    case OpKind::Beep:
        if (auto e = OnlyMembers(body, {"length"})) {
            return e;
        }
        return Int(body, "length", 1, kMaxBeepLength, 1, &r.length);
    }
    return FieldError{"body", "unknown operation"};
}

bool TakesUid(OpKind kind) {
    return kind == OpKind::Read || kind == OpKind::Write || kind == OpKind::Sensor;
}

} // namespace

std::variant<OpRequest, FieldError> ParseOp(OpKind kind, const std::string& uid,
                                            const std::string& json_body) {
    OpRequest r;
    r.kind = kind;
    if (TakesUid(kind)) {
        if (!NormaliseUid(uid, &r.uid)) {
            return FieldError{"uid", "the UID must be 16 hexadecimal digits"};
        }
    } else if (!uid.empty()) {
        return FieldError{"uid", "this operation takes no UID"};
    }
    if (json_body.size() > kMaxBodyBytes) {
        return FieldError{"body",
                          "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes"};
    }
    json body = json::object();
    bool blank = json_body.find_first_not_of(" \t\r\n") == std::string::npos;
    if (!blank) {
        // Only a flat object is a request: nesting is refused while parsing,
        // before a deep document is ever built.
        bool too_deep = false;
        json::parser_callback_t depth_limit = [&too_deep](int depth, json::parse_event_t event,
                                                          json&) {
            bool opens = event == json::parse_event_t::object_start ||
                         event == json::parse_event_t::array_start;
            if (depth > 1 || (opens && depth > 0)) {
                too_deep = true;
                return false;
            }
            return true;
        };
        body = json::parse(json_body, depth_limit, /*allow_exceptions=*/false);
        if (too_deep) {
            return FieldError{"body", "members must be numbers or strings, not objects or arrays"};
        }
        if (body.is_discarded()) {
            return FieldError{"body", "the body is not valid JSON"};
        }
        if (!body.is_object()) {
            return FieldError{"body", "the body must be a JSON object"};
        }
    }
    if (auto e = Fill(r, body)) {
        return *e;
    }
    return r;
}

int HttpStatusFor(const OpResult& r) {
    switch (r.result) {
    case 0:
        return 200;
    case 2:
        return 404; // reader status 2: the tag is not in the field
    case 3:         // KQ_ERR_NOBLOCKS (or reader status 3: malformed parameters)
    case 4:         // reader status 4: blocks the tag does not have
    case 5:         // reader status 5: text does not fill the blocks
    case 29:        // KQ_ERR_PARAM
    case 31:
        return 400; // KQ_ERR_BLOCKSIZE
    case 16:        // KQ_ERR_USB: the device went away
    case kResultOffline:
        return 409;
    case kResultQueueFull:
    case kResultStopping:
        return 503;
    default:
        return 502;
    }
}

} // namespace kqd
