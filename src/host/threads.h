// Thread helpers for passes over data shared by several threads: a group of
// threads started and joined together, and a rotation of turns between
// them.  Standard C++ only, so procedures can use them directly.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace kav {

// The number of processors the calling thread may run on (at least 1).
int usable_processors();

// Processor time the calling thread has used, in microseconds.  Unlike the
// wall clock it stands still while the thread is switched out, so a pass can
// tell the work its threads did from the time they spent waiting for a
// processor another program holds.
double thread_cpu_micros();

// Tells the processor the caller is busy-waiting (lets a sibling hardware
// thread run and saves power); a no-op where there is no such hint.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Busy-waits until ready() holds or about `micros` microseconds have passed,
// and returns ready().  For hand-overs expected within microseconds between
// threads that each have a processor, where sleeping and being woken would
// cost more than the wait itself.
template <typename Ready>
bool spin_until(Ready ready, double micros) {
  if (ready()) return true;
  const auto limit = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double, std::micro>(micros));
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      cpu_relax();
      if (ready()) return true;
    }
    if (std::chrono::steady_clock::now() >= limit) return ready();
  }
}

// A rotation of turns: threads wait until the turn number reaches theirs,
// and the thread holding the turn passes it on.  The turn is one word on a
// cache line of its own, and a thread that passes it makes a system call
// only when somebody went to sleep waiting, so a hand-over between threads
// that each have a processor costs one cache-line transfer.
class Turnstile {
 public:
  // Waits until the turn is `turn` (spinning up to spin_micros first), or
  // until the turnstile is closed; true when the turn came.
  bool wait_for(std::uint32_t turn, double spin_micros);
  // Gives the turn to `turn`.
  void pass(std::uint32_t turn);
  // Ends every wait, present and future, with false.
  void close();
  bool closed() const { return (word_.load(std::memory_order_acquire) & kClosed) != 0; }

 private:
  // The turn number (modulo 2^30) above two flag bits.
  static constexpr std::uint32_t kSleepers = 1, kClosed = 2, kShift = 2;
  alignas(64) std::atomic<std::uint32_t> word_{0};
  char pad_[64 - sizeof(std::atomic<std::uint32_t>)] = {};
};

// A group of worker threads started together and joined together.  The
// destructor joins any still running, so a step that ends early leaves no
// thread behind.
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;
  ~ThreadGroup() { join(); }
  void start(std::function<void()> body) { threads_.emplace_back(std::move(body)); }
  void join() {
    for (auto& t : threads_)
      if (t.joinable()) t.join();
    threads_.clear();
  }
  std::size_t size() const { return threads_.size(); }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace kav
