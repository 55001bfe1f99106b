// The commands of kqtool. Each returns the process exit status.
#pragma once

#include "kq.h"
#include "options.h"
#include "target.h"

#include <string>
#include <vector>

namespace kqtool {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitReaderLost = 3 };

int RunList(const Options& options, Target& target);
int RunProbe(const Options& options, Target& target);
int RunBeep(const Options& options, Target& target);
int RunInventory(const Options& options, Target& target);
int RunTagCommand(const Options& options, Target& target);
int RunRead(const Options& options, Target& target);
int RunWrite(const Options& options, Target& target);
int RunMultiRead(const Options& options, Target& target);
int RunMultiWrite(const Options& options, Target& target);
int RunSensor(const Options& options, Target& target);
int RunLoop(const Options& options, Target& target);

// ---- Shared by the one-shot and the loop commands ----

// Reports a usage error ("kqtool: usage: ...") and returns kExitUsage.
int UsageError(const std::string& message);

// Bounded text of a record field that may lack its NUL.
std::string FieldText(const char* field, size_t size);

// One multi-write target.
struct WriteTarget {
    std::string uid;
    std::string text;
};
// START COUNT and the targets of multi-write (UID=TEXT arguments after the
// first two, or --file). Returns false with *error set.
bool ParseMultiWriteArgs(const Options& options, unsigned char* start, unsigned char* count,
                         std::vector<WriteTarget>* targets, std::string* error);
// START COUNT of multi-read.
bool ParseRunArgs(const std::vector<std::string>& args, size_t first, unsigned char* start,
                  unsigned char* count, std::string* error);
// Fills IN_MW of the record from the targets.
void FillMultiWrite(KQ_PROPERTY& p, unsigned char start, unsigned char count,
                    const std::vector<WriteTarget>& targets);

// The UIDs of an inventory result (at most four entries whatever Count says).
std::vector<std::string> InventoryUids(const KQ_OUT_GU& gu);
// JSON array of tag entries ({"uid":..,"data":..}) and the readable lines.
std::string TagsJson(const KQ_TAGINFO* tags, size_t n, bool with_read_flag);
void PrintTagLines(const KQ_TAGINFO* tags, size_t n, bool mark_failed_reads);

} // namespace kqtool
