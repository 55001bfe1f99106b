// Caller text that goes into a command frame: it must not hold the
// characters that frame a command (STX starts one, CR LF ends it).
#include "commands/commands.h"
#include "link/link.h"

namespace kq {

bool HoldsFramingCharacter(const char* text, size_t max) {
    for (size_t i = 0; i < max && text[i] != '\0'; ++i) {
        if (text[i] == STX || text[i] == '\r' || text[i] == '\n') {
            return true;
        }
    }
    return false;
}

} // namespace kq
