#include "host/threads.h"

#include <sched.h>
#include <time.h>

namespace kav {

bool Turnstile::wait_for(std::uint32_t turn, double spin_micros) {
  const std::uint32_t wanted = turn << kShift;
  auto came = [wanted](std::uint32_t w) { return (w & ~(kSleepers | kClosed)) == wanted; };
  auto settled = [this, &came] {
    const std::uint32_t w = word_.load(std::memory_order_acquire);
    return came(w) || (w & kClosed) != 0;
  };
  if (spin_micros <= 0 || !spin_until(settled, spin_micros)) {
    for (;;) {
      std::uint32_t w = word_.load(std::memory_order_acquire);
      if (came(w) || (w & kClosed)) break;
      // Announce the sleeper in the word itself, then sleep while the word
      // stays as announced.
      if (!(w & kSleepers) &&
          !word_.compare_exchange_weak(w, w | kSleepers, std::memory_order_acq_rel))
        continue;
      word_.wait(w | kSleepers, std::memory_order_acquire);
    }
  }
  const std::uint32_t w = word_.load(std::memory_order_acquire);
  return came(w) && !(w & kClosed);
}

void Turnstile::pass(std::uint32_t turn) {
  std::uint32_t w = word_.load(std::memory_order_relaxed);
  std::uint32_t next;
  do next = (turn << kShift) | (w & kClosed);
  while (!word_.compare_exchange_weak(w, next, std::memory_order_acq_rel));
  if (w & kSleepers) word_.notify_all();
}

void Turnstile::close() {
  word_.fetch_or(kClosed, std::memory_order_acq_rel);
  word_.notify_all();
}

double thread_cpu_micros() {
  timespec t{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0.0;
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) * 1e-3;
}

int usable_processors() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
  const int n = CPU_COUNT(&allowed);
  return n > 0 ? n : 1;
}

}  // namespace kav
