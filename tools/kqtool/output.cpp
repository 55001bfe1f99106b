#include "output.h"

#include "kq.h"

#include <cmath>
#include <cstdio>

namespace kqtool {

namespace {

struct CodeEntry {
    int code;
    const char* name;
    const char* meaning;
};

// The library's own codes, as include/kq.h defines them.
constexpr CodeEntry kCodes[] = {
    {KQ_OK, "KQ_OK", "success"},
    {KQ_ERR_NOBLOCKS, "KQ_ERR_NOBLOCKS", "the block count of the request is 0; nothing was done"},
    {KQ_ERR_NOREPLY, "KQ_ERR_NOREPLY",
     "no usable reply: nothing complete arrived in time, the reply was too short or garbled, "
     "or it did not fit its buffer"},
    {KQ_ERR_USB, "KQ_ERR_USB",
     "no usable device: the open failed, there is no handle, or the reader could neither be "
     "probed nor reopened"},
    {KQ_ERR_SEND, "KQ_ERR_SEND", "a command frame could not be written to the device"},
    {KQ_ERR_RECEIVE, "KQ_ERR_RECEIVE",
     "polling or reading the reply failed, or a short reply did not arrive in time"},
    {KQ_ERR_SERIALNO, "KQ_ERR_SERIALNO", "the driver could not list a reader"},
    {KQ_ERR_TAG, "KQ_ERR_TAG",
     "the tag answered with an error sub-status, or the inventory step of a multi operation "
     "failed"},
    {KQ_ERR_WRITE, "KQ_ERR_WRITE", "a write chunk failed or the read-back differs from the text"},
    {KQ_ERR_UIDCOUNT, "KQ_ERR_UIDCOUNT",
     "the tag count of the inventory reply is not two digits or exceeds 4"},
    {KQ_ERR_BUZZER, "KQ_ERR_BUZZER", "the operation succeeded but the buzzer after it failed"},
    {KQ_ERR_LOOPSTOP, "KQ_ERR_LOOPSTOP",
     "the reader's own loop could not be switched off before the operation"},
    {KQ_ERR_PARAM, "KQ_ERR_PARAM",
     "a bad argument (no serial number, a block count of 0 or a chunk start past block 255, a "
     "UID that is not exactly 16 characters, or a sensor channel other than 0-2)"},
    {KQ_ERR_CLOSE, "KQ_ERR_CLOSE", "the driver failed to close the device"},
    {KQ_ERR_BLOCKSIZE, "KQ_ERR_BLOCKSIZE",
     "the text length fits neither 4 nor 8 characters per block, or is longer than the blocks "
     "hold"},
};

const CodeEntry* FindCode(int code) {
    for (const CodeEntry& entry : kCodes) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

char HexDigit(int value) {
    return "0123456789ABCDEF"[value & 15];
}

} // namespace

CodeText DescribeResult(int code, Op op) {
    bool multi = op == Op::MultiRead || op == Op::MultiWrite;
    if (code == KQ_ERR_NOBLOCKS && multi) {
        const CodeEntry* entry = FindCode(code);
        return {entry->name, entry->meaning};
    }
    if (code == KQ_ERR_NOREPLY) {
        const CodeEntry* entry = FindCode(code);
        return {entry->name, std::string(entry->meaning) + " (10 is also reader status 'A')"};
    }
    if (code >= 1 && code <= 15) {
        return {"reader status " + std::to_string(code),
                std::string("the reader answered with status '") + HexDigit(code) + "'", true};
    }
    if (const CodeEntry* entry = FindCode(code)) {
        return {entry->name, entry->meaning};
    }
    return {"result " + std::to_string(code), "a result code this tool does not know"};
}

std::string ResultLine(int code, Op op) {
    CodeText text = DescribeResult(code, op);
    if (text.reader_status) {
        return text.name + ": " + text.meaning;
    }
    return text.name + " (" + std::to_string(code) + "): " + text.meaning;
}

const char* D2xxStatusName(int status) {
    static const char* const kNames[] = {
        "FT_OK",
        "FT_INVALID_HANDLE",
        "FT_DEVICE_NOT_FOUND",
        "FT_DEVICE_NOT_OPENED",
        "FT_IO_ERROR",
        "FT_INSUFFICIENT_RESOURCES",
        "FT_INVALID_PARAMETER",
        "FT_INVALID_BAUD_RATE",
        "FT_DEVICE_NOT_OPENED_FOR_ERASE",
        "FT_DEVICE_NOT_OPENED_FOR_WRITE",
        "FT_FAILED_TO_WRITE_DEVICE",
        "FT_EEPROM_READ_FAILED",
        "FT_EEPROM_WRITE_FAILED",
        "FT_EEPROM_ERASE_FAILED",
        "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED",
        "FT_INVALID_ARGS",
        "FT_NOT_SUPPORTED",
        "FT_OTHER_ERROR",
    };
    if (status >= 0 && static_cast<size_t>(status) < sizeof kNames / sizeof kNames[0]) {
        return kNames[status];
    }
    return "unknown driver status";
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7F || u >= 0x80) {
                // Tag text is 7-bit; anything else is shown as its byte value
                // so that the output is always valid JSON.
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04X", u);
                out += esc;
            } else {
                out += c;
            }
        }
    }
    out += "\"";
    return out;
}

void JsonObject::Key(std::string_view key) {
    if (!body_.empty()) {
        body_ += ",";
    }
    body_ += JsonString(key);
    body_ += ":";
}

JsonObject& JsonObject::Str(std::string_view key, std::string_view value) {
    Key(key);
    body_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Int(std::string_view key, long long value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Num(std::string_view key, double value) {
    Key(key);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", std::isfinite(value) ? value : 0.0);
    body_ += buf;
    return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
    Key(key);
    body_ += json;
    return *this;
}

JsonObject& JsonObject::StrArray(std::string_view key, const std::vector<std::string>& values) {
    std::string array = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            array += ",";
        }
        array += JsonString(values[i]);
    }
    array += "]";
    return Raw(key, array);
}

void AddResult(JsonObject& json, int code, Op op) {
    json.Bool("ok", code == KQ_OK).Int("result", code);
    if (code != KQ_OK) {
        CodeText text = DescribeResult(code, op);
        json.Str("name", text.name).Str("meaning", text.meaning);
    }
}

void PrintLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ReportFailure(const std::string& what, int code, Op op) {
    std::fprintf(stderr, "kqtool: %s: %s\n", what.c_str(), ResultLine(code, op).c_str());
    std::fflush(stderr);
}

void ReportError(const std::string& message) {
    std::fprintf(stderr, "kqtool: %s\n", message.c_str());
    std::fflush(stderr);
}

} // namespace kqtool
