// Rotation engine cost on a 200 x 10 pattern (the principal-axes pattern of
// a population of 10 clusters of 20 variables with cross-loading noise and
// factor correlations of 0.2, fixed seed), varimax and quartimin, both
// Kaiser-normalised, each against two baselines timed in the same process:
//   plain  the un-accelerated gradient projection algorithm (Jennrich 2001
//          and 2002: step doubled each iteration, halved until the criterion
//          drops by half the predicted amount) written with plain loops, run
//          to the same convergence measure 1e-9 or the default iteration
//          limit, 2000 for 200 variables;
//   loop   the engine's number of criterion evaluations, each done as a
//          straightforward triple-loop L = X T, criterion, its gradient with
//          respect to L and G = X' G_L.
// Counters:
//   iterations, newton_steps, evaluations  of the engine per rotation
//   engine_ms          engine time per rotation
//   plain_iterations, plain_ms   the same for the plain algorithm
//   plain_converged    1 when it reached 1e-9 within its limit
//   plain_measure      the convergence measure it ended with
//   vs_plain           engine time / plain time (below 1: the engine is faster)
//   vs_loop            engine time / loop time: what the engine costs beyond
//                      its bare evaluations (line searches, projections,
//                      Newton Hessians)
//
//   bench_rotation --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "numeric/eigen.h"
#include "tkxfac/tkxrot.h"

namespace kav {
namespace {

using Mat = std::vector<double>;  // column-major

constexpr int kVars = 200, kFactors = 10;

struct Problem {
  int p = kVars, m = kFactors;
  Mat a;  // unrotated pattern
  Mat x;  // Kaiser-normalised
};

Problem make_problem() {
  Problem pr;
  const int p = pr.p, m = pr.m;
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> main_loading(0.45, 0.8);
  std::normal_distribution<double> noise(0.0, 0.08);
  Mat lambda(static_cast<std::size_t>(p) * m);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < m; ++j)
      lambda[static_cast<std::size_t>(j) * p + i] =
          j == i / (p / m) ? main_loading(rng) : noise(rng);
  std::vector<double> r;
  for (int i = 0; i < p; ++i)
    for (int k = 0; k <= i; ++k) {
      double s = 0;
      for (int a = 0; a < m; ++a)
        for (int b = 0; b < m; ++b)
          s += lambda[static_cast<std::size_t>(a) * p + i] *
               lambda[static_cast<std::size_t>(b) * p + k] * (a == b ? 1.0 : 0.2);
      r.push_back(i == k ? 1.0 : s);
    }
  std::vector<double> values(p), vectors(static_cast<std::size_t>(p) * m),
      work(8 * static_cast<std::size_t>(p));
  zeigen2(p, r.data(), values.data(), m, vectors.data(), work.data());
  pr.a.resize(static_cast<std::size_t>(p) * m);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i)
      pr.a[static_cast<std::size_t>(j) * p + i] =
          vectors[static_cast<std::size_t>(j) * p + i] * std::sqrt(values[j]);
  pr.x = pr.a;
  for (int i = 0; i < p; ++i) {
    double h = 0;
    for (int j = 0; j < m; ++j)
      h += pr.a[static_cast<std::size_t>(j) * p + i] * pr.a[static_cast<std::size_t>(j) * p + i];
    for (int j = 0; j < m; ++j) pr.x[static_cast<std::size_t>(j) * p + i] /= std::sqrt(h);
  }
  return pr;
}

// ---------------------------------------------------------------------------
// The plain algorithm, written the simplest way.

struct Plain {
  int p, m;
  double g[4];
  double sign;  // -1: maximise (orthogonal), +1: minimise (oblique)
  bool oblique;

  double at(const Mat& x, int rows, int i, int j) const {
    return x[static_cast<std::size_t>(j) * rows + i];
  }

  // f = sign * Q at l, its gradient gl and the size of the gradient's terms.
  double criterion(const Mat& l, Mat& gl, double* size) const {
    std::vector<double> row(p, 0.0), col(m, 0.0);
    double total = 0, fourth = 0;
    for (int i = 0; i < p; ++i)
      for (int j = 0; j < m; ++j) {
        const double q = at(l, p, i, j) * at(l, p, i, j);
        row[i] += q;
        col[j] += q;
        total += q;
        fourth += q * q;
      }
    double rows = 0, cols = 0;
    for (double v : row) rows += v * v;
    for (double v : col) cols += v * v;
    gl.assign(l.size(), 0.0);
    double s2 = 0;
    for (int i = 0; i < p; ++i)
      for (int j = 0; j < m; ++j) {
        const double v = at(l, p, i, j);
        gl[static_cast<std::size_t>(j) * p + i] =
            4 * sign * v * (g[0] * total + g[1] * row[i] + g[2] * col[j] + g[3] * v * v);
        const double w = 4 * v *
                         (std::fabs(g[0]) * total + std::fabs(g[1]) * row[i] +
                          std::fabs(g[2]) * col[j] + std::fabs(g[3]) * v * v);
        s2 += w * w;
      }
    if (size) *size = std::sqrt(s2);
    return sign * (g[0] * total * total + g[1] * rows + g[2] * cols + g[3] * fourth);
  }

  // c (r x n) = a (r x k) b (k x n), plain triple loop.
  static void mul(const Mat& a, const Mat& b, int r, int k, int n, Mat& c) {
    c.assign(static_cast<std::size_t>(r) * n, 0.0);
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < n; ++j) {
        double s = 0;
        for (int l = 0; l < k; ++l)
          s += a[static_cast<std::size_t>(l) * r + i] * b[static_cast<std::size_t>(j) * k + l];
        c[static_cast<std::size_t>(j) * r + i] = s;
      }
  }
  static Mat transpose(const Mat& a, int r, int c) {
    Mat t(a.size());
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < c; ++j)
        t[static_cast<std::size_t>(i) * c + j] = a[static_cast<std::size_t>(j) * r + i];
    return t;
  }
  static Mat inverse(Mat a, int n) {
    Mat inv(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) inv[static_cast<std::size_t>(i) * n + i] = 1;
    for (int k = 0; k < n; ++k) {
      int piv = k;
      for (int i = k + 1; i < n; ++i)
        if (std::fabs(a[static_cast<std::size_t>(k) * n + i]) >
            std::fabs(a[static_cast<std::size_t>(k) * n + piv]))
          piv = i;
      for (int j = 0; j < n; ++j) {
        std::swap(a[static_cast<std::size_t>(j) * n + k], a[static_cast<std::size_t>(j) * n + piv]);
        std::swap(inv[static_cast<std::size_t>(j) * n + k],
                  inv[static_cast<std::size_t>(j) * n + piv]);
      }
      const double d = a[static_cast<std::size_t>(k) * n + k];
      for (int j = 0; j < n; ++j) {
        a[static_cast<std::size_t>(j) * n + k] /= d;
        inv[static_cast<std::size_t>(j) * n + k] /= d;
      }
      for (int i = 0; i < n; ++i) {
        if (i == k) continue;
        const double f = a[static_cast<std::size_t>(k) * n + i];
        for (int j = 0; j < n; ++j) {
          a[static_cast<std::size_t>(j) * n + i] -= f * a[static_cast<std::size_t>(j) * n + k];
          inv[static_cast<std::size_t>(j) * n + i] -= f * inv[static_cast<std::size_t>(j) * n + k];
        }
      }
    }
    return inv;
  }
  // Orthogonal polar factor by Newton's iteration u <- (u + u^{-T}) / 2.
  Mat polar(Mat u) const {
    for (int it = 0; it < 100; ++it) {
      const Mat w = transpose(inverse(u, m), m, m);
      double change = 0;
      for (std::size_t k = 0; k < u.size(); ++k) {
        const double v = 0.5 * (u[k] + w[k]);
        change = std::max(change, std::fabs(v - u[k]));
        u[k] = v;
      }
      if (change < 1e-15) break;
    }
    return u;
  }

  // L at t: x t, or x t^{-T}.
  void rotated(const Mat& x, const Mat& t, Mat& l) const {
    if (oblique)
      mul(x, transpose(inverse(t, m), m, m), p, m, m, l);
    else
      mul(x, t, p, m, m, l);
  }
  void tgradient(const Mat& x, const Mat& t, const Mat& l, const Mat& gl, Mat& g) const {
    if (oblique) {
      Mat lg;
      mul(transpose(l, p, m), gl, m, p, m, lg);
      Mat w;
      mul(lg, inverse(t, m), m, m, m, w);
      g = transpose(w, m, m);
      for (double& v : g) v = -v;
    } else {
      mul(transpose(x, p, m), gl, m, p, m, g);
    }
  }
  void project(const Mat& t, const Mat& g, Mat& gp) const {
    gp = g;
    if (oblique) {
      for (int j = 0; j < m; ++j) {
        double c = 0;
        for (int i = 0; i < m; ++i)
          c += t[static_cast<std::size_t>(j) * m + i] * g[static_cast<std::size_t>(j) * m + i];
        for (int i = 0; i < m; ++i)
          gp[static_cast<std::size_t>(j) * m + i] -= c * t[static_cast<std::size_t>(j) * m + i];
      }
    } else {
      Mat tg, sym(static_cast<std::size_t>(m) * m), ts;
      mul(transpose(t, m, m), g, m, m, m, tg);
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j)
          sym[static_cast<std::size_t>(j) * m + i] =
              0.5 *
              (tg[static_cast<std::size_t>(j) * m + i] + tg[static_cast<std::size_t>(i) * m + j]);
      mul(t, sym, m, m, m, ts);
      for (std::size_t k = 0; k < gp.size(); ++k) gp[k] -= ts[k];
    }
  }

  // Returns the iterations; converged tells whether eps was reached, measure
  // where the iteration ended.
  int run(const Mat& x, double eps, int maxiter, bool& converged, double& measure) const {
    Mat t(static_cast<std::size_t>(m) * m, 0.0), l, gl, g, gp, tt, lt, glt;
    for (int i = 0; i < m; ++i) t[static_cast<std::size_t>(i) * m + i] = 1;
    rotated(x, t, l);
    double size = 0;
    double f = criterion(l, gl, &size);
    tgradient(x, t, l, gl, g);
    double alpha = 1;
    converged = false;
    int iter = 0;
    for (; iter < maxiter; ++iter) {
      project(t, g, gp);
      double s2 = 0, ll = 0;
      for (double v : gp) s2 += v * v;
      for (double v : l) ll += v * v;
      measure = std::sqrt(s2) / (std::sqrt(ll) * size);
      if (measure < eps) {
        converged = true;
        break;
      }
      alpha *= 2;
      double ft = f;
      for (int h = 0; h <= 40; ++h) {
        tt = t;
        for (std::size_t k = 0; k < tt.size(); ++k) tt[k] -= alpha * gp[k];
        if (oblique) {
          for (int j = 0; j < m; ++j) {
            double n = 0;
            for (int i = 0; i < m; ++i)
              n +=
                  tt[static_cast<std::size_t>(j) * m + i] * tt[static_cast<std::size_t>(j) * m + i];
            for (int i = 0; i < m; ++i) tt[static_cast<std::size_t>(j) * m + i] /= std::sqrt(n);
          }
        } else {
          tt = polar(tt);
        }
        rotated(x, tt, lt);
        ft = criterion(lt, glt, &size);
        if (ft < f - 0.5 * s2 * alpha) break;
        alpha *= 0.5;
      }
      t = tt;
      l = lt;
      gl = glt;
      f = ft;
      tgradient(x, t, l, gl, g);
    }
    return iter;
  }
};

void rotate(benchmark::State& state, int rottype) {
  static const Problem pr = make_problem();
  const int p = pr.p, m = pr.m;
  const bool oblique = rottype_is_oblique(rottype);
  TKXFAC_ROTPARMS rot{};
  rot.rottype = rottype;
  rot.normtype = 1;
  rot.kaisernorm = true;
  rot.maxiter = std::max(100, 10 * p);
  rot.eps = 1e-9;
  rot.hkpower = rot.gamma = rot.tau = rot.power = std::nan("");
  if (oblique) {  // quartimin
    rot.gcf_parms[1] = 1;
    rot.gcf_parms[3] = -1;
  } else {  // varimax
    rot.gcf_parms[2] = -1;
    rot.gcf_parms[3] = p;
  }
  const Plain plain{p,
                    m,
                    {rot.gcf_parms[0], rot.gcf_parms[1], rot.gcf_parms[2], rot.gcf_parms[3]},
                    oblique ? 1.0 : -1.0,
                    oblique};

  using clock = std::chrono::steady_clock;
  double engine_s = 0, plain_s = 0, loop_s = 0;
  RotationResult result;
  int plain_iterations = 0;
  bool plain_converged = false;
  double plain_measure = 0;
  for (auto _ : state) {
    auto t0 = clock::now();
    rotate_pattern(p, m, pr.a.data(), nullptr, rot, result);
    benchmark::DoNotOptimize(result.pattern.data());
    auto t1 = clock::now();
    plain_iterations = plain.run(pr.x, 1e-9, rot.maxiter, plain_converged, plain_measure);
    auto t2 = clock::now();
    // The engine's count of evaluations, each with its gradient, by plain loops.
    Mat t(static_cast<std::size_t>(m) * m, 0.0), l, gl, g;
    for (int i = 0; i < m; ++i) t[static_cast<std::size_t>(i) * m + i] = 1;
    double sum = 0;
    for (int e = 0; e < result.evaluations; ++e) {
      t[1] = 1e-3 * e;  // a different matrix each time
      Plain::mul(pr.x, t, p, m, m, l);
      sum += plain.criterion(l, gl, nullptr);
      Plain::mul(Plain::transpose(pr.x, p, m), gl, m, p, m, g);
      sum += g[0];
    }
    benchmark::DoNotOptimize(sum);
    auto t3 = clock::now();
    engine_s += std::chrono::duration<double>(t1 - t0).count();
    plain_s += std::chrono::duration<double>(t2 - t1).count();
    loop_s += std::chrono::duration<double>(t3 - t2).count();
  }
  if (result.status != TKXFAC_ROTATE_CONVERGE) state.SkipWithError("the engine did not converge");
  const double n = static_cast<double>(state.iterations());
  state.counters["iterations"] = result.iterations;
  state.counters["newton_steps"] = result.newton_steps;
  state.counters["evaluations"] = result.evaluations;
  state.counters["engine_ms"] = 1e3 * engine_s / n;
  state.counters["plain_iterations"] = plain_iterations;
  state.counters["plain_converged"] = plain_converged ? 1 : 0;
  state.counters["plain_measure"] = plain_measure;
  state.counters["plain_ms"] = 1e3 * plain_s / n;
  state.counters["vs_plain"] = engine_s / plain_s;
  state.counters["vs_loop"] = engine_s / loop_s;
}

void Varimax200x10(benchmark::State& state) {
  rotate(state, 2);
}
void Quartimin200x10(benchmark::State& state) {
  rotate(state, 7);
}

}  // namespace
}  // namespace kav

BENCHMARK(kav::Varimax200x10)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(kav::Quartimin200x10)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
