// Record fields as text and back; tag lists of results.
#include "records.h"

#include "output.h"

#include <algorithm>
#include <cstring>

namespace kqtool {

std::string FieldText(const char* field, size_t size) {
    size_t n = 0;
    while (n < size && field[n] != '\0') {
        ++n;
    }
    return std::string(field, n);
}

void CopyUid(const std::string& uid, char (&field)[17]) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, uid.data(), std::min(uid.size(), sizeof field));
}

void CopyText(const std::string& text, char* field, size_t size) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

void FillMultiWrite(KQ_PROPERTY& p, unsigned char start, unsigned char count,
                    const std::vector<WriteTarget>& targets) {
    KQ_Init_IN_MW(&p.IN_MW);
    p.IN_MW.StartBlock = start;
    p.IN_MW.BlockCount = count;
    for (size_t i = 0; i < targets.size() && i < 4; ++i) {
        CopyUid(targets[i].uid, p.IN_MW.TagInfo[i].UID);
        CopyText(targets[i].text, p.IN_MW.TagInfo[i].Data, sizeof p.IN_MW.TagInfo[i].Data);
    }
}

std::vector<std::string> InventoryUids(const KQ_OUT_GU& gu) {
    std::vector<std::string> uids;
    size_t n = std::min<size_t>(gu.Count, 4);
    for (size_t i = 0; i < n; ++i) {
        uids.push_back(FieldText(gu.TagInfo[i].UID, sizeof gu.TagInfo[i].UID));
    }
    return uids;
}

std::string TagsJson(const KQ_TAGINFO* tags, size_t n, bool with_read_flag) {
    std::string array = "[";
    for (size_t i = 0; i < n; ++i) {
        std::string data = FieldText(tags[i].Data, sizeof tags[i].Data);
        JsonObject entry;
        entry.Str("uid", FieldText(tags[i].UID, sizeof tags[i].UID)).Str("data", data);
        if (with_read_flag) {
            entry.Bool("read", !data.empty());
        }
        if (i != 0) {
            array += ",";
        }
        array += entry.Text();
    }
    return array + "]";
}

void PrintTagLines(const KQ_TAGINFO* tags, size_t n, bool mark_failed_reads) {
    for (size_t i = 0; i < n; ++i) {
        std::string data = FieldText(tags[i].Data, sizeof tags[i].Data);
        if (data.empty() && mark_failed_reads) {
            data = "(read failed)";
        }
        PrintLine("  " + FieldText(tags[i].UID, sizeof tags[i].UID) + "  " + data);
    }
}

} // namespace kqtool
