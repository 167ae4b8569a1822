// Thread, event and atomic helpers for reader/worker schemes: a reader
// thread hands buffers to workers and waits for free ones; workers wait for
// full buffers.  Standard C++ only, so procedures can use them directly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kav {

// A manual-reset event: wait() blocks until set(); reset() clears it.
class Event {
 public:
  void set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    cv_.notify_all();
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
  }
  // Waits and clears in one step, so two waiters never both take one signal.
  void wait_and_reset() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
  }
  bool is_set() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
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
