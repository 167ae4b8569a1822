// Thread, event and atomic helpers for reader/worker schemes: a reader
// thread hands buffers to workers and waits for free ones; workers wait for
// full buffers.  Standard C++ only, so procedures can use them directly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kav {

// A manual-reset event: wait() blocks until set(); reset() clears it.
//
// Built for hand-overs between a reader and its workers, which happen tens
// of thousands of times a second: the signalled state is one atomic word, so
// setting an event nobody sleeps on costs no system call.  A sleeper blocks
// on a pipe rather than a futex because a pipe wakes it as a hand-over ("I am
// about to wait, run this one here"): the scheduler then places it on the
// setter's processor, which the setter is about to leave, instead of queueing
// it behind a busy thread on the processor it last ran on.  When no pipe can
// be had (descriptors exhausted) the event falls back to a futex wait.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset() { state_.store(0, std::memory_order_seq_cst); }
  void wait();
  // Waits and clears in one step, so two waiters never both take one signal.
  void wait_and_reset();
  bool is_set() const { return state_.load(std::memory_order_acquire) != 0; }

 private:
  void sleep_until_set();

  std::atomic<std::uint32_t> state_{0};
  std::atomic<int> sleepers_{0};
  int read_fd_ = -1, write_fd_ = -1;
};

// Waits until any of several events is set and returns its index.
class EventSet {
 public:
  explicit EventSet(std::size_t n) : flags_(n, false) {}
  void set(std::size_t i) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      flags_[i] = true;
    }
    cv_.notify_all();
  }
  std::size_t wait_any_and_reset() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t found = flags_.size();
    cv_.wait(lock, [&] {
      for (std::size_t i = 0; i < flags_.size(); ++i)
        if (flags_[i]) {
          found = i;
          return true;
        }
      return false;
    });
    flags_[found] = false;
    return found;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<bool> flags_;
};

// Binds the calling thread to the slot-th processor it may run on, when
// every one of `slots` threads can have a processor of its own; otherwise
// leaves it free and returns false.  Workers that each keep a large private
// accumulator stay with their cache this way instead of being moved around
// as a reader thread comes and goes between them.
bool bind_to_own_processor(int slot, int slots);

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
