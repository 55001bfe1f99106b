// Loop control: starting a loop worker of a kind and ending it.
#include "commands/commands.h"

#include "loop/workers.h"
#include "platform/platform.h"

namespace kq {

namespace {

ThreadRoutine WorkerOfKind(unsigned kind) {
    switch (kind) {
    case KQ_LOOP_UID:
        return UIDLoopWorker;
    case KQ_LOOP_MULTIREAD:
        return MultiReadLoopWorker;
    case KQ_LOOP_MULTIWRITE:
        return MultiWriteLoopWorker;
    case KQ_LOOP_TAGCOMMAND:
        return TagCommandLoopWorker;
    default:
        return nullptr;
    }
}

// Waits until the thread no longer reports itself as running (or cannot be
// asked), polling every millisecond.
void WaitForThreadEnd(void* thread) {
    uint32_t code = 0;
    PollBeat beat;
    PollBeatStart(&beat);
    while (ThreadExitCode(thread, &code) && code == kStillActive) {
        PollBeatNext(&beat);
    }
    PollBeatEnd(&beat);
}

// Lets a worker whose StopFlag is 1 finish, then releases its thread and
// clears hThread.
void ReleaseEndedWorker(KQ_PROPERTY* prop) {
    WaitForThreadEnd(prop->hThread);
    ThreadClose(prop->hThread);
    prop->hThread = nullptr;
}

} // namespace

void Notify(KQ_PROPERTY* prop, uint32_t message, uintptr_t lparam) {
#ifdef _WIN32
    intptr_t target = reinterpret_cast<intptr_t>(prop->hWnd);
#else
    intptr_t target = prop->hWnd;
#endif
    PostNotification(target, message, 0, lparam);
}

int StartLoopWorker(KQ_PROPERTY* prop, int kind) {
    unsigned k = static_cast<unsigned>(kind) & 0xFF;
    ThreadRoutine routine = WorkerOfKind(k);
    if (routine == nullptr) {
        return KQ_OK;
    }
    // A worker that ended by itself (device lost) may still have its handle
    // here. Make sure it ends (StopFlag 1) and let it finish before StopFlag
    // is cleared for the next one, then release it: never two workers on one
    // record, never a leaked thread.
    if (prop->hThread != nullptr) {
        StoreStopFlag(prop, 1);
        ReleaseEndedWorker(prop);
    }
    StoreStopFlag(prop, 0);
    prop->LoopKind = static_cast<unsigned char>(k);
    prop->hThread = ThreadStart(routine, prop);
    return KQ_OK;
}

} // namespace kq

extern "C" KQ_EXPORT int KQ_API KQ_LoopStop(KQ_PROPERTY* prop) {
    using namespace kq;
    if (LoadStopFlag(prop) == 1) {
        // Nothing to stop. A worker that ended by itself (device lost) still
        // holds its thread handle: release it, or a client that never starts
        // another loop would keep that thread's resources for good. No LP and
        // no message: the loop already ended with WM_KQ_USBERROR.
        if (prop->hThread != nullptr) {
            ReleaseEndedWorker(prop);
        }
        return KQ_OK;
    }
    StoreStopFlag(prop, 1);
    if (prop->hThread == nullptr) {
        return KQ_OK;
    }
    WaitForThreadEnd(prop->hThread);
    // The worker has ended: switch the reader's own loop off. Its answer does
    // not matter here (the stop cannot fail).
    char status = '\0';
    LPCommand(prop, &status);
    ThreadClose(prop->hThread);
    prop->hThread = nullptr;
    Notify(prop, WM_KQ_LOOPEND, 0);
    return KQ_OK;
}
