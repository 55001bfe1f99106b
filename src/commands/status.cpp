// Result codes from reply status characters.
#include "commands/commands.h"

namespace kq {

int StatusToCode(char status) {
    if (status >= '1' && status <= '9') {
        return status - '0';
    }
    if (status >= 'A' && status <= 'F') {
        return status - 'A' + 10;
    }
    if (status >= 'a' && status <= 'f') {
        return status - 'a' + 10;
    }
    // Nothing at the status position, or a garbled character: either way the
    // reply cannot be trusted, and success must not be reported for it.
    return KQ_ERR_NOREPLY;
}

} // namespace kq
