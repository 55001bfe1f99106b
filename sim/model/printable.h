// Reader traffic in a printable form: STX, CR and LF by name, other control
// bytes as hexadecimal, for logs and test messages.
#pragma once

#include <cstdio>
#include <string>

namespace kqsim {

inline std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == 0x02) {
            out += "<STX>";
        } else if (c == '\r') {
            out += "<CR>";
        } else if (c == '\n') {
            out += "<LF>";
        } else if (c < 0x20 || c > 0x7e) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace kqsim
