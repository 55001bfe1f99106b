// The envelope of the four loop-capable operations: preparation before their
// command and the buzzer after a success.
#include "commands/commands.h"

#include "link/link.h"

namespace kq {

int PrepareCommand(KQ_PROPERTY* prop) {
    if (CheckConnection(prop) != KQ_OK) {
        return KQ_ERR_USB;
    }
    KQ_LoopStop(prop);
    // The reader's own loop is switched off before every prepared operation,
    // whether or not it was on.
    char status = '\0';
    if (LPCommand(prop, &status) != KQ_OK || status != '0') {
        return KQ_ERR_LOOPSTOP;
    }
    return KQ_OK;
}

int BuzzerTail(KQ_PROPERTY* prop, int r) {
    if (r != KQ_OK || prop->BuzzerOn != 1) {
        return r;
    }
    return KQ_BuzzerCommand(prop, prop->BuzzerTime) == KQ_OK ? KQ_OK : KQ_ERR_BUZZER;
}

} // namespace kq
