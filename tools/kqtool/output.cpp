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

namespace {

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, or
// cut short).
size_t Utf8Length(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + n > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < n; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return n;
}

// The JSON of the process's usage errors (see SetUsageContext).
bool g_usage_json = false;
std::string g_usage_command;

} // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            // UTF-8 passes through as it is; a byte that is not part of a
            // well-formed sequence becomes U+FFFD, so the output is always
            // valid UTF-8.
            size_t n = Utf8Length(text, i);
            out += n != 0 ? std::string(text.substr(i, n)) : "\\uFFFD";
            i += n != 0 ? n : 1;
            continue;
        }
        ++i;
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
            if (u < 0x20 || u == 0x7F) {
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

namespace {
bool g_simulated = false;
} // namespace

void SetSimulatedMark(bool simulated) {
    g_simulated = simulated;
}

bool SimulatedMark() {
    return g_simulated;
}

void AddResult(JsonObject& json, int code, Op op) {
    json.Bool("ok", code == KQ_OK).Int("result", code);
    if (code != KQ_OK) {
        CodeText text = DescribeResult(code, op);
        json.Str("name", text.name).Str("meaning", text.meaning);
    }
    if (g_simulated) {
        json.Bool("simulated", true);
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

void SetUsageContext(bool json, const std::string& command) {
    g_usage_json = json;
    g_usage_command = command;
}

int UsageError(const std::string& message) {
    ReportError("usage: " + message);
    std::fputs("Run 'kqtool --help' for the commands and options, 'kqtool COMMAND --help'\n"
               "for one command's.\n",
               stderr);
    if (g_usage_json) {
        JsonObject json;
        if (g_usage_command.empty()) {
            json.Raw("command", "null");
        } else {
            json.Str("command", g_usage_command);
        }
        json.Bool("ok", false).Str("error", "usage").Str("message", message);
        PrintLine(json.Text());
    }
    return kExitUsage;
}

void ReportError(const std::string& message) {
    std::fprintf(stderr, "kqtool: %s\n", message.c_str());
    std::fflush(stderr);
}

} // namespace kqtool
