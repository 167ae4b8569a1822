// Threads take turns at the reading in a fixed rotation and process their
// own buffers between turns.  A thread whose turn has not come yet spins
// briefly when every thread has a processor (the turn usually comes within
// microseconds) and otherwise sleeps until the thread before it in the
// rotation hands the turn on.
#include "factor/input/zcthread.h"

#include <cfenv>
#include <chrono>
#include <memory>

namespace kav {

namespace {

// How long a thread that has a processor of its own spins for its turn.  The
// wait is about one buffer's reading by the thread before it, so it spins a
// little longer than its own last reading took: being put to sleep and woken
// again costs some 10 microseconds on a virtual machine, which would add to
// every turn of a pass whose reading is the slow part.  Beyond the upper
// limit a wake-up is small beside the wait.
constexpr double kSpinMinMicros = 50.0, kSpinMaxMicros = 300.0;

double spin_micros(const ZCT_THREADPARMS* tp) {
  if (!tp->readParms_p->spin) return 0.0;
  const double s = 1.5 * tp->last_read_uSec;
  return s < kSpinMinMicros ? kSpinMinMicros : s > kSpinMaxMicros ? kSpinMaxMicros : s;
}

double micros_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

int process(ZCT_THREADPARMS* tp) {
  // Floating-point state is per thread: an overflow or invalid operation in
  // this thread's sums shows up in its own flags.
  std::feclearexcept(FE_OVERFLOW | FE_INVALID);
  int result;
  try {
    result = tp->pbfnc(tp->buff_p);
  } catch (...) {
    result = 1;
  }
  if (result != 0) return 1;
  if (std::fetestexcept(FE_OVERFLOW | FE_INVALID)) return kZctMathError;
  return 0;
}

void ThZCT_ProcessBuffer(ZCT_THREADPARMS* tp) {
  ZCT_READPARMS* rp = tp->readParms_p;
  const auto n = static_cast<std::uint32_t>(rp->nThreads);
  for (auto chunk = static_cast<std::uint32_t>(tp->slot);; chunk += n) {
    if (!rp->turn.wait_for(chunk, spin_micros(tp))) break;

    int status = 0;
    const auto t0 = std::chrono::steady_clock::now();
    try {
      tp->rbfnc(tp->buff_p, &status);
    } catch (...) {
      status = 1;
    }
    tp->last_read_uSec = micros_since(t0);
    tp->read_uSec += tp->last_read_uSec;
    if (status != 0 && status != -1) {
      rp->status = 55;  // only the thread holding the turn writes it
      rp->turn.close();
      break;
    }
    if (status == -1)
      rp->turn.close();  // the others stop; this buffer is still processed
    else
      rp->turn.pass(chunk + 1);

    const auto t1 = std::chrono::steady_clock::now();
    const int code = process(tp);
    tp->process_uSec += micros_since(t1);
    if (code != 0) {
      if (tp->code == 0) tp->code = code;
      rp->turn.close();  // the step stops; reading on would be wasted
      break;
    }
    if (status == -1) break;
  }
  if (tp->cbfnc) tp->cbfnc(tp->buff_p);
}

}  // namespace

int zcthread(ZCT_PARMS* parms) {
  if (!parms || parms->nThreads < 1 || !parms->buffers || !parms->ReadBufferFunction ||
      !parms->ProcessBufferFunction)
    return 1;
  const int n = parms->nThreads;
  for (int i = 0; i < n; ++i)
    if (!parms->buffers[i]) return 1;

  ZCT_READPARMS rp;
  ThreadGroup pool;
  std::unique_ptr<ZCT_THREADPARMS[]> tps;
  rp.nThreads = n;
  // Spinning pays only while every thread has a processor; with more threads
  // than processors a spinner would hold up the very thread it waits for.
  rp.spin = n <= usable_processors();
  try {
    tps = std::make_unique<ZCT_THREADPARMS[]>(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      ZCT_THREADPARMS& tp = tps[static_cast<std::size_t>(i)];
      tp.buff_p = parms->buffers[i];
      tp.rbfnc = parms->ReadBufferFunction;
      tp.pbfnc = parms->ProcessBufferFunction;
      tp.cbfnc = parms->UserCleanupFunction;
      tp.slot = i;
      tp.readParms_p = &rp;
    }
    for (int i = 1; i < n; ++i) {
      ZCT_THREADPARMS* tp = &tps[static_cast<std::size_t>(i)];
      pool.start([tp] { ThZCT_ProcessBuffer(tp); });
    }
  } catch (...) {
    rp.turn.close();
    pool.join();
    return 56;
  }

  ThZCT_ProcessBuffer(&tps[0]);  // the calling thread takes the first turn
  pool.join();

  parms->read_uSec = 0;
  parms->process_uSec = 0;
  int worker_code = 0;
  for (int i = 0; i < n; ++i) {
    const ZCT_THREADPARMS& tp = tps[static_cast<std::size_t>(i)];
    parms->read_uSec += tp.read_uSec;
    parms->process_uSec += tp.process_uSec;
    if (worker_code == 0) worker_code = tp.code;
  }
  if (worker_code != 0) {
    if (worker_code >= 1 && worker_code <= 9) return 42 + worker_code;
    if (worker_code >= 11 && worker_code <= 13) return 41 + worker_code;
    return 55;
  }
  return rp.status;
}

}  // namespace kav
