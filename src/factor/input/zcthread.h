// The parallel pass over data.  nThreads threads (the calling thread and
// nThreads - 1 started ones) each own one buffer.  They take turns at the
// reading: thread t fills the t-th, (t + n)-th, (t + 2n)-th ... buffer-full
// of the data, and processes each one itself before its next turn comes.
// So the data are read in order without a reading thread of their own (on a
// machine with as many processors as threads nobody is ever switched out to
// let a reader run), and which observations land in which buffer depends
// only on the thread count: a pass is reproducible for a given count.
// Buffers are opaque here; the caller's callbacks know what they hold.  Uses
// only the standard library and the host's thread helpers.
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
  void** buffers = nullptr;  // nThreads buffer records; buffer 0 is the calling thread's
  ZctReadFunction ReadBufferFunction = nullptr;
  ZctProcessFunction ProcessBufferFunction = nullptr;
  ZctCleanupFunction UserCleanupFunction = nullptr;
  double read_uSec = 0;     // time spent filling buffers, summed over threads
  double process_uSec = 0;  // time spent processing them, summed over threads
};

// What the threads share: whose turn it is to read, and whether the pass
// is ending.
struct ZCT_READPARMS {
  int nThreads = 0;
  // The number of the next buffer-full to read; thread (turn mod n) reads
  // it.  Closed when the data end or a read or a process fails.
  Turnstile turn;
  int status = 0;         // 55 once a read failed
  bool spin = false;      // every thread has a processor: spin for the turn before sleeping
};

// One per thread, each on cache lines of its own.
struct alignas(64) ZCT_THREADPARMS {
  void* buff_p = nullptr;
  ZctReadFunction rbfnc = nullptr;
  ZctProcessFunction pbfnc = nullptr;
  ZctCleanupFunction cbfnc = nullptr;
  int slot = 0;
  int code = 0;  // the thread's error code: 1 processing failed, 13 floating-point error
  ZCT_READPARMS* readParms_p = nullptr;
  double read_uSec = 0;
  double last_read_uSec = 0;  // the thread's latest fill
  double process_uSec = 0;
};

// Error code that stands for a floating-point error in a thread's sums.
inline constexpr int kZctMathError = 13;

// Runs the scheme until the data end.  Returns 0, 1 for bad parameters, 56
// when the threads could not be started, 55 when reading failed (the buffer
// whose fill failed is not processed), or 42 + the first thread's code (52,
// 53, 54 for codes 11 to 13, 55 for others).  Every started thread has
// ended when it returns.
int zcthread(ZCT_PARMS* parms);

}  // namespace kav
