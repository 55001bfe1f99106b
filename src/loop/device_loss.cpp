// What every loop worker does when its device stops answering.
#include "loop/workers.h"

#include "commands/commands.h"

namespace kq {

bool WorkerLostDevice(KQ_PROPERTY* prop) {
    if (KQ_CheckStatusUSB(prop) == 0) {
        return false;
    }
    StoreStopFlag(prop, 1);
    Notify(prop, WM_KQ_USBERROR, 0);
    return true;
}

} // namespace kq
