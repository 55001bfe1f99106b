// Logging to standard error with levels. Under systemd (JOURNAL_STREAM set)
// each line carries the journal's priority prefix ("<3>" error ... "<7>"
// debug); elsewhere a time stamp and the level's name.
#pragma once

#include <string>

namespace kqd {

enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

/// "error", "warning", "info", "debug"; false for anything else.
bool ParseLogLevel(const std::string& name, LogLevel* out);
void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);
/// One line, written with one write() (thread-safe).
void Log(LogLevel level, const std::string& message);

} // namespace kqd
