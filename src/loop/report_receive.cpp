// Reception of the reports a reader sends by itself, with the carry-over of
// a report that straddles two receive windows.
#include "loop/report.h"

#include "link/shared_fields.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

namespace {

void DropFront(ReportCarry* carry, size_t n) {
    if (n >= carry->used) {
        carry->used = 0;
        return;
    }
    std::memmove(carry->text, carry->text + n, carry->used - n);
    carry->used -= n;
}

// Moves the first complete frame of the carry into dest (see
// ReceiveReport). False when the carry holds none; it then starts with the
// STX of an unfinished frame, or is empty.
bool TakeFrame(ReportCarry* carry, char* dest, DWORD capacity, DWORD* length) {
    for (;;) {
        const void* stx = std::memchr(carry->text, STX, carry->used);
        if (stx == nullptr) {
            carry->used = 0; // nothing here can begin a frame
            return false;
        }
        DropFront(carry, static_cast<size_t>(static_cast<const char*>(stx) - carry->text));
        size_t i = 1;
        for (; i < carry->used; ++i) {
            char c = carry->text[i];
            if (c == STX || c == '\0' || (c == '\n' && carry->text[i - 1] == '\r')) {
                break;
            }
        }
        if (i == carry->used) {
            if (carry->used == sizeof carry->text) {
                carry->used = 0; // longer than any frame: never to be complete
            }
            return false;
        }
        char c = carry->text[i];
        if (c == STX) {
            DropFront(carry, i); // interrupted by the next frame
            continue;
        }
        if (c == '\0') {
            DropFront(carry, i + 1);
            continue;
        }
        size_t n = i + 1;
        if (capacity > 0 && n <= capacity - 1) {
            std::memcpy(dest, carry->text, n);
            dest[n] = '\0';
            *length = static_cast<DWORD>(n);
            DropFront(carry, n);
            return true;
        }
        DropFront(carry, n); // too long for the worker's buffer
    }
}

} // namespace

void ReportCarryClear(ReportCarry* carry) {
    carry->used = 0;
}

FT_STATUS ReceiveReport(KQ_PROPERTY* prop, ReportCarry* carry, char* dest, DWORD capacity,
                        DWORD* length) {
    *length = 0;
    if (TakeFrame(carry, dest, capacity, length)) {
        return FT_OK;
    }
    const D2xxApi& ft = D2xx();
    PollBeat beat;
    PollBeatStart(&beat);
    for (unsigned poll = 1; poll <= kReceivePolls; ++poll) {
        DWORD queued = 0;
        DWORD tx = 0;
        DWORD events = 0;
        void* handle = LoadHandle(prop);
        FT_STATUS st = ft.GetStatus(handle, &queued, &tx, &events);
        if (st != FT_OK) {
            PollBeatEnd(&beat);
            return st;
        }
        // TakeFrame leaves room: a full carry never survives it.
        size_t room = sizeof carry->text - carry->used;
        size_t want = queued < room ? queued : room;
        if (want > 0) {
            DWORD got = 0;
            if (ft.Read(handle, carry->text + carry->used, static_cast<DWORD>(want), &got) ==
                FT_OK) {
                carry->used += got < want ? got : want;
            }
            if (TakeFrame(carry, dest, capacity, length)) {
                PollBeatEnd(&beat);
                return FT_OK;
            }
        }
        PollBeatNext(&beat);
    }
    PollBeatEnd(&beat);
    return FT_OK;
}

} // namespace kq
