// A thread draws a ticket for the next block when it is free, so the
// blocks go to whichever thread is ready: one held up by another program
// does fewer of them, and none waits for its fixed turn behind it.  The
// blocks are made large (see zacsize): a turn handed on costs a cache-line
// transfer, or a wake-up of some ten microseconds when the next thread went
// to sleep, and either must stay a small part of a block's arithmetic.  A
// thread whose turn has not come yet spins only briefly and then sleeps:
// spinning is chosen from the processors this process may use, which says
// nothing of the load other programs put on them, and a spinner on a shared
// processor holds up the very thread it waits for.
//
// The calling thread keeps account of the pass.  One thread alone would
// take the processor time all threads spent reading and processing,
// stretched by the share of a processor the best placed thread gets while
// it works (its processor time over the wall-clock time of its blocks:
// below 1 when other programs compete for the processors).  That over the
// wall-clock time the threads took is what they gained over one; when it
// falls below a margin (ZCT_PARMS) the calling thread sends the others away
// and finishes the pass alone, block k still into buffer k mod n.
#include "factor/input/zcthread.h"

#include <algorithm>
#include <cfenv>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

namespace kav {

namespace {

// The longest spin for a turn, and its share of the thread's last block:
// beyond it a wake-up is small beside the wait.
constexpr double kSpinMaxMicros = 10.0, kSpinShareOfBlock = 0.01;

// Threads that get less than this done against one thread have lost
// plainly, whatever the first blocks cost.
constexpr double kPlainLoss = 0.6;

double spin_micros(const ZCT_THREADPARMS* tp) {
  if (!tp->readParms_p->spin) return 0.0;
  const double s = kSpinShareOfBlock * (tp->last_read_uSec + tp->last_process_uSec);
  return s > kSpinMaxMicros ? kSpinMaxMicros : s;
}

double micros_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

// Processes a buffer with `body` (the processing callback, or a reading and
// processing together).
template <typename Body>
int process(Body body) {
  // Floating-point state is per thread: an overflow or invalid operation in
  // this thread's sums shows up in its own flags.
  std::feclearexcept(FE_OVERFLOW | FE_INVALID);
  int result;
  try {
    result = body();
  } catch (...) {
    result = 1;
  }
  if (result != 0) return 1;
  if (std::fetestexcept(FE_OVERFLOW | FE_INVALID)) return kZctMathError;
  return 0;
}

enum class Block { More, Last, Failed };

// Ends every wait for a turn or a buffer: the data have ended or the pass
// failed.
void close_all(ZCT_READPARMS* rp) {
  rp->turn.close();
  for (int b = 0; b < rp->nThreads; ++b) rp->lanes[static_cast<std::size_t>(b)].close();
}

// Reads block `chunk` into tp's buffer, hands the reading on and processes
// the block.
Block do_block(ZCT_THREADPARMS* tp, std::uint32_t chunk) {
  ZCT_READPARMS* rp = tp->readParms_p;
  const double cpu0 = thread_cpu_micros();
  tp->last_cpu_uSec = 0;
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
    close_all(rp);
    return Block::Failed;
  }
  if (status == -1)
    close_all(rp);  // the others stop; this buffer is still processed
  else
    rp->turn.pass(chunk + 1);

  const auto t1 = std::chrono::steady_clock::now();
  const int code = process([tp] { return tp->pbfnc(tp->buff_p); });
  tp->last_process_uSec = micros_since(t1);
  tp->process_uSec += tp->last_process_uSec;
  tp->last_cpu_uSec = thread_cpu_micros() - cpu0;
  rp->work_cpu_uSec.fetch_add(tp->last_cpu_uSec, std::memory_order_relaxed);
  ZCT_READPARMS::Pace& pace = rp->pace[static_cast<std::size_t>(tp->slot)];
  pace.cpu_uSec.store(pace.cpu_uSec.load(std::memory_order_relaxed) + tp->last_cpu_uSec,
                      std::memory_order_relaxed);
  pace.wall_uSec.store(
      pace.wall_uSec.load(std::memory_order_relaxed) + tp->last_read_uSec + tp->last_process_uSec,
      std::memory_order_relaxed);
  if (code != 0) {
    if (tp->code == 0) tp->code = code;
    close_all(rp);  // the step stops; reading on would be wasted
    return Block::Failed;
  }
  return status == -1 ? Block::Last : Block::More;
}

// The calling thread alone: block `chunk` read and processed together in
// small steps, then the reading handed on (to nobody, once the workers
// have left).
Block alone_block(ZCT_THREADPARMS* tp, std::uint32_t chunk) {
  ZCT_READPARMS* rp = tp->readParms_p;
  int status = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const int code = process([&] { return rp->alone_block(tp->buff_p, &status); });
  tp->process_uSec += micros_since(t0);  // the reading is part of it
  if (status != 0 && status != -1) {
    rp->status = 55;
    close_all(rp);
    return Block::Failed;
  }
  if (code != 0) {
    if (tp->code == 0) tp->code = code;
    close_all(rp);
    return Block::Failed;
  }
  if (status == -1) {
    close_all(rp);
    return Block::Last;
  }
  rp->turn.pass(chunk + 1);
  return Block::More;
}

// The account of the pass since the calling thread's first block.
struct Account {
  std::chrono::steady_clock::time_point start;
  double work_cpu0 = 0;                          // all threads' processor time at the start
  std::vector<std::pair<double, double>> pace0;  // each thread's processor and wall time then
  int blocks = -1;                               // the calling thread's blocks since

  // Adds the calling thread's latest block; true when the threads are
  // getting less done than one thread would.
  bool losing_to_one(const ZCT_THREADPARMS* tp) {
    const ZCT_READPARMS* rp = tp->readParms_p;
    const auto n = static_cast<std::size_t>(rp->nThreads);
    if (++blocks == 0) {
      start = std::chrono::steady_clock::now();
      work_cpu0 = rp->work_cpu_uSec.load(std::memory_order_relaxed);
      for (std::size_t t = 0; t < n; ++t)
        pace0.emplace_back(rp->pace[t].cpu_uSec.load(std::memory_order_relaxed),
                           rp->pace[t].wall_uSec.load(std::memory_order_relaxed));
      return false;
    }
    const double wall = micros_since(start);
    // A pass that is plainly losing (a thread waiting for a processor each
    // time the turn comes to it) is called off after two blocks; a close
    // one is judged once the threads have found their pace.
    const bool early = blocks < rp->judge_blocks || wall < rp->judge_micros;
    if (early && blocks < 2) return false;
    // One thread alone would get at least the share of a processor the
    // best placed of the threads gets: with another program on one of two
    // processors, the thread beside it gets half of its processor, but one
    // thread alone would have the other processor to itself, and the
    // threads, taking turns at the reading, go at the pace of the slower.
    double share = 0;
    for (std::size_t t = 0; t < n; ++t) {
      const double cpu = rp->pace[t].cpu_uSec.load(std::memory_order_relaxed) - pace0[t].first;
      const double busy = rp->pace[t].wall_uSec.load(std::memory_order_relaxed) - pace0[t].second;
      if (busy > 0) share = std::max(share, cpu / busy);
    }
    if (share <= 0) return false;
    const double one_thread =
        (rp->work_cpu_uSec.load(std::memory_order_relaxed) - work_cpu0) / std::min(1.0, share);
    return one_thread < (early ? kPlainLoss : rp->keep_gain) * wall;
  }
};

// A thread's part: a block for each ticket it draws, until the data end;
// a worker also leaves once the calling thread has decided to go on alone.
// The calling thread (account not null) judges the pass after each block.
void take_blocks(ZCT_THREADPARMS* tp, Account* account) {
  ZCT_READPARMS* rp = tp->readParms_p;
  const auto n = static_cast<std::uint32_t>(rp->nThreads);
  for (;;) {
    const bool alone = rp->alone.load(std::memory_order_acquire);
    if (alone && !account) break;
    const std::uint32_t chunk = rp->tickets.fetch_add(1, std::memory_order_relaxed);
    Turnstile& lane = rp->lanes[chunk % n];
    if (!lane.wait_for(chunk, spin_micros(tp))) break;
    if (!rp->turn.wait_for(chunk, spin_micros(tp))) break;
    tp->buff_p = rp->buffers[chunk % n];
    const Block b = alone && rp->alone_block ? alone_block(tp, chunk) : do_block(tp, chunk);
    if (b != Block::More) break;
    lane.pass(chunk + n);
    if (account && n > 1 && !alone && account->losing_to_one(tp))
      rp->alone.store(true, std::memory_order_release);
  }
}

// A worker thread's body.
void ThZCT_ProcessBuffer(ZCT_THREADPARMS* tp) {
  take_blocks(tp, nullptr);
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
  rp.buffers = parms->buffers;
  rp.alone_block = parms->AloneBlockFunction;
  rp.judge_blocks = parms->judge_blocks;
  rp.judge_micros = parms->judge_micros;
  rp.keep_gain = parms->keep_gain;
  rp.pace = std::make_unique<ZCT_READPARMS::Pace[]>(static_cast<std::size_t>(n));
  rp.lanes = std::make_unique<Turnstile[]>(static_cast<std::size_t>(n));
  for (int b = 0; b < n; ++b)
    rp.lanes[static_cast<std::size_t>(b)].pass(static_cast<std::uint32_t>(b));
  // Spinning can pay only while every thread has a processor; with more
  // threads than processors a spinner would hold up the very thread it
  // waits for.
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
    close_all(&rp);
    pool.join();
    return 56;
  }

  Account account;
  take_blocks(&tps[0], &account);
  pool.join();

  parms->read_uSec = 0;
  parms->process_uSec = 0;
  parms->threads_at_end = rp.alone.load() ? 1 : n;
  int worker_code = 0;
  for (int i = 0; i < n; ++i) {
    const ZCT_THREADPARMS& tp = tps[static_cast<std::size_t>(i)];
    if (tp.cbfnc) tp.cbfnc(parms->buffers[i]);
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
