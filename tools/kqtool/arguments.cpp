// Reading and checking the commands' arguments.
#include "arguments.h"

#include "kq.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kqtool {

namespace {

constexpr size_t kUidLength = 16;
constexpr size_t kMaxDataLength = sizeof(KQ_TAGINFO{}.Data) - 1; // 2048
constexpr size_t kMaxTagCommandLength = sizeof(KQ_IN_TA) - 1;    // 35

bool ParseBlock(const std::string& text, const char* what, unsigned char* value,
                std::string* error) {
    long long v = 0;
    if (!ParseNumber(text, 0, 255, &v)) {
        *error = std::string(what) + " must be a number 0-255, not '" + text + "'";
        return false;
    }
    *value = static_cast<unsigned char>(v);
    return true;
}

} // namespace

bool ParseBlockRun(const std::vector<std::string>& args, size_t first, unsigned char* start,
                   unsigned char* count, std::string* error) {
    if (args.size() < first + 2) {
        *error = "START and COUNT are missing";
        return false;
    }
    if (!ParseBlock(args[first], "START", start, error) ||
        !ParseBlock(args[first + 1], "COUNT", count, error)) {
        return false;
    }
    if (*count == 0) {
        *error = "COUNT must be a number 1-255, not '" + args[first + 1] + "'";
        return false;
    }
    unsigned last = *start + *count - 1u;
    if (*count != 0 && last > 255) {
        *error = "blocks " + std::to_string(*start) + "-" + std::to_string(last) +
                 " pass block 255, the last block number";
        return false;
    }
    return true;
}

bool CheckUid(std::string* uid, const std::string& what, std::string* error) {
    bool hex = uid->size() == kUidLength;
    for (char c : *uid) {
        hex = hex && std::isxdigit(static_cast<unsigned char>(c)) != 0;
    }
    if (!hex) {
        *error = what + " must be 16 hexadecimal digits, not '" + *uid + "' (" +
                 std::to_string(uid->size()) + " characters)";
        return false;
    }
    for (char& c : *uid) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return true;
}

bool CheckFrameText(const std::string& text, const std::string& what, std::string* error) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char* name = text[i] == '\x02' ? "STX (0x02)"
                           : text[i] == '\r' ? "a carriage return (CR)"
                           : text[i] == '\n' ? "a line feed (LF)"
                                             : nullptr;
        if (name != nullptr) {
            *error = what + " contains " + name + " at position " + std::to_string(i + 1) +
                     ": STX, CR and LF frame the reader's commands";
            return false;
        }
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", byte);
            *error = what + " contains a non-ASCII character (byte " + hex + ") at position " +
                     std::to_string(i + 1) + ": the reader takes ASCII text only";
            return false;
        }
    }
    return true;
}

bool CheckTagData(const std::string& text, const std::string& what, std::string* error) {
    if (text.size() > kMaxDataLength) {
        *error = what + " is longer than 2048 characters";
        return false;
    }
    return CheckFrameText(text, what, error);
}

bool CheckTagCommandText(const std::string& text, std::string* error) {
    if (text.size() > kMaxTagCommandLength) {
        *error = "a tag command has at most 35 characters";
        return false;
    }
    return CheckFrameText(text, "the tag command", error);
}

bool ParseMultiWriteArgs(const Options& options, unsigned char* start, unsigned char* count,
                         std::vector<WriteTarget>* targets, std::string* error) {
    if (!ParseBlockRun(options.args, 0, start, count, error)) {
        return false;
    }
    targets->clear();
    std::vector<std::pair<std::string, std::string>> raw; // where, text
    for (size_t i = 2; i < options.args.size(); ++i) {
        raw.emplace_back("argument '" + options.args[i] + "'", options.args[i]);
    }
    if (!options.file.empty()) {
        if (!raw.empty()) {
            *error = "give the targets either as UID=TEXT arguments or with --file, not both";
            return false;
        }
        std::ifstream in(options.file);
        if (!in) {
            *error = "cannot read '" + options.file + "'";
            return false;
        }
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            size_t begin = line.find_first_not_of(" \t");
            if (begin == std::string::npos || line[begin] == '#') {
                continue; // blank line or comment
            }
            std::istringstream fields(line);
            std::string uid, text, extra;
            fields >> uid >> text >> extra;
            if (text.empty() || !extra.empty()) {
                *error = options.file + ":" + std::to_string(number) +
                         ": expected 'UID TEXT', got '" + line + "'";
                return false;
            }
            raw.emplace_back(options.file + ":" + std::to_string(number), uid + "=" + text);
        }
    }
    for (const auto& [where, item] : raw) {
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = where + ": expected UID=TEXT";
            return false;
        }
        WriteTarget target{item.substr(0, eq), item.substr(eq + 1)};
        if (!CheckUid(&target.uid, where + ": the UID", error)) {
            return false;
        }
        for (const WriteTarget& earlier : *targets) {
            if (earlier.uid == target.uid) {
                *error = where + ": " + target.uid + " is listed twice";
                return false;
            }
        }
        if (!CheckTagData(target.text, where + ": the text", error)) {
            return false;
        }
        targets->push_back(target);
    }
    if (targets->empty()) {
        *error = "no targets: give UID=TEXT arguments or --file FILE";
        return false;
    }
    if (targets->size() > 4) {
        *error = "at most four targets";
        return false;
    }
    return true;
}

} // namespace kqtool
