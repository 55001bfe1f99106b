// One open reader: finds its serial number, fills and opens the property
// record, closes it again.
#pragma once

#include "kq.h"
#include "options.h"
#include "target.h"

#include <memory>
#include <string>

namespace kqtool {

// Serial number of the reader to use: --device, or the first one the driver
// lists. Returns KQ_OK or the code of KQ_GetSerialNo (reported already).
int ChooseSerial(const Options& options, std::string* serial);

// For a real reader: explains on stderr why it could not be listed or opened
// (serial null when listing failed), when the cause is one the user can fix.
void ExplainRealFailure(const Target& target, const char* serial);

class Session {
  public:
    Session(const Options& options, Target& target);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Chooses the reader, fills the record (timeouts, buzzer, notification
    // target, loop mode) and opens it. Returns KQ_OK or the failing code,
    // which has been reported on stderr (with --json also on stdout).
    int Open(const char* command, KQ_HWND notify, bool loop_mode);
    // KQ_CloseUSB; returns its code (reported when it fails).
    int Close();

    KQ_PROPERTY& P() { return *prop_; }
    const std::string& Serial() const { return serial_; }

  private:
    const Options& options_;
    Target& target_;
    std::unique_ptr<KQ_PROPERTY> prop_;
    std::string serial_;
    bool open_ = false;
};

} // namespace kqtool
