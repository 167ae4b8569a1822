// The reader/worker scheme of a parallel pass over data: the calling thread
// reads observations into whichever buffer is free, and one worker thread per
// buffer accumulates the buffers it is handed.  Buffers are opaque here; the
// caller's callbacks know what they hold.  Uses only the standard library
// and the host's thread helpers.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/threads.h"

namespace kav {

// Fills a buffer; *status becomes 0 (more data), -1 (no more data, but the
// buffer is still to be processed) or any other value (a read error).
using ZctReadFunction = void (*)(void* buffer, int* status);
// Processes a full buffer; non-zero on failure.
using ZctProcessFunction = int (*)(void* buffer);
// Runs on each worker as it ends (may be null).
using ZctCleanupFunction = void (*)(void* buffer);

struct ZCT_PARMS {
  int nThreads = 0;
  void** buffers = nullptr;  // nThreads buffer records
  ZctReadFunction ReadBufferFunction = nullptr;
  ZctProcessFunction ProcessBufferFunction = nullptr;
  ZctCleanupFunction UserCleanupFunction = nullptr;
  double read_uSec = 0;     // time the reader spent filling buffers
  double process_uSec = 0;  // time the workers spent processing, summed
};

struct ZCT_THREADPARMS;

// The reader's side of the scheme.
struct ZCT_READPARMS {
  int nThreads = 0;
  const char* tkPool = "Main Thread pool";
  ThreadGroup* thread = nullptr;
  ZCT_THREADPARMS* tp = nullptr;
  void** buf = nullptr;
  Event rEvent_h;  // posted when a worker frees a buffer the reader waits for
  Event* xEvents_hp = nullptr;
  int status = 0;
  std::atomic<int> buffCnt{0};  // free buffers not yet taken by the reader
  std::atomic<bool> ending{false};
  double read_uSec = 0;
};

// One per worker.
struct ZCT_THREADPARMS {
  void* buff_p = nullptr;
  ZctProcessFunction pbfnc = nullptr;
  ZctCleanupFunction cbfnc = nullptr;
  Event* buffEvent_h = nullptr;
  int code = 0;  // worker's error code: 1 processing failed, 13 floating-point error
  ZCT_READPARMS* readParms_p = nullptr;
  std::atomic<unsigned> state{1};  // bit 0: the buffer is free
  double process_uSec = 0;
};

// Worker error code that stands for a floating-point error in a worker.
inline constexpr int kZctMathError = 13;

// Runs the scheme until the reader reports the end of the data.  Returns 0,
// 1 for bad parameters, 56 when the threads could not be started, 55 when
// reading failed, or 42 + the first worker's code (52, 53, 54 for codes 11 to
// 13, 55 for others).  Every worker has ended when it returns.
int zcthread(ZCT_PARMS* parms);

}  // namespace kav
