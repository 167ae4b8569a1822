#include "host/progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kav {

bool stderr_is_terminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

double wmrlmem() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  double kb = 0;
  std::string unit;
  while (meminfo >> key >> kb >> unit)
    if (key == "MemAvailable:") return kb;
  const long pages = ::sysconf(_SC_AVPHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) return static_cast<double>(pages) * static_cast<double>(page) / 1024.0;
  return 1e12;
}

ProgressDisplay::ProgressDisplay(std::ostream* out, bool active, std::int64_t total,
                                 double delay_seconds, double interval_seconds)
    : out_(out),
      active_(active && out != nullptr),
      total_(total),
      delay_(delay_seconds),
      interval_(interval_seconds),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

namespace {

std::string clock_text(double seconds) {
  const long s = std::lround(seconds);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

}  // namespace

std::string ProgressDisplay::line(double read, double seconds, std::int64_t total) {
  char buf[160];
  const double rate = seconds > 0 ? read / seconds : 0.0;
  int n = std::snprintf(buf, sizeof buf, "%.0f observations read, %.0f per second", read, rate);
  std::string text(buf, static_cast<std::size_t>(n));
  if (total > 0 && rate > 0 && read <= static_cast<double>(total))
    text += ", about " + clock_text((static_cast<double>(total) - read) / rate) + " left";
  return text;
}

void ProgressDisplay::look(double observations_read) {
  const auto now = std::chrono::steady_clock::now();
  const double since_start = std::chrono::duration<double>(now - start_).count();
  if (since_start < delay_) return;
  if (shown_ && std::chrono::duration<double>(now - last_).count() < interval_) return;
  last_ = now;
  std::string text = line(observations_read, since_start, total_);
  // Pad over what a longer earlier line left behind.
  const std::size_t len = text.size();
  if (text.size() < width_) text.append(width_ - text.size(), ' ');
  width_ = len;
  *out_ << '\r' << text << std::flush;
  shown_ = true;
}

void ProgressDisplay::finish() {
  if (!shown_) return;
  *out_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
  shown_ = false;
}

}  // namespace kav
