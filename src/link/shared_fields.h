// The record fields that a loop worker and the client's thread use at the
// same time (see "Threads" in kq.h): Handle, which an operation of either
// thread may reopen, and StopFlag, the handshake that ends a worker. Every
// access to them goes through these; the other fields are never shared
// while a worker runs.
#pragma once

#include "kq.h"

namespace kq {

// The record is byte-packed, so the compiler sees `Handle` as a field that
// may sit anywhere; in a record allocated the usual way (malloc, new, a
// static or an automatic variable) it lies on a pointer boundary, where a
// plain load or store of a pointer is atomic. The casts say so, which keeps
// every compiler on single instructions instead of library calls.
inline void* const* HandleSlot(const KQ_PROPERTY* prop) {
    return static_cast<void* const*>(static_cast<const void*>(&prop->Handle));
}

inline void* LoadHandle(const KQ_PROPERTY* prop) {
    return __atomic_load_n(HandleSlot(prop), __ATOMIC_ACQUIRE);
}

inline void StoreHandle(KQ_PROPERTY* prop, void* handle) {
    __atomic_store_n(const_cast<void**>(HandleSlot(prop)), handle, __ATOMIC_RELEASE);
}

// StopFlag is one byte: atomic wherever it lies.
inline unsigned char LoadStopFlag(const KQ_PROPERTY* prop) {
    return __atomic_load_n(&prop->StopFlag, __ATOMIC_ACQUIRE);
}

inline void StoreStopFlag(KQ_PROPERTY* prop, unsigned char value) {
    __atomic_store_n(&prop->StopFlag, value, __ATOMIC_RELEASE);
}

} // namespace kq
