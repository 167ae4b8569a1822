// The parallel pass over data.  The data are read in blocks, block k into
// buffer k mod n (n = nThreads), and each buffer accumulates what its own
// blocks hold, in the order they were read.  Any thread may take the next
// block: a thread that has finished one draws a ticket for the next, waits
// until the block n before it has left that buffer, and then for its turn
// at the reading.  So the data are read in order without a reading thread of
// their own, a thread held up by another program does fewer blocks while the
// others go on, and which observations land in which buffer, and in what
// order, depends only on the thread count and the block size: a pass is
// reproducible for a given count, whichever thread did which block.  When
// the pass finds that its threads together get less done than one thread
// would, the others leave and the calling thread goes on alone, still
// putting block k into buffer k mod n: the very same bits either way.
// Buffers are opaque here; the caller's callbacks know what they hold.  Uses
// only the standard library and the host's thread helpers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "host/threads.h"

namespace kav {

// Fills a buffer; *status becomes 0 (more data), -1 (no more data, but the
// buffer is still to be processed) or any other value (a read error).
using ZctReadFunction = void (*)(void* buffer, int* status);
// Processes a full buffer; non-zero on failure.
using ZctProcessFunction = int (*)(void* buffer);
// Reads and processes one block the way a thread alone does it best (in
// small steps, so that the rows stay in the nearest cache); *status as for
// reading, the result as for processing.
using ZctAloneFunction = int (*)(void* buffer, int* status);
// Runs on each buffer as the pass ends (may be null).
using ZctCleanupFunction = void (*)(void* buffer);

struct ZCT_PARMS {
  int nThreads = 0;
  void** buffers = nullptr;  // nThreads buffer records; block k of the data goes to buffer k mod n
  ZctReadFunction ReadBufferFunction = nullptr;
  ZctProcessFunction ProcessBufferFunction = nullptr;
  ZctCleanupFunction UserCleanupFunction = nullptr;
  // A thread alone after the others were sent away uses this when given,
  // else a reading and a processing.
  ZctAloneFunction AloneBlockFunction = nullptr;
  // The pass is judged once the calling thread has done judge_blocks
  // blocks and judge_micros have passed since its first (starting the
  // threads and filling the caches are not the threads' pace); the threads
  // are sent away when they gain less than keep_gain over one.  Not 1: two
  // threads share the caches and the memory, so one thread alone does a
  // block a little faster than each of two does.
  int judge_blocks = 6;
  double judge_micros = 10000.0;
  double keep_gain = 1.1;
  double read_uSec = 0;     // time spent filling buffers, summed over threads
  double process_uSec = 0;  // time spent processing them, summed over threads
  int threads_at_end = 0;   // out: threads still sharing the work at the end (1 after falling back)
};

// What the threads share: whose turn it is to read, and whether the pass
// is ending.
struct ZCT_READPARMS {
  int nThreads = 0;
  void** buffers = nullptr;  // the n buffers; block k goes to buffer k mod n
  ZctAloneFunction alone_block = nullptr;
  int judge_blocks = 0;
  double judge_micros = 0, keep_gain = 0;
  // The number of the next block to read; the holder of its ticket reads
  // it.  Closed when the data end or a read or a process fails.
  Turnstile turn;
  // Buffer b is open to block k once block k - n has left it (block b at
  // the start); closed with the turn.
  std::unique_ptr<Turnstile[]> lanes;
  // The next ticket: the number of the block its drawer reads next.
  alignas(64) std::atomic<std::uint32_t> tickets{0};
  int status = 0;     // 55 once a read failed
  bool spin = false;  // every thread has a processor: spin briefly for the turn before sleeping
  // Set by the calling thread when the threads lose to one: each worker
  // leaves before drawing its next ticket.
  alignas(64) std::atomic<bool> alone{false};
  // Processor time of the reading and processing, all threads, in
  // microseconds; each thread adds its own after every block.
  std::atomic<double> work_cpu_uSec{0.0};
  // Each thread's processor and wall-clock time in its blocks (written by
  // that thread only), for the share of a processor each one gets.
  struct alignas(64) Pace {
    std::atomic<double> cpu_uSec{0.0}, wall_uSec{0.0};
  };
  std::unique_ptr<Pace[]> pace;
};

// One per thread, each on cache lines of its own.
struct alignas(64) ZCT_THREADPARMS {
  void* buff_p = nullptr;  // the buffer of the thread's current block
  ZctReadFunction rbfnc = nullptr;
  ZctProcessFunction pbfnc = nullptr;
  ZctCleanupFunction cbfnc = nullptr;
  int slot = 0;
  int code = 0;  // the thread's error code: 1 processing failed, 13 floating-point error
  ZCT_READPARMS* readParms_p = nullptr;
  double read_uSec = 0;
  double last_read_uSec = 0;  // the thread's latest fill
  double process_uSec = 0;
  double last_process_uSec = 0;  // the thread's latest processing
  double last_cpu_uSec = 0;      // processor time of the thread's latest block
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
