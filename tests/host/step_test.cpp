#include "host/step.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

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

TEST(UtilityFile, RowsRewrittenInPlaceAndReadBackAtANotedPosition) {
  UtilityFile f;
  ASSERT_EQ(f.xcopen(0x84000008u), 0);
  std::vector<double> a = {1.5, -2.25, 1e-300}, b = {7, 8}, got(3);
  ASSERT_EQ(f.xcwrite(a.data(), 24), 0);
  const std::int64_t at = f.xcnote();
  ASSERT_EQ(f.xcwrite(b.data(), 16), 0);
  ASSERT_EQ(f.xcpoint(0), 0);
  ASSERT_EQ(f.xcwrite(b.data(), 16), 0);  // overwrites the start of the first row only
  ASSERT_EQ(f.xcpoint(0), 0);
  ASSERT_EQ(f.xcread(got.data(), 24), 0);
  EXPECT_EQ(got, (std::vector<double>{7, 8, 1e-300}));
  ASSERT_EQ(f.xcpoint(at), 0);
  ASSERT_EQ(f.xcread(got.data(), 16), 0);
  EXPECT_EQ(got[1], 8);
  // Reading past the end, pointing outside the file and writing once closed fail.
  EXPECT_NE(f.xcread(got.data(), 8), 0);
  EXPECT_NE(f.xcpoint(1000), 0);
  EXPECT_EQ(f.xcclose(1), 0);
  EXPECT_NE(f.xcwrite(a.data(), 8), 0);
  // Rows past the memory bound move to a file and still read back whole.
  ASSERT_EQ(f.xcopen(0x84000008u), 0);
  std::vector<double> big(UtilityFile::kMemoryBytes / 8 - 1, 0.5), back(big.size() + 2);
  ASSERT_EQ(f.xcwrite(a.data(), 16), 0);
  ASSERT_EQ(f.xcwrite(big.data(), big.size() * 8), 0);
  ASSERT_EQ(f.xcpoint(0), 0);
  ASSERT_EQ(f.xcread(back.data(), back.size() * 8 - 8), 0);
  EXPECT_EQ(back[0] + back[1] + back[big.size()], 1.5 - 2.25 + 0.5);
}

// Threads that take turns in a rotation: each appends its own number to a
// plain vector when its turn comes, so a turn given to two threads at once
// or out of order shows in the sequence (and to the sanitizers as a race).
std::vector<int> rotate(int threads, int rounds, double spin_micros, std::uint32_t first = 0) {
  Turnstile turn;
  if (first) turn.pass(first);
  std::vector<int> order;
  ThreadGroup group;
  for (int t = 0; t < threads; ++t)
    group.start([&, t] {
      for (auto k = first + static_cast<std::uint32_t>(t);;
           k += static_cast<std::uint32_t>(threads)) {
        if (!turn.wait_for(k, spin_micros)) return;
        order.push_back(t);
        if (order.size() == static_cast<std::size_t>(threads * rounds))
          turn.close();
        else
          turn.pass(k + 1);
      }
    });
  group.join();
  return order;
}

TEST(Threads, TurnsGoRoundInOrderSpinningOrSleeping) {
  // Spinning, sleeping at once, and more threads than any machine here has
  // processors (where waiters must sleep for the holder to run).
  for (double spin : {50.0, 0.0})
    for (int threads : {1, 2, 3, 8}) {
      // More threads than processors hand over through the scheduler, a
      // millisecond a turn on a busy machine: fewer rounds keep it quick.
      const int rounds = threads > 2 ? 40 : 300;
      std::vector<int> order = rotate(threads, rounds, spin);
      ASSERT_EQ(order.size(), static_cast<std::size_t>(threads * rounds));
      for (std::size_t i = 0; i < order.size(); ++i)
        ASSERT_EQ(order[i], static_cast<int>(i % static_cast<std::size_t>(threads)))
            << threads << " threads, spin " << spin << ", turn " << i;
    }
}

TEST(Threads, ClosingATurnstileEndsEveryWait) {
  Turnstile turn;
  std::atomic<int> ended{0};
  ThreadGroup group;
  for (int t = 1; t <= 3; ++t)
    group.start([&, t] {
      if (!turn.wait_for(static_cast<std::uint32_t>(t), 0.0)) ++ended;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ended.load(), 0);  // asleep: turn 0 is current
  turn.close();
  group.join();
  EXPECT_EQ(ended.load(), 3);
  EXPECT_TRUE(turn.closed());
  EXPECT_FALSE(turn.wait_for(0, 10.0));  // even the current turn, once closed
  // Passing keeps it closed.
  turn.pass(1);
  EXPECT_FALSE(turn.wait_for(1, 0.0));
}

TEST(Threads, TurnNumbersWrapAround) {
  // Turn numbers are kept modulo 2^30; a long pass must not stall there.
  EXPECT_EQ(rotate(2, 3, 0.0, (1u << 30) - 2), (std::vector<int>{0, 1, 0, 1, 0, 1}));
}

}  // namespace
}  // namespace kav
