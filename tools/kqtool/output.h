// Printing: result codes described for the operation that gave them (from
// the names in kq.h), a small JSON builder, and the failure report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kqtool {

enum ExitStatus {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitReaderLost = 3,
    kExitNoTag = 4, // wait: no tag within --timeout
};

// Which library operation produced a result code: codes 3 and 10 mean
// different things depending on it.
enum class Op {
    GetSerialNo,
    Open,
    Close,
    Buzzer,
    GetUID,
    TagCommand,
    SelectRead,
    SelectWrite,
    MultiRead,
    MultiWrite,
    Sensor,
};

struct CodeText {
    std::string name;           // "KQ_ERR_USB", "reader status 5", ...
    std::string meaning;        // one sentence
    bool reader_status = false; // a status 1-15 passed on from the reader
};

// Name and meaning of a result code as returned by op.
CodeText DescribeResult(int code, Op op);
// "KQ_ERR_USB (16): no usable device: ..."
std::string ResultLine(int code, Op op);

// JSON text of a string, quoted and escaped; UTF-8 passes through, bytes that
// are not well-formed UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

// Builds one JSON object, member by member, in insertion order.
class JsonObject {
  public:
    JsonObject& Str(std::string_view key, std::string_view value);
    JsonObject& Int(std::string_view key, long long value);
    JsonObject& Num(std::string_view key, double value);
    JsonObject& Bool(std::string_view key, bool value);
    JsonObject& Raw(std::string_view key, std::string_view json); // already JSON
    JsonObject& StrArray(std::string_view key, const std::vector<std::string>& values);
    std::string Text() const { return "{" + body_ + "}"; }

  private:
    void Key(std::string_view key);
    std::string body_;
};

// Adds "ok", "result" and, for a failure, "name" and "meaning"; and
// "simulated": true while the simulated reader is in use.
void AddResult(JsonObject& json, int code, Op op);
// Set once the simulated reader is the target: every JSON result says so.
void SetSimulatedMark(bool simulated);
bool SimulatedMark();

// Prints one line to stdout and flushes it (results and loop events must show
// at once even when stdout is a pipe). When stdout has gone it asks for a
// stop (RequestStop), so that a running loop ends in order.
void PrintLine(const std::string& line);
// --version: kqtool's version and that of the library header it was built
// with (the same release), readable or as JSON.
void PrintVersion(bool json);

// "kqtool: <what>: <code line>" to stderr.
void ReportFailure(const std::string& what, int code, Op op);
// Whether usage errors are also printed as JSON, and for which command
// (empty: none was recognised). Set once the command line has been read.
void SetUsageContext(bool json, const std::string& command);
// Reports a usage error ("kqtool: usage: ..." on stderr; with --json also
// {"command":..,"ok":false,"error":"usage","message":..} on stdout) and
// returns kExitUsage.
int UsageError(const std::string& message);

// "kqtool: <message>" to stderr.
void ReportError(const std::string& message);

} // namespace kqtool
