#include "log/log.h"

#include "events/event_log.h"

#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace kqd {

namespace {
std::atomic<int> g_level{static_cast<int>(LogLevel::Info)};
const char* const kNames[] = {"error", "warning", "info", "debug"};
const char* const kJournal[] = {"<3>", "<4>", "<6>", "<7>"};
} // namespace

bool ParseLogLevel(const std::string& name, LogLevel* out) {
    for (int i = 0; i < 4; ++i) {
        if (name == kNames[i]) {
            *out = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

void SetLogLevel(LogLevel level) {
    g_level = static_cast<int>(level);
}

bool LogEnabled(LogLevel level) {
    return static_cast<int>(level) <= g_level.load();
}

void Log(LogLevel level, const std::string& message) {
    if (!LogEnabled(level)) {
        return;
    }
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    int i = static_cast<int>(level);
    std::string line =
        journal ? std::string(kJournal[i]) : FormatTime(NowMs()) + " kqd " + kNames[i] + ": ";
    line += message;
    line += '\n';
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
}

} // namespace kqd
