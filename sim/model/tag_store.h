// The tags the simulated reader knows: their memory, sensor settings, and
// which of them are in the field, in field order.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kqsim {

constexpr size_t kUidLength = 16;
constexpr unsigned kMaxBlocks = 256;

struct Sensor {
    unsigned threshold = 0; // comparator reads 1 when trial > threshold
    std::string config;     // 8 characters, answered to RC
    unsigned trial = 0;     // last value set by SC
    std::string reference = "00";
};

struct Tag {
    std::string uid;
    unsigned block_size = 4;
    unsigned block_count = 0;
    bool sized = false; // memory layout chosen (a sensor may be made before)
    std::string memory; // block_size * block_count characters
    std::optional<Sensor> sensor;
};

bool ValidUid(const std::string& uid);

class TagStore {
  public:
    // Puts a tag into the field (at the end); a known tag keeps its memory.
    // Returns false for a bad argument. *changed tells whether the field
    // changed (false when the tag was already in it).
    bool Enter(const std::string& uid, unsigned block_size, unsigned block_count, bool* changed);
    // Takes a tag out of the field; false when it is not in it.
    bool Leave(const std::string& uid);
    // Empties the field; returns whether it held any tag.
    bool ClearField();
    void Forget(); // every tag, memory included

    Tag* Find(const std::string& uid);
    Tag* FindInField(const std::string& uid);
    bool InField(const std::string& uid) const;
    const std::vector<std::string>& Field() const { return field_; }

    // Memory access; false when the range does not exist or the text does
    // not fill whole blocks.
    bool SetData(const std::string& uid, unsigned start_block, const std::string& text);
    std::optional<std::string> GetData(const std::string& uid, unsigned start_block,
                                       unsigned count);
    // Makes a tag a sensor (creating an unsized, absent tag if unknown).
    bool SetSensor(const std::string& uid, unsigned threshold, const std::string& config);

  private:
    std::map<std::string, Tag> tags_;
    std::vector<std::string> field_;
};

} // namespace kqsim
