// The built-in serial provider exists on Linux only: elsewhere (Windows,
// other POSIX systems) the binding finds no table here and uses the vendor
// library alone.
#include "link/d2xx.h"

namespace kq {

const D2xxApi* SerialProviderApi() {
    return nullptr;
}

} // namespace kq
