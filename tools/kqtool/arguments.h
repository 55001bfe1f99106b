// The commands' arguments, read and checked before anything reaches the
// library: block runs, UIDs, texts and multi-write targets. Each check
// returns false with *error set to a message for the user.
#pragma once

#include "options.h"
#include "records.h"

#include <string>
#include <vector>

namespace kqtool {

// START COUNT from args[first] and args[first + 1]: START 0-255, COUNT
// 1-255, and the run must not pass block 255.
bool ParseBlockRun(const std::vector<std::string>& args, size_t first, unsigned char* start,
                   unsigned char* count, std::string* error);

// START COUNT and the targets of multi-write (UID=TEXT arguments after the
// first two, or --file), each UID in upper case and at most once.
bool ParseMultiWriteArgs(const Options& options, unsigned char* start, unsigned char* count,
                         std::vector<WriteTarget>* targets, std::string* error);

// A UID: exactly 16 hexadecimal digits, either case (what names it in a
// message). *uid becomes upper case, as the reader reports UIDs.
bool CheckUid(std::string* uid, const std::string& what, std::string* error);

// Text that goes into a command frame must be ASCII (the reader takes
// nothing else) and may not hold the characters that frame it: STX, CR or
// LF. The message names the character and its position (1 = the first).
bool CheckFrameText(const std::string& text, const std::string& what, std::string* error);

// Text for a tag's memory (what names it in a message): at most 2048
// characters, no framing character.
bool CheckTagData(const std::string& text, const std::string& what, std::string* error);

// The text of a tag command: at most 35 characters, no framing character.
bool CheckTagCommandText(const std::string& text, std::string* error);

} // namespace kqtool
