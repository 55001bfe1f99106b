// The record's device handle is read by a loop worker while the client's
// thread may reopen the device: every access goes through these.
#pragma once

#include "kq.h"

namespace kq {

inline void* LoadHandle(const KQ_PROPERTY* prop) {
    return __atomic_load_n(&prop->Handle, __ATOMIC_ACQUIRE);
}

inline void StoreHandle(KQ_PROPERTY* prop, void* handle) {
    __atomic_store_n(&prop->Handle, handle, __ATOMIC_RELEASE);
}

} // namespace kq
