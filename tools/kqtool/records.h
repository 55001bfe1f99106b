// Between the command line and the library's records: bounded text of record
// fields, filling request blocks, and the tag lists of results as JSON and as
// readable lines.
#pragma once

#include "kq.h"

#include <string>
#include <vector>

namespace kqtool {

// One multi-write target.
struct WriteTarget {
    std::string uid;
    std::string text;
};

// Bounded text of a record field that may lack its NUL.
std::string FieldText(const char* field, size_t size);
// Copies a UID into a 17-byte field. A longer text fills all 17 bytes
// without a NUL, which the library refuses as any UID that is not exactly 16
// characters.
void CopyUid(const std::string& uid, char (&field)[17]);
// Copies text into a field of size bytes, cut to size - 1 and NUL-terminated.
void CopyText(const std::string& text, char* field, size_t size);

// Fills IN_MW of the record from the targets.
void FillMultiWrite(KQ_PROPERTY& p, unsigned char start, unsigned char count,
                    const std::vector<WriteTarget>& targets);

// The UIDs of an inventory result (at most four entries whatever Count says).
std::vector<std::string> InventoryUids(const KQ_OUT_GU& gu);
// JSON array of tag entries ({"uid":..,"data":..}) and the readable lines.
std::string TagsJson(const KQ_TAGINFO* tags, size_t n, bool with_read_flag);
void PrintTagLines(const KQ_TAGINFO* tags, size_t n, bool mark_failed_reads);

} // namespace kqtool
