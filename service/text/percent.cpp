#include "text/percent.h"

namespace kqd {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

bool PercentDecode(std::string_view in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) {
            return false;
        }
        int hi = HexValue(in[i + 1]);
        int lo = HexValue(in[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

} // namespace kqd
