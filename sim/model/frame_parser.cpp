// Splitting the host's bytes into command frames.
#include "frame_parser.h"

namespace kqsim {

std::vector<ParsedFrame> FrameParser::Feed(const uint8_t* bytes, size_t n) {
    std::vector<ParsedFrame> frames;
    for (size_t i = 0; i < n; ++i) {
        char c = static_cast<char>(bytes[i]);
        if (c == '\x02') {
            in_frame_ = true;
            partial_.clear();
            continue;
        }
        if (!in_frame_) {
            continue;
        }
        if (c == '\n' && !partial_.empty() && partial_.back() == '\r') {
            partial_.pop_back();
            frames.push_back({partial_, i});
            partial_.clear();
            in_frame_ = false;
            continue;
        }
        partial_ += c;
        if (partial_.size() > kMaxFrameBody + 1) {
            partial_.clear();
            in_frame_ = false;
        }
    }
    return frames;
}

void FrameParser::Break() {
    in_frame_ = false;
    partial_.clear();
}

std::string ReplyFrame(const std::string& code, char status, const std::string& payload) {
    std::string out;
    out.reserve(code.size() + payload.size() + 6);
    out += '\x02';
    out += 'R';
    out += code;
    out += status;
    out += payload;
    out += "\r\n";
    return out;
}

} // namespace kqsim
