// What a long pass over data asks of the machine: whether the person running
// it is watching a terminal, a one-line progress display for that terminal,
// and how much memory is free for buffers.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace kav {

// True when standard error is a terminal (a person is watching).
bool stderr_is_terminal();

// Memory available to the process now, in kilobytes (free physical memory
// plus reclaimable cache); a large value when the machine does not say.
double wmrlmem();

// Observations read, rate and time left of a pass, shown on one line that is
// rewritten in place.  Nothing is written unless `active` (callers pass
// stderr_is_terminal()), and nothing before `delay_seconds` have passed, so
// short passes stay silent.  `total` is the number of observations expected,
// or -1 when unknown (then no time left is shown).
class ProgressDisplay {
 public:
  ProgressDisplay(std::ostream* out, bool active, std::int64_t total, double delay_seconds = 2.0,
                  double interval_seconds = 0.5);
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;
  ~ProgressDisplay() { finish(); }

  // Cheap when called often: the clock is looked at only every few calls.
  void update(double observations_read) {
    if (!active_ || ++calls_ < kCallsPerLook) return;
    calls_ = 0;
    look(observations_read);
  }
  // Clears the line if anything was shown.
  void finish();

  // The text of one progress line.
  static std::string line(double read, double seconds, std::int64_t total);

 private:
  static constexpr int kCallsPerLook = 16;
  void look(double observations_read);

  std::ostream* out_;
  bool active_;
  std::int64_t total_;
  double delay_, interval_;
  int calls_ = 0;
  bool shown_ = false;
  std::size_t width_ = 0;
  std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace kav
