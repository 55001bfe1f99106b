// Traffic tracing: when the environment variable KQ_TRACE names a
// destination ("stderr", or a file path), every D2XX call is written as one
// line there. Off by default; when off the bound table is left untouched.
#pragma once

#include "link/d2xx.h"

namespace kq {

// Called once, while the driver table is bound. With KQ_TRACE set and its
// destination writable, keeps a copy of *api and replaces every entry with a
// wrapper that calls the copy and writes one line per call; otherwise
// leaves *api as it is.
void TraceWrap(D2xxApi* api);

} // namespace kq
