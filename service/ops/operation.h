// Operations a client asks of a reader, and the one validation that every
// front end (HTTP, MQTT, WebSocket) shares: a request that passes ParseOp is
// well-formed, and only such a request ever reaches a reader.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <variant>

namespace kqd {

enum class OpKind { Read, Write, Sensor, Command, Beep, MultiRead };

/// "read", "write", "sensor", "command", "beep", "multi-read" (the last part
/// of the endpoint's path).
const char* OpKindName(OpKind kind);

/// Limits of the requests (the reader's and the library's own).
inline constexpr int kMaxBlock = 255;       ///< block numbers are 0-255
inline constexpr int kMaxTextLength = 2048; ///< tag data, characters
inline constexpr int kMaxCommandLength = 35;
inline constexpr int kMaxBeepLength = 30; ///< units of 100 ms: at most 3 s of a reader's time
inline constexpr size_t kMaxBodyBytes = 8192;

/// A well-formed operation (ParseOp made it). Which members matter depends
/// on kind:
///   Read       uid, first, count (1-255, first + count <= 256)
///   Write      uid, first, text (4 or 8 characters per block), count (the
///              blocks the text fills: text length / block_size)
///   Sensor     uid, channel (0-2), setting (0 = the channel's reference)
///   Command    text (1-35 printable ASCII characters)
///   Beep       length (1-30, units of 100 ms)
///   MultiRead  first, count: the run read from every tag in the field
struct OpRequest {
    OpKind kind = OpKind::Beep;
    std::string uid; ///< 16 upper-case hexadecimal digits; empty when not used
    int first = 0;
    int count = 0;
    int block_size = 4; ///< Write: 4 or 8 characters per block
    std::string text;
    int channel = 0;
    int setting = 0;
    int length = 1;
};

/// Why a request was refused: the JSON member (or "uid", "body") at fault.
struct FieldError {
    std::string field;
    std::string message;
};

/// Checks a request completely. uid is the tag's UID from the path (may be
/// empty for Command, Beep and MultiRead; lower case is accepted and
/// normalised). json_body is the request body: an object (an empty body
/// counts as {}); unknown members are refused. Text must be printable ASCII
/// (0x20-0x7E), which leaves out STX, CR, LF and everything non-ASCII.
std::variant<OpRequest, FieldError> ParseOp(OpKind kind, const std::string& uid,
                                            const std::string& json_body);

/// Normalises a UID (16 hexadecimal digits, either case) to upper case;
/// false when it is not one.
bool NormaliseUid(const std::string& in, std::string* out);

/// Results that are the service's own, not the library's (negative, so they
/// never meet a library result code).
inline constexpr int kResultQueueFull = -1; ///< "KQD_ERR_BUSY": the reader's queue is full
inline constexpr int kResultOffline = -2;   ///< "KQD_ERR_OFFLINE": the reader is not connected
inline constexpr int kResultStopping = -3;  ///< "KQD_ERR_STOPPING": the service is shutting down

/// The outcome of an operation. result is the library's result code (0 =
/// KQ_OK) or one of the kResult* codes above; name its macro name
/// ("KQ_ERR_WRITE", "reader status 2", "KQD_ERR_BUSY"); message one line;
/// data the operation's answer (an object, empty on failure):
///   Read       {"uid","first","count","text"}
///   Write      {"uid","first","count","verified":true}
///   Sensor     {"uid","channel","value"}
///   Command    {"reply"}
///   Beep       {"length"}
///   MultiRead  {"tag_count","done_count","tags":[{"uid","text","ok"}]}
struct OpResult {
    int result = 0;
    std::string name;
    std::string message;
    nlohmann::json data = nlohmann::json::object();
};

/// The HTTP status an operation's result maps to (docs/kqd.md has the
/// table): 200 success; 404 tag not in the field (reader status 2);
/// 400 the reader or the library refused the parameters (KQ_ERR_PARAM,
/// KQ_ERR_BLOCKSIZE, KQ_ERR_NOBLOCKS, reader status 4 or 5); 409 the reader
/// is offline or the device went away (kResultOffline, KQ_ERR_USB);
/// 503 the reader's queue is full or the service is stopping; 502 every
/// other failure (the reader answered with a failure status, or not at all).
int HttpStatusFor(const OpResult& r);

} // namespace kqd
