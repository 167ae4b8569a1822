#include "host/threads.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>

namespace kav {

Event::Event() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    // A full pipe already holds more wake-ups than there are sleepers, so
    // the setter never needs to block on it.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    read_fd_ = fds[0];
    write_fd_ = fds[1];
  }
}

Event::~Event() {
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
}

void Event::set() {
  // Sequentially consistent on both sides: either the setter sees the
  // sleeper announced, or the sleeper sees the state set before it sleeps.
  if (state_.exchange(1, std::memory_order_seq_cst) != 0) return;
  const int sleepers = sleepers_.load(std::memory_order_seq_cst);
  if (sleepers == 0) return;
  if (write_fd_ >= 0) {
    // One token per sleeper, so that every waiter of a manual-reset event
    // wakes; a token left over only causes one more look at the state.
    char tokens[64] = {};
    const std::size_t count = static_cast<std::size_t>(sleepers < 64 ? sleepers : 64);
    ssize_t n;
    do n = ::write(write_fd_, tokens, count);
    while (n < 0 && errno == EINTR);
  } else {
    state_.notify_all();
  }
}

// Sleeps until the state may have become set; may return early (a stale
// token in the pipe), so callers re-check the state in a loop.
void Event::sleep_until_set() {
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  if (state_.load(std::memory_order_seq_cst) == 0) {
    if (read_fd_ >= 0) {
      char token;
      ssize_t n;
      do n = ::read(read_fd_, &token, 1);
      while (n < 0 && errno == EINTR);
    } else {
      state_.wait(0, std::memory_order_seq_cst);
    }
  }
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

void Event::wait() {
  while (state_.load(std::memory_order_seq_cst) == 0) sleep_until_set();
}

void Event::wait_and_reset() {
  for (;;) {
    std::uint32_t expected = 1;
    if (state_.compare_exchange_strong(expected, 0, std::memory_order_seq_cst)) return;
    sleep_until_set();
  }
}

bool bind_to_own_processor(int slot, int slots) {
  if (slot < 0 || slot >= slots) return false;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  if (CPU_COUNT(&allowed) < slots) return false;
  int seen = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed) || ++seen != slot) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return ::pthread_setaffinity_np(::pthread_self(), sizeof one, &one) == 0;
  }
  return false;
}

}  // namespace kav
