// The request bodies of kqd's operations: every front end (HTTP, MQTT) hands
// them to ParseOp. The first byte picks the operation, the next 16 are the
// UID from the path, the rest is the body. Fails on a crash, a leak, or an
// accepted request that breaks what the reader may be sent: a UID that is
// not 16 upper-case hex digits, text outside printable ASCII, a block run
// past 255, a block size other than 4/8, or a write whose text does not fill
// its blocks.
#include "ops/operation.h"

#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "kqd_json: %s\n", what);
        std::abort();
    }
}

bool Printable(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 17) {
        return 0;
    }
    auto kind = static_cast<kqd::OpKind>(data[0] % 6);
    std::string uid(reinterpret_cast<const char*>(data + 1), 16);
    if (data[0] & 0x80) {
        uid.clear(); // the operations without a UID
    }
    std::string body(reinterpret_cast<const char*>(data + 17), size - 17);
    auto parsed = kqd::ParseOp(kind, uid, body);
    if (auto* err = std::get_if<kqd::FieldError>(&parsed)) {
        Check(!err->field.empty() && !err->message.empty(), "a refusal that names nothing");
        return 0;
    }
    const kqd::OpRequest& r = std::get<kqd::OpRequest>(parsed);
    Check(r.kind == kind, "kind changed");
    bool takes_uid =
        kind == kqd::OpKind::Read || kind == kqd::OpKind::Write || kind == kqd::OpKind::Sensor;
    if (takes_uid) {
        Check(r.uid.size() == 16, "UID length");
        for (char c : r.uid) {
            Check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'), "UID not upper-case hex");
        }
    } else {
        Check(r.uid.empty(), "a UID where none belongs");
    }
    Check(Printable(r.text), "text outside printable ASCII");
    Check(r.first >= 0 && r.first <= 255, "first out of range");
    switch (kind) {
    case kqd::OpKind::Read:
    case kqd::OpKind::MultiRead:
        Check(r.count >= 1 && r.first + r.count <= 256, "block run out of range");
        break;
    case kqd::OpKind::Write:
        Check(r.block_size == 4 || r.block_size == 8, "block size");
        Check(r.count >= 1 && r.first + r.count <= 256, "block run out of range");
        Check(r.text.size() == static_cast<size_t>(r.count * r.block_size),
              "text does not fill its blocks");
        break;
    case kqd::OpKind::Sensor:
        Check(r.channel >= 0 && r.channel <= 2 && r.setting >= 0 && r.setting <= 255,
              "sensor range");
        break;
    case kqd::OpKind::Command:
        Check(!r.text.empty() && r.text.size() <= 35, "command length");
        break;
    case kqd::OpKind::Beep:
        Check(r.length >= 1 && r.length <= 30, "beep length");
        break;
    }
    return 0;
}
