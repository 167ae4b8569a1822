#include "factor/state/random.h"

#include <chrono>
#include <string>

#include "host/services.h"

namespace kav {

double zranuni(std::int64_t* seed) {
  // Lehmer's multiplicative generator modulo the prime 2^31 - 1.
  constexpr std::int64_t kModulus = 2147483647;
  constexpr std::int64_t kMultiplier = 397204094;
  std::int64_t x = *seed;
  if (x < 1) {
    auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
    x = static_cast<std::int64_t>(static_cast<std::uint64_t>(ticks) % kModulus);
  }
  x %= kModulus;
  if (x == 0) x = 1;
  x = x * kMultiplier % kModulus;  // below 2^60: no overflow
  *seed = x;
  return static_cast<double>(x) / static_cast<double>(kModulus);
}

void zranms(COMSTR* com, std::int64_t seed, int mode) {
  if (!com->host) return;
  com->host->xjsympn(mode == 2 ? "SYSRANEND" : "SYSRANDOM", std::to_string(seed));
}

}  // namespace kav
