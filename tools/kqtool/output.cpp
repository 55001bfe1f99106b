// Result descriptions, JSON text and the reports on stdout and stderr.
#include "output.h"

#include "host.h"
#include "kq.h"

#include <cmath>
#include <cstdio>

namespace kqtool {

CodeText DescribeResult(int code, Op op) {
    bool multi = op == Op::MultiRead || op == Op::MultiWrite;
    if (code == KQ_ERR_NOBLOCKS && !multi) {
        // Only the multi operations return KQ_ERR_NOBLOCKS; from every other
        // operation 3 is the reader's status.
        return {"reader status 3", "the reader answered with status '3'", true};
    }
    CodeText text{KQ_ResultName(code), KQ_ResultText(code)};
    text.reader_status = code >= 1 && code <= 15 && text.name.rfind("KQ_", 0) != 0;
    return text;
}

std::string ResultLine(int code, Op op) {
    CodeText text = DescribeResult(code, op);
    if (text.reader_status) {
        return text.name + ": " + text.meaning;
    }
    return text.name + " (" + std::to_string(code) + "): " + text.meaning;
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
    bool written = std::fputs(line.c_str(), stdout) != EOF && std::fputc('\n', stdout) != EOF;
    if (std::fflush(stdout) != 0 || !written) {
        // The output has gone (a closed pipe: EPIPE, SIGPIPE being ignored).
        // A running loop stops in order; nothing more can be shown.
        RequestStop();
    }
}

void PrintVersion(bool json) {
    if (json) {
        JsonObject object;
        object.Str("command", "version").Bool("ok", true).Int("result", KQ_OK);
        object.Str("version", KQ_VERSION_STRING).Str("library", KQ_VERSION_STRING);
        PrintLine(object.Text());
    } else {
        PrintLine(std::string("kqtool ") + KQ_VERSION_STRING + " (built against kq " +
                  KQ_VERSION_STRING + ")");
    }
}

void ReportFailure(const std::string& what, int code, Op op) {
    std::fprintf(stderr, "kqtool: %s: %s\n", what.c_str(), ResultLine(code, op).c_str());
    std::fflush(stderr);
}

int UsageError(const std::string& message) {
    ReportError("usage: " + message);
    std::fputs("Run 'kqtool --help' for the commands and options.\n", stderr);
    return kExitUsage;
}

void ReportError(const std::string& message) {
    std::fprintf(stderr, "kqtool: %s\n", message.c_str());
    std::fflush(stderr);
}

} // namespace kqtool
