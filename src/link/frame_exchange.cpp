// Frame exchange: one command frame out, one reply frame in.
#include "link/shared_fields.h"
#include "link/link.h"

#include "platform/platform.h"

#include <cstring>

namespace kq {

FT_STATUS SendFrame(KQ_PROPERTY* prop, const char* frame, DWORD count, DWORD* written) {
    const D2xxApi& ft = D2xx();
    void* handle = LoadHandle(prop);
    ft.SetBreakOn(handle);
    ft.SetBreakOff(handle);
    ft.Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    return ft.Write(handle, const_cast<char*>(frame), count, written);
}

FT_STATUS ReceiveFrame(KQ_PROPERTY* prop, char* dest, DWORD capacity, DWORD* length) {
    const D2xxApi& ft = D2xx();
    void* handle = LoadHandle(prop);
    char accumulator[kReceiveTextMax + 1];
    std::memset(accumulator, 0, sizeof accumulator);
    size_t used = 0;
    long frame_end = -1;

    PollBeat beat;
    PollBeatStart(&beat);
    for (unsigned poll = 1; poll <= kReceivePolls; ++poll) {
        char chunk[kReceiveTextMax + 1];
        std::memset(chunk, 0, sizeof chunk);
        DWORD queued = 0;
        DWORD tx = 0;
        DWORD events = 0;
        FT_STATUS st = ft.GetStatus(handle, &queued, &tx, &events);
        if (st != FT_OK) {
            PollBeatEnd(&beat);
            return st;
        }
        if (queued > 0) {
            // Never more than the chunk holds nor the accumulator has room
            // for; the rest stays queued for the next poll.
            size_t want = queued;
            size_t room = kReceiveTextMax - used;
            if (want > room) {
                want = room;
            }
            if (want > 0) {
                DWORD got = 0;
                ft.Read(handle, chunk, static_cast<DWORD>(want), &got);
                // A NUL inside the chunk ends its text.
                size_t text = strnlen(chunk, want);
                std::memcpy(accumulator + used, chunk, text);
                used += text;
            }
        }
        frame_end = ReplyFrameEnd(accumulator, used);
        if (frame_end >= 0) {
            break;
        }
        PollBeatNext(&beat);
    }
    PollBeatEnd(&beat);

    if (frame_end >= 0 && static_cast<size_t>(frame_end) < capacity) {
        std::memcpy(dest, accumulator, static_cast<size_t>(frame_end));
        dest[frame_end] = '\0';
        *length = static_cast<DWORD>(frame_end);
        return FT_OK;
    }
    // No complete frame in time, or one too long for the destination: the
    // destination is left as it is, so the command finds no status.
    *length = capacity > 0 ? static_cast<DWORD>(strnlen(dest, capacity)) : 0;
    return FT_OK;
}

FT_STATUS ReadRaw(KQ_PROPERTY* prop, char* buf, DWORD count, DWORD* read) {
    return D2xx().Read(LoadHandle(prop), buf, count, read);
}

} // namespace kq
