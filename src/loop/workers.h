// Loop-mode workers: thread routines started by StartLoopWorker with the
// address of the client's KQ_PROPERTY.
#pragma once

#include "platform/platform.h"

#include "kq.h"

namespace kq {

// The probe at the top of every pass: false while the device answers. When
// it does not, the worker's loop is over: StopFlag becomes 1 and
// WM_KQ_USBERROR is posted, in that order, so that a client stopping the
// loop on that message finds the worker already ended by itself.
bool WorkerLostDevice(KQ_PROPERTY* prop);

unsigned KQ_THREAD_CALL UIDLoopWorker(void* arg);
unsigned KQ_THREAD_CALL TagCommandLoopWorker(void* arg);
unsigned KQ_THREAD_CALL MultiReadLoopWorker(void* arg);
unsigned KQ_THREAD_CALL MultiWriteLoopWorker(void* arg);

} // namespace kq
