// The simulated reader's tags: memory, sensor settings and the field.
#include "tag_store.h"

#include <algorithm>

namespace kqsim {

bool ValidUid(const std::string& uid) {
    if (uid.size() != kUidLength) {
        return false;
    }
    return std::all_of(uid.begin(), uid.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x20 && c != 0x7f; });
}

bool TagStore::Enter(const std::string& uid, unsigned block_size, unsigned block_count,
                     bool* changed) {
    *changed = false;
    if (!ValidUid(uid) || (block_size != 4 && block_size != 8) || block_count > kMaxBlocks) {
        return false;
    }
    Tag& tag = tags_[uid];
    tag.uid = uid;
    if (!tag.sized) {
        tag.block_size = block_size;
        tag.block_count = block_count;
        tag.memory.assign(static_cast<size_t>(block_size) * block_count, '0');
        tag.sized = true;
    }
    if (!InField(uid)) {
        field_.push_back(uid);
        *changed = true;
    }
    return true;
}

bool TagStore::Leave(const std::string& uid) {
    auto it = std::find(field_.begin(), field_.end(), uid);
    if (it == field_.end()) {
        return false;
    }
    field_.erase(it);
    return true;
}

bool TagStore::ClearField() {
    bool had = !field_.empty();
    field_.clear();
    return had;
}

void TagStore::Forget() {
    field_.clear();
    tags_.clear();
}

Tag* TagStore::Find(const std::string& uid) {
    auto it = tags_.find(uid);
    return it == tags_.end() ? nullptr : &it->second;
}

Tag* TagStore::FindInField(const std::string& uid) {
    return InField(uid) ? Find(uid) : nullptr;
}

bool TagStore::InField(const std::string& uid) const {
    return std::find(field_.begin(), field_.end(), uid) != field_.end();
}

bool TagStore::SetData(const std::string& uid, unsigned start_block, const std::string& text) {
    Tag* tag = Find(uid);
    if (tag == nullptr || !tag->sized || text.size() % tag->block_size != 0) {
        return false;
    }
    size_t blocks = text.size() / tag->block_size;
    if (start_block > tag->block_count || blocks > tag->block_count - start_block) {
        return false;
    }
    tag->memory.replace(static_cast<size_t>(start_block) * tag->block_size, text.size(), text);
    return true;
}

std::optional<std::string> TagStore::GetData(const std::string& uid, unsigned start_block,
                                             unsigned count) {
    Tag* tag = Find(uid);
    if (tag == nullptr || !tag->sized || start_block > tag->block_count ||
        count > tag->block_count - start_block) {
        return std::nullopt;
    }
    return tag->memory.substr(static_cast<size_t>(start_block) * tag->block_size,
                              static_cast<size_t>(count) * tag->block_size);
}

bool TagStore::SetSensor(const std::string& uid, unsigned threshold, const std::string& config) {
    if (!ValidUid(uid) || config.size() != 8 || threshold > 255) {
        return false;
    }
    Tag& tag = tags_[uid];
    tag.uid = uid;
    Sensor s;
    s.threshold = threshold;
    s.config = config;
    tag.sensor = s;
    return true;
}

} // namespace kqsim
