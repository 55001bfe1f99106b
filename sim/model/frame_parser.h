// Splits the bytes the host sends into command frames: STX, body, CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kqsim {

// Longest body the reader accepts; a longer frame is thrown away.
constexpr size_t kMaxFrameBody = 1024;

struct ParsedFrame {
    std::string body; // between STX and CR LF (code and parameters)
    size_t end;       // offset in the fed bytes of the frame's LF
};

// Bytes outside a frame are ignored; an STX starts a new frame and throws
// away a partial one; CR directly followed by LF ends a frame. A partial
// frame survives from one Feed to the next.
class FrameParser {
  public:
    std::vector<ParsedFrame> Feed(const uint8_t* bytes, size_t n);
    // A break on the line: the partial frame is lost.
    void Break();
    bool InFrame() const { return in_frame_; }

  private:
    bool in_frame_ = false;
    std::string partial_;
};

// Reply frame: STX 'R' code status payload CR LF.
std::string ReplyFrame(const std::string& code, char status, const std::string& payload);

} // namespace kqsim
