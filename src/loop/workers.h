// Loop-mode workers: thread routines started by StartLoopWorker with the
// address of the client's KQ_PROPERTY.
#pragma once

#include "platform/platform.h"

namespace kq {

unsigned KQ_THREAD_CALL UIDLoopWorker(void* arg);
unsigned KQ_THREAD_CALL TagCommandLoopWorker(void* arg);
unsigned KQ_THREAD_CALL MultiReadLoopWorker(void* arg);
unsigned KQ_THREAD_CALL MultiWriteLoopWorker(void* arg);

} // namespace kq
