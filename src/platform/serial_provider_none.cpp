// Systems without the kernel serial path: no built-in serial provider.
#include "link/d2xx.h"

namespace kq {

const D2xxApi* SerialProviderApi() { return nullptr; }

} // namespace kq
