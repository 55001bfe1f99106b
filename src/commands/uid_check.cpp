// The UID rule every UID-addressed command shares.
#include "commands/commands.h"
#include "link/link.h"

namespace kq {

bool UidIsValid(const char* uid) {
    // Exactly 16 characters and the NUL in the 17th byte: nothing shorter,
    // and nothing that runs on past the field. A UID travels inside the
    // frame, so it may not hold the characters that frame a command either.
    return BoundedLength(uid, kUidChars + 1) == kUidChars && !HoldsFramingCharacter(uid, kUidChars);
}

} // namespace kq
