// The number-of-factors aids: the MAP test and parallel analysis.
#include "tkxfac/tkxaids.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

#include "numeric/eigen.h"
#include "tkxfac/tkxfac.h"

namespace kav {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A partial variance at or below this share of the unit variance is taken as
// exhausted: its partial correlations would be rounding noise.
constexpr double kExhausted = 1.110223024625157e-13;

std::size_t packed_at(int i, int j) {
  return static_cast<std::size_t>(i) * (i + 1) / 2 + static_cast<std::size_t>(j);
}

// The packed matrix scaled to unit diagonal, as a full lower triangle of a
// p x p row-major array.  False when a diagonal element is not a positive
// finite number.
bool unit_diagonal(int p, const double* a, std::vector<double>& r) {
  std::vector<double> scale(static_cast<std::size_t>(p));
  for (int i = 0; i < p; ++i) {
    const double d = a[packed_at(i, i)];
    if (!(d > 0) || !std::isfinite(d)) return false;
    scale[static_cast<std::size_t>(i)] = 1 / std::sqrt(d);
  }
  r.assign(static_cast<std::size_t>(p) * p, 0.0);
  for (int i = 0; i < p; ++i) {
    for (int j = 0; j < i; ++j)
      r[static_cast<std::size_t>(i) * p + j] = a[packed_at(i, j)] *
                                               scale[static_cast<std::size_t>(i)] *
                                               scale[static_cast<std::size_t>(j)];
    r[static_cast<std::size_t>(i) * p + i] = 1;
  }
  return true;
}

// The average squared and fourth-power correlation of the partial
// covariances `c` (lower triangle of a p x p array) over the p(p - 1)
// off-diagonal places; NaN for both when a partial variance is exhausted.
void average_partials(int p, const std::vector<double>& c, std::vector<double>& inv_sd,
                      double* avg2, double* avg4) {
  *avg2 = *avg4 = kNaN;
  if (p < 2) return;
  for (int i = 0; i < p; ++i) {
    const double d = c[static_cast<std::size_t>(i) * p + i];
    if (!(d > kExhausted)) return;
    inv_sd[static_cast<std::size_t>(i)] = 1 / std::sqrt(d);
  }
  double sum2 = 0, sum4 = 0;
  for (int i = 1; i < p; ++i) {
    const double* row = &c[static_cast<std::size_t>(i) * p];
    const double si = inv_sd[static_cast<std::size_t>(i)];
    for (int j = 0; j < i; ++j) {
      const double r = row[j] * si * inv_sd[static_cast<std::size_t>(j)];
      const double r2 = r * r;
      sum2 += r2;
      sum4 += r2 * r2;
    }
  }
  const double pairs = 0.5 * p * (p - 1.0);
  *avg2 = sum2 / pairs;
  *avg4 = sum4 / pairs;
}

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) {
  return (x << k) | (x >> (64 - k));
}

// The ziggurat of the standard normal density in 128 layers (Marsaglia and
// Tsang, 2000): kn are the acceptance bounds of the layers in units of
// 2^-31, wn the widths per unit, fn the density at the layer edges.
struct Ziggurat {
  static constexpr double kR = 3.442619855899;  // where the tail starts
  std::uint32_t kn[128];
  double wn[128], fn[128];
  Ziggurat() {
    const double m1 = 2147483648.0;
    const double vn = 9.91256303526217e-3;  // area of each layer
    double dn = kR, tn = kR;
    const double q = vn / std::exp(-0.5 * dn * dn);
    kn[0] = static_cast<std::uint32_t>((dn / q) * m1);
    kn[1] = 0;
    wn[0] = q / m1;
    wn[127] = dn / m1;
    fn[0] = 1.0;
    fn[127] = std::exp(-0.5 * dn * dn);
    for (int i = 126; i >= 1; --i) {
      dn = std::sqrt(-2.0 * std::log(vn / dn + std::exp(-0.5 * dn * dn)));
      kn[i + 1] = static_cast<std::uint32_t>((dn / tn) * m1);
      tn = dn;
      fn[i] = std::exp(-0.5 * dn * dn);
      wn[i] = dn / m1;
    }
  }
};

const Ziggurat& ziggurat() {
  static const Ziggurat z;
  return z;
}

std::uint32_t magnitude(std::int32_t hz) {
  return hz < 0 ? 0u - static_cast<std::uint32_t>(hz) : static_cast<std::uint32_t>(hz);
}

// Rows of simulated data accumulated into the cross products at a time: each
// element of the cross-product triangle is loaded and stored once per block
// instead of once per row.
constexpr int kBlock = 8;

void size_work(int p, SimulationWork& w) {
  const auto n = static_cast<std::size_t>(p);
  w.row.resize(n * kBlock);
  w.sums.resize(n);
  w.cross.resize(n * n);
  w.packed.resize(n * (n + 1) / 2);
  w.eigen_work.resize(8 * n);
}

}  // namespace

// ---------------------------------------------------------------------------
// Minimum average partial

int map_suggestion(int n, const double* average) {
  int best = -1;
  for (int m = 0; m < n; ++m) {
    if (std::isnan(average[m])) continue;
    if (best < 0 || average[m] < average[best]) best = m;
  }
  return best < 0 ? 0 : best;
}

int minimum_average_partial(int nvar, const double* corr, MapResult& result) {
  result = MapResult{};
  if (nvar < 1 || !corr) return TKXFAC_ERR_ARGUMENT;
  result.map2.assign(static_cast<std::size_t>(nvar), kNaN);
  result.map4.assign(static_cast<std::size_t>(nvar), kNaN);

  // A variable without variance has no partial correlations at all; the
  // test runs on the others.
  std::vector<int> kept;
  for (int i = 0; i < nvar; ++i) {
    const double d = corr[packed_at(i, i)];
    if (d == 0) continue;
    if (!(d > 0) || !std::isfinite(d)) return TKXFAC_ERR_COMPUTE;
    kept.push_back(i);
  }
  const int p = static_cast<int>(kept.size());
  if (p == 0) return TKXFAC_OK;
  const auto n = static_cast<std::size_t>(p);
  std::vector<double> sub(n * (n + 1) / 2);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j)
      sub[packed_at(i, j)] =
          corr[packed_at(kept[static_cast<std::size_t>(i)], kept[static_cast<std::size_t>(j)])];
  std::vector<double> r;
  if (!unit_diagonal(p, sub.data(), r)) return TKXFAC_ERR_COMPUTE;
  std::vector<double> inv_sd(n);

  // No component partialled out: the correlations themselves.
  average_partials(p, r, inv_sd, &result.map2[0], &result.map4[0]);

  std::vector<double> packed(n * (n + 1) / 2), values(n), vectors(n * n), work(8 * n);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j) packed[packed_at(i, j)] = r[static_cast<std::size_t>(i) * p + j];
  if (zeigen2(p, packed.data(), values.data(), p, vectors.data(), work.data()) > 0)
    return TKXFAC_ERR_COMPUTE;

  // With the first m components partialled out, what remains of the
  // correlation matrix is the sum of the other components, lambda_k v_k v_k'
  // for k = m .. p - 1.  Summing them from the smallest up, rather than
  // subtracting the leading ones from R, keeps the small partial variances
  // free of cancellation.
  std::vector<double> c(n * n, 0.0);
  for (int k = p - 1; k >= 1; --k) {
    const double lambda = values[static_cast<std::size_t>(k)];
    const double* v = &vectors[static_cast<std::size_t>(k) * n];
    for (int i = 0; i < p; ++i) {
      const double li = lambda * v[i];
      double* row = &c[static_cast<std::size_t>(i) * p];
      for (int j = 0; j <= i; ++j) row[j] += li * v[j];
    }
    average_partials(p, c, inv_sd, &result.map2[static_cast<std::size_t>(k)],
                     &result.map4[static_cast<std::size_t>(k)]);
  }
  result.nfact2 = map_suggestion(nvar, result.map2.data());
  result.nfact4 = map_suggestion(nvar, result.map4.data());
  return TKXFAC_OK;
}

// ---------------------------------------------------------------------------
// Random streams

NormalStream::NormalStream(std::uint64_t seed, std::uint64_t index) {
  std::uint64_t x = seed;
  std::uint64_t key = splitmix64(x);
  // The index enters through a second mixing, so that nearby seeds and
  // nearby indices give unrelated streams.
  std::uint64_t y = key ^ (index * 0xd1342543de82ef95ULL + 0x2545f4914f6cdd1dULL);
  for (std::uint64_t& s : s_) s = splitmix64(y);
}

std::uint64_t NormalStream::bits() {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double NormalStream::uniform() {
  return (static_cast<double>(bits() >> 11) + 0.5) * 0x1p-53;
}

double NormalStream::normal() {
  const Ziggurat& z = ziggurat();
  const std::uint64_t u = bits();
  const auto layer = static_cast<unsigned>(u & 127u);
  const auto hz = static_cast<std::int32_t>(static_cast<std::uint32_t>(u >> 32));
  if (magnitude(hz) < z.kn[layer]) return hz * z.wn[layer];
  return tail(hz, layer);
}

// The rare draws outside a layer's rectangle: the wedge of a layer by
// rejection, the tail beyond kR by Marsaglia's exponential method.
double NormalStream::tail(std::int32_t hz, unsigned layer) {
  const Ziggurat& z = ziggurat();
  for (;;) {
    const double x = hz * z.wn[layer];
    if (layer == 0) {
      double t, y;
      do {
        t = -std::log(uniform()) / Ziggurat::kR;
        y = -std::log(uniform());
      } while (y + y < t * t);
      return hz > 0 ? Ziggurat::kR + t : -Ziggurat::kR - t;
    }
    if (z.fn[layer] + uniform() * (z.fn[layer - 1] - z.fn[layer]) < std::exp(-0.5 * x * x))
      return x;
    const std::uint64_t u = bits();
    layer = static_cast<unsigned>(u & 127u);
    hz = static_cast<std::int32_t>(static_cast<std::uint32_t>(u >> 32));
    if (magnitude(hz) < z.kn[layer]) return hz * z.wn[layer];
  }
}

std::uint64_t clock_seed() {
  std::uint64_t x =
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  return splitmix64(x) % 2147483646ULL + 1;
}

// ---------------------------------------------------------------------------
// Parallel analysis

bool simulated_eigenvalues(int p, std::int64_t nobs, NormalStream& stream, SimulationWork& w,
                           double* eigenvalues) {
  if (p == 1) {
    eigenvalues[0] = 1;  // the correlation of a variable with itself
    return true;
  }
  size_work(p, w);
  const auto n = static_cast<std::size_t>(p);
  std::fill(w.sums.begin(), w.sums.end(), 0.0);
  std::fill(w.cross.begin(), w.cross.end(), 0.0);
  double* block = w.row.data();
  double* sums = w.sums.data();
  double* cross = w.cross.data();
  for (std::int64_t done = 0; done < nobs;) {
    const int rows = static_cast<int>(std::min<std::int64_t>(kBlock, nobs - done));
    for (int b = 0; b < rows; ++b) {
      double* x = block + static_cast<std::size_t>(b) * n;
      for (int j = 0; j < p; ++j) {
        x[j] = stream.normal();
        sums[j] += x[j];
      }
    }
    for (int j = 0; j < p; ++j) {
      double* c = cross + static_cast<std::size_t>(j) * n;
      if (rows == kBlock) {
        double xj[kBlock];
        for (int b = 0; b < kBlock; ++b) xj[b] = block[static_cast<std::size_t>(b) * n + j];
        for (int k = 0; k <= j; ++k) {
          double s = c[k];
          for (int b = 0; b < kBlock; ++b) s += xj[b] * block[static_cast<std::size_t>(b) * n + k];
          c[k] = s;
        }
      } else {
        for (int b = 0; b < rows; ++b) {
          const double* x = block + static_cast<std::size_t>(b) * n;
          const double xj = x[j];
          for (int k = 0; k <= j; ++k) c[k] += xj * x[k];
        }
      }
    }
    done += rows;
  }
  // Centred cross products, then correlations.
  const double inv_n = 1.0 / static_cast<double>(nobs);
  double* inv_sd = w.row.data();  // the block is no longer needed
  for (int j = 0; j < p; ++j) {
    const double v = cross[static_cast<std::size_t>(j) * n + j] - sums[j] * sums[j] * inv_n;
    inv_sd[j] = v > 0 ? 1 / std::sqrt(v) : 0.0;
  }
  for (int i = 0; i < p; ++i) {
    const double* c = cross + static_cast<std::size_t>(i) * n;
    double* out = &w.packed[packed_at(i, 0)];
    for (int j = 0; j < i; ++j) out[j] = (c[j] - sums[i] * sums[j] * inv_n) * inv_sd[i] * inv_sd[j];
    out[i] = 1;
  }
  return zeigen2(p, w.packed.data(), eigenvalues, 0, nullptr, w.eigen_work.data()) <= 0;
}

int parallel_rank(int nsims, double alpha) {
  if (nsims < 2 || !(alpha > 0 && alpha < 1)) return 0;
  const double k = std::floor((nsims + 1.0) * (1.0 - alpha));
  return k >= 1 && k < nsims ? static_cast<int>(k) : 0;
}

int parallel_suggestion(int p, const double* observed, const double* critical) {
  int count = 0;
  while (count < p && observed[count] > critical[count]) ++count;
  return count;
}

int parallel_analysis(const ParallelRequest& request, ParallelResult& result) {
  result = ParallelResult{};
  const int p = request.nvar, nsims = request.nsims;
  const int k = parallel_rank(nsims, request.alpha);
  if (p < 1 || nsims < 1 || k < 1 || request.nobs < 1 || (p > 1 && request.nobs < 2))
    return TKXFAC_ERR_ARGUMENT;
  const auto n = static_cast<std::size_t>(p);
  const int threads = std::clamp(request.threads, 1, nsims);

  std::vector<double> all;
  std::vector<SimulationWork> work;
  try {
    all.resize(static_cast<std::size_t>(nsims) * n);
    work.resize(static_cast<std::size_t>(threads));
    for (SimulationWork& w : work) size_work(p, w);
  } catch (const std::bad_alloc&) {
    return TKXFAC_ERR_COMPUTE;
  }

  // Threads take the next data set as they become free; where a data set
  // lands in `all` and what it draws depend only on its number.
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  auto run = [&](SimulationWork& w) {
    for (;;) {
      const int s = next.fetch_add(1, std::memory_order_relaxed);
      if (s >= nsims || failed.load(std::memory_order_relaxed)) return;
      NormalStream stream(request.seed, static_cast<std::uint64_t>(s));
      if (!simulated_eigenvalues(p, request.nobs, stream, w, &all[static_cast<std::size_t>(s) * n]))
        failed.store(true, std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> helpers;
  for (int t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(run, std::ref(work[static_cast<std::size_t>(t)]));
    } catch (const std::system_error&) {
      break;  // the threads already started and this one share the work
    }
  }
  run(work[0]);
  for (std::thread& t : helpers) t.join();
  if (failed.load()) return TKXFAC_ERR_COMPUTE;
  result.threads = 1 + static_cast<int>(helpers.size());

  result.mean.resize(n);
  result.critical.resize(n);
  std::vector<double> column(static_cast<std::size_t>(nsims));
  for (int i = 0; i < p; ++i) {
    double sum = 0;
    for (int s = 0; s < nsims; ++s) {
      const double v = all[static_cast<std::size_t>(s) * n + i];
      column[static_cast<std::size_t>(s)] = v;
      sum += v;
    }
    result.mean[static_cast<std::size_t>(i)] = sum / nsims;
    std::nth_element(column.begin(), column.begin() + (k - 1), column.end());
    result.critical[static_cast<std::size_t>(i)] = column[static_cast<std::size_t>(k - 1)];
  }
  return TKXFAC_OK;
}

}  // namespace kav
