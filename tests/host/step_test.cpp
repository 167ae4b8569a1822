#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/step.h"
#include "host/threads.h"

namespace kav {
namespace {

TEST(StepPool, RefusesTwoToThe53BytesAndZeroFills) {
  StepPool pool;
  EXPECT_EQ(pool.allocate(kMaxAllocation), nullptr);
  EXPECT_EQ(pool.allocate(kMaxAllocation + 1), nullptr);
  EXPECT_EQ(pool.allocate_array<double>(kMaxAllocation / 8), nullptr);
  EXPECT_EQ(pool.allocate_array<double>(~0ULL / 4), nullptr);  // count*size overflows
  auto* p = pool.allocate_array<double>(100);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(p[i], 0.0);
  EXPECT_EQ(pool.bytes_in_use(), 800u);
  pool.release(p);
  EXPECT_EQ(pool.bytes_in_use(), 0u);
}

TEST(StepExit, XexitThrowsCodeAndReason) {
  try {
    xexit(1016, 3);
    FAIL();
  } catch (const StepExit& e) {
    EXPECT_EQ(e.code, 1016);
    EXPECT_EQ(e.reason, 3);
  }
}

TEST(UtilityFile, RowsWrittenAtANotedPositionReadBackUnchanged) {
  UtilityFile f;
  ASSERT_EQ(f.xcopen(0x84000008u), 0);
  ASSERT_EQ(f.xcpoint(0), 0);
  std::vector<double> a = {1.5, -2.25, 1e-300, 3.0}, b = {7, 8, 9};
  ASSERT_EQ(f.xcwrite(a.data(), a.size() * 8), 0);
  std::int64_t at = f.xcnote();
  ASSERT_EQ(f.xcwrite(b.data(), b.size() * 8), 0);
  // Overwrite the first row in place; the second stays.
  std::vector<double> a2 = {4, 5, 6, 7};
  ASSERT_EQ(f.xcpoint(0), 0);
  ASSERT_EQ(f.xcwrite(a2.data(), 32), 0);
  std::vector<double> got(3);
  ASSERT_EQ(f.xcpoint(at), 0);
  ASSERT_EQ(f.xcread(got.data(), 24), 0);
  EXPECT_EQ(got, b);
  std::vector<double> first(4);
  ASSERT_EQ(f.xcpoint(0), 0);
  ASSERT_EQ(f.xcread(first.data(), 32), 0);
  EXPECT_EQ(first, a2);
  // Reading past the end and pointing outside the file fail.
  EXPECT_NE(f.xcread(first.data(), 32), 0);
  EXPECT_NE(f.xcpoint(1000), 0);
  EXPECT_EQ(f.xcclose(1), 0);
  EXPECT_NE(f.xcwrite(a.data(), 8), 0);
}

TEST(Threads, EventsHandBuffersBetweenReaderAndWorkers) {
  // A reader fills a counter for each of three workers in turn; every
  // worker adds what it gets; the total shows no hand-over was lost.
  constexpr int kWorkers = 3, kRounds = 200;
  std::vector<Event> full(kWorkers);
  EventSet free_buffers(kWorkers);
  std::vector<int> buffer(kWorkers, 0);
  std::atomic<long> total{0};
  std::atomic<bool> done{false};
  for (int w = 0; w < kWorkers; ++w) free_buffers.set(static_cast<std::size_t>(w));
  ThreadGroup group;
  for (int w = 0; w < kWorkers; ++w) {
    group.start([&, w] {
      for (;;) {
        full[static_cast<std::size_t>(w)].wait_and_reset();
        if (buffer[static_cast<std::size_t>(w)] < 0) return;
        total += buffer[static_cast<std::size_t>(w)];
        free_buffers.set(static_cast<std::size_t>(w));
      }
    });
  }
  long expected = 0;
  for (int r = 1; r <= kRounds; ++r) {
    std::size_t w = free_buffers.wait_any_and_reset();
    buffer[w] = r;
    expected += r;
    full[w].set();
  }
  for (int k = 0; k < kWorkers; ++k) {
    std::size_t w = free_buffers.wait_any_and_reset();
    buffer[w] = -1;
    full[w].set();
  }
  group.join();
  done = true;
  EXPECT_EQ(total.load(), expected);
}

TEST(Threads, EventWakesEveryWaiterAndKeepsItsState) {
  // A manual-reset event: one set() releases every thread waiting on it,
  // a set event lets later waits through, and reset() closes it again.
  Event gate;
  std::atomic<int> through{0};
  ThreadGroup group;
  for (int i = 0; i < 4; ++i) group.start([&] {
    gate.wait();
    ++through;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(through.load(), 0);
  gate.set();
  group.join();
  EXPECT_EQ(through.load(), 4);
  gate.wait();  // still set: returns at once
  EXPECT_TRUE(gate.is_set());
  gate.reset();
  EXPECT_FALSE(gate.is_set());

  // wait_and_reset takes the signal, so a second waiter stays blocked until
  // the next set().
  std::atomic<int> taken{0};
  for (int i = 0; i < 2; ++i) group.start([&] {
    gate.wait_and_reset();
    ++taken;
  });
  gate.set();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(taken.load(), 1);
  gate.set();
  group.join();
  EXPECT_EQ(taken.load(), 2);
}

TEST(Threads, PingPongLosesNoWakeUp) {
  // Two threads hand a token back and forth many times; a lost wake-up
  // would hang here, a doubled one would make the counts disagree.
  constexpr int kRounds = 20000;
  Event to_worker, to_reader;
  int handed = 0, seen = 0;
  ThreadGroup group;
  group.start([&] {
    for (int i = 0; i < kRounds; ++i) {
      to_worker.wait_and_reset();
      seen = handed;
      to_reader.set();
    }
  });
  for (int i = 1; i <= kRounds; ++i) {
    handed = i;
    to_worker.set();
    to_reader.wait_and_reset();
    ASSERT_EQ(seen, i);
  }
  group.join();
}

TEST(Threads, BindsOnlyWhenEveryThreadGetsAProcessor) {
  const int processors = static_cast<int>(std::thread::hardware_concurrency());
  EXPECT_FALSE(bind_to_own_processor(0, 100000));  // more threads than processors
  EXPECT_FALSE(bind_to_own_processor(3, 2));       // no such slot
  bool bound = false;
  std::thread t([&] { bound = bind_to_own_processor(0, 1); });
  t.join();
  if (processors >= 1) {
    EXPECT_TRUE(bound);
  }
}

}  // namespace
}  // namespace kav
