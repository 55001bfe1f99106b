// Per-reader sequence numbers of the events kqd publishes, kept across
// restarts in a small file (STATE_DIR/mqtt-seq.json) so that a subscriber can
// de-duplicate by (reader, epoch, seq) and see gaps.
//
// The file holds an epoch and the last number given to each reader. A number
// is written to the file before its event is handed to the broker link, so a
// number once published is never given again: not after a restart, a crash
// or a SIGKILL (the file is replaced by an atomic rename after an fdatasync).
// Without a state directory, or when the file is unreadable, a new epoch
// starts (the time in milliseconds) and the numbers start again at 1; the
// epoch tells a subscriber that the series restarted.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kqd::mqtt {

class SeqStore {
  public:
    // dir empty: nothing persisted. Returns a warning ("" when none): the
    // file could not be read or parsed and a new epoch began (the bad file is
    // kept beside it as mqtt-seq.json.bad).
    // sync false: no fdatasync before the rename (still safe against a crash
    // or a kill of kqd, not against a power loss of the machine).
    std::string Open(const std::string& dir, int64_t now_ms, bool sync = true);

    uint64_t Epoch() const { return epoch_; }
    bool Persistent() const { return !path_.empty(); }
    // True when this run began a new epoch (no state before, or state lost).
    bool NewEpoch() const { return new_epoch_; }

    // The next number for reader (1 for its first event in an epoch).
    uint64_t Next(const std::string& reader);
    uint64_t Last(const std::string& reader) const;

    // Writes the numbers given out since the last save. Returns an error
    // message, "" when saved or nothing to save (or nothing persisted).
    std::string Save();

    std::string Path() const { return path_; }

  private:
    std::string path_;
    uint64_t epoch_ = 0;
    bool new_epoch_ = true;
    bool dirty_ = false;
    bool sync_ = true;
    std::map<std::string, uint64_t> last_;
};

} // namespace kqd::mqtt
