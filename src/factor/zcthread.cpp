// One reader and nThreads workers hand buffers back and forth through a free
// bit per buffer and a count of free buffers.  The reader sleeps only when
// the count goes negative (no buffer free) and the worker that frees one wakes
// it; each worker sleeps on its own event until it is handed its buffer.
#include "factor/zcthread.h"

#include <cfenv>
#include <chrono>
#include <memory>
#include <system_error>
#include <vector>

namespace kav {

namespace {

double micros_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

void ThZCT_ProcessBuffer(ZCT_THREADPARMS* tp) {
  ZCT_READPARMS* rp = tp->readParms_p;
  // Each worker keeps its own crossproduct triangle hot in one processor's
  // cache; the reader is left free to run wherever a worker has just
  // finished.
  bind_to_own_processor(static_cast<int>(tp - rp->tp), rp->nThreads);
  for (;;) {
    tp->buffEvent_h->wait_and_reset();
    if ((tp->state.load(std::memory_order_acquire) & 1u) == 0) {
      const auto t0 = std::chrono::steady_clock::now();
      // Floating-point state is per thread: an overflow or invalid operation
      // in this worker's sums shows up in its own flags.
      std::feclearexcept(FE_OVERFLOW | FE_INVALID);
      int result;
      try {
        result = tp->pbfnc(tp->buff_p);
      } catch (...) {
        result = 1;
      }
      if (result != 0) {
        if (tp->code == 0) tp->code = 1;
      } else if (std::fetestexcept(FE_OVERFLOW | FE_INVALID) && tp->code == 0) {
        tp->code = kZctMathError;
      }
      tp->process_uSec += micros_since(t0);
      tp->state.fetch_or(1u, std::memory_order_acq_rel);
      // The count was -1 exactly when the reader found no free buffer and
      // waits (or is about to wait) for this one.
      if (rp->buffCnt.fetch_add(1, std::memory_order_acq_rel) + 1 == 0) rp->rEvent_h.set();
    }
    // The reader may have handed this buffer over again between the free
    // bit and now; the event is then set and the next round processes it.
    if (rp->ending.load(std::memory_order_acquire) &&
        (tp->state.load(std::memory_order_acquire) & 1u) != 0)
      break;
  }
  if (tp->cbfnc) tp->cbfnc(tp->buff_p);
}

// Ends the workers started so far and waits for them.
void end_workers(ZCT_READPARMS& rp, int started) {
  rp.ending.store(true, std::memory_order_release);
  for (int i = 0; i < started; ++i) rp.xEvents_hp[i].set();
  rp.thread->join();
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
  std::unique_ptr<Event[]> events;
  std::unique_ptr<ZCT_THREADPARMS[]> tps;
  int started = 0;
  rp.nThreads = n;
  rp.thread = &pool;
  rp.buf = parms->buffers;
  try {
    events = std::make_unique<Event[]>(static_cast<std::size_t>(n));
    tps = std::make_unique<ZCT_THREADPARMS[]>(static_cast<std::size_t>(n));
    rp.xEvents_hp = events.get();
    rp.tp = tps.get();
    rp.buffCnt.store(n);
    for (int i = 0; i < n; ++i) {
      ZCT_THREADPARMS& tp = tps[static_cast<std::size_t>(i)];
      tp.buff_p = parms->buffers[i];
      tp.pbfnc = parms->ProcessBufferFunction;
      tp.cbfnc = parms->UserCleanupFunction;
      tp.buffEvent_h = &events[static_cast<std::size_t>(i)];
      tp.readParms_p = &rp;
    }
    for (; started < n; ++started) {
      ZCT_THREADPARMS* tp = &tps[static_cast<std::size_t>(started)];
      pool.start([tp] { ThZCT_ProcessBuffer(tp); });
    }
  } catch (...) {
    if (rp.xEvents_hp) end_workers(rp, started);
    return 56;
  }

  // The reader: take the lowest-numbered free buffer, fill it, hand it over.
  int code = 0;
  for (;;) {
    if (rp.buffCnt.fetch_sub(1, std::memory_order_acq_rel) - 1 < 0) rp.rEvent_h.wait_and_reset();
    int i = 0;
    while (i < n &&
           (tps[static_cast<std::size_t>(i)].state.load(std::memory_order_acquire) & 1u) == 0)
      ++i;
    if (i == n) {  // cannot happen while the count is kept right
      code = 55;
      break;
    }
    ZCT_THREADPARMS& tp = tps[static_cast<std::size_t>(i)];
    int status = 0;
    const auto t0 = std::chrono::steady_clock::now();
    try {
      parms->ReadBufferFunction(tp.buff_p, &status);
    } catch (...) {
      status = 1;
    }
    rp.read_uSec += micros_since(t0);
    if (status != 0 && status != -1) {
      code = 55;
      break;
    }
    tp.state.fetch_and(~1u, std::memory_order_acq_rel);
    tp.buffEvent_h->set();
    if (status == -1) break;
  }
  rp.status = code;

  end_workers(rp, started);
  parms->read_uSec = rp.read_uSec;
  parms->process_uSec = 0;
  int worker_code = 0;
  for (int i = 0; i < n; ++i) {
    parms->process_uSec += tps[static_cast<std::size_t>(i)].process_uSec;
    if (worker_code == 0) worker_code = tps[static_cast<std::size_t>(i)].code;
  }
  if (worker_code != 0) {
    if (worker_code >= 1 && worker_code <= 9) return 42 + worker_code;
    if (worker_code >= 11 && worker_code <= 13) return 41 + worker_code;
    return 55;
  }
  return code;
}

}  // namespace kav
