// The number-of-factors aids in whole programs: the MAP table against
// Velicer's test computed here from the data (correlations and a Jacobi
// eigen decomposition written here), parallel analysis choosing the known
// number of factors of generated data, its seed in the table and in
// SYSRANDOM, the same results on one and two threads, and the aids dropped
// or refused when the data cannot support them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace kav {
namespace {

using progtest::json;
using progtest::Mat;
using progtest::Outcome;

// Observations with `factors` factors, each loading on its own block of
// `per` variables; the numbers are written with six decimals and read back,
// so that the test computes from exactly what the program reads.
struct Data {
  int p = 0;
  Mat x;
  std::string step;  // a DATA step creating WORK.D with x1-xp
};

Data make_data(int nobs, int factors, int per, double loading, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> z;
  Data d;
  d.p = factors * per;
  d.step = "data d; input x1-x" + std::to_string(d.p) + ";\ndatalines;\n";
  const double unique = std::sqrt(1 - loading * loading);
  for (int i = 0; i < nobs; ++i) {
    std::vector<double> f(static_cast<std::size_t>(factors)), row;
    for (double& v : f) v = z(gen);
    for (int j = 0; j < d.p; ++j) {
      char text[32];
      std::snprintf(text, sizeof text, "%.6f",
                    loading * f[static_cast<std::size_t>(j / per)] + unique * z(gen));
      row.push_back(std::stod(text));
      d.step += text;
      d.step += j + 1 < d.p ? " " : "\n";
    }
    d.x.push_back(row);
  }
  d.step += ";\n";
  return d;
}

Mat correlations(const Mat& x) {
  const std::size_t n = x.size(), p = x[0].size();
  std::vector<double> mean(p, 0.0);
  for (const auto& r : x)
    for (std::size_t j = 0; j < p; ++j) mean[j] += r[j] / static_cast<double>(n);
  Mat c = progtest::zeros(p, p);
  for (const auto& r : x)
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t k = 0; k < p; ++k) c[j][k] += (r[j] - mean[j]) * (r[k] - mean[k]);
  Mat out = c;
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t k = 0; k < p; ++k) out[j][k] = c[j][k] / std::sqrt(c[j][j] * c[k][k]);
  return out;
}

// Cyclic Jacobi: eigenvalues largest first, eigenvector k in column k.
void jacobi(Mat a, std::vector<double>& values, Mat& vectors) {
  const std::size_t n = a.size();
  Mat v = progtest::zeros(n, n);
  for (std::size_t i = 0; i < n; ++i) v[i][i] = 1;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j) off += a[i][j] * a[i][j];
    if (off < 1e-32) break;
    for (std::size_t p = 0; p < n; ++p)
      for (std::size_t q = p + 1; q < n; ++q) {
        if (std::fabs(a[p][q]) < 1e-300) continue;
        const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        const double t =
            (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (std::size_t k = 0; k < n; ++k) {
          const double kp = a[k][p], kq = a[k][q];
          a[k][p] = c * kp - s * kq;
          a[k][q] = s * kp + c * kq;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double pk = a[p][k], qk = a[q][k];
          a[p][k] = c * pk - s * qk;
          a[q][k] = s * pk + c * qk;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double kp = v[k][p], kq = v[k][q];
          v[k][p] = c * kp - s * kq;
          v[k][q] = s * kp + c * kq;
        }
      }
  }
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t x, std::size_t y) { return a[x][x] > a[y][y]; });
  values.assign(n, 0.0);
  vectors = progtest::zeros(n, n);
  for (std::size_t k = 0; k < n; ++k) {
    values[k] = a[order[k]][order[k]];
    for (std::size_t i = 0; i < n; ++i) vectors[i][k] = v[i][order[k]];
  }
}

// Velicer's MAP: partial covariances R - AA' with A the loadings of the
// first m components, averaged squared and fourth-power correlations.
void velicer(const Mat& r, std::vector<double>& map2, std::vector<double>& map4) {
  const std::size_t n = r.size();
  std::vector<double> values;
  Mat vectors;
  jacobi(r, values, vectors);
  map2.assign(n, 0.0);
  map4.assign(n, 0.0);
  for (std::size_t m = 0; m < n; ++m) {
    Mat c = r;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < m; ++k) c[i][j] -= values[k] * vectors[i][k] * vectors[j][k];
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        if (i == j) continue;
        const double q = c[i][j] / std::sqrt(c[i][i] * c[j][j]);
        map2[m] += q * q / (n * (n - 1.0));
        map4[m] += q * q * q * q / (n * (n - 1.0));
      }
  }
}

const json* find_table(const Outcome& r, const std::string& name, int occurrence = 1) {
  int seen = 0;
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"])
      if (o["type"] == "table" && o["name"] == name && ++seen == occurrence) return &o;
  return nullptr;
}

// A column of a table by name, hidden columns included.
std::vector<double> column(const json& t, const std::string& name) {
  std::vector<double> v;
  for (std::size_t k = 0; k < t["columns"].size(); ++k) {
    if (t["columns"][k]["name"] != name) continue;
    for (const auto& row : t["rows"]) v.push_back(row[k].is_number() ? row[k].get<double>() : NAN);
  }
  return v;
}

// The exit code of the last step (the DATA step comes first).
int last_exit(const Outcome& r) {
  return r.results["steps"].back()["exit_code"].get<int>();
}

int pattern_columns(const Outcome& r) {
  const Mat pattern = progtest::table(r, "FactorPattern");
  return pattern.empty() ? -1 : static_cast<int>(pattern[0].size());
}

// The value of `name=...` that a %PUT wrote to the log.
std::string put_value(const Outcome& r, const std::string& name) {
  std::smatch m;
  const std::regex re(name + "=(\\S*)");
  return std::regex_search(r.log, m, re) ? m[1].str() : std::string("(not in the log)");
}

TEST(Aids, MapTableIsVelicersTestOfTheDataAndChoosesTheNumberOfFactors) {
  const Data d = make_data(150, 2, 4, 0.7, 1);
  std::vector<double> want2, want4;
  velicer(correlations(d.x), want2, want4);
  const auto best = [](const std::vector<double>& v) {
    return static_cast<int>(std::min_element(v.begin(), v.end()) - v.begin());
  };
  for (const char* option : {"map2", "map4"}) {
    SCOPED_TRACE(option);
    const Outcome r = progtest::run(d.step + "proc factor data=d nfactors=" + option + "; run;");
    EXPECT_EQ(last_exit(r), 0) << r.log;
    const json* t = find_table(r, "AveParCorrControlPC");
    ASSERT_NE(t, nullptr) << r.log;
    const std::vector<double> got2 = column(*t, "AveParCor2"), got4 = column(*t, "AveParCor4");
    ASSERT_EQ(got2.size(), static_cast<std::size_t>(d.p));
    for (int m = 0; m < d.p; ++m) {
      EXPECT_NEAR(got2[static_cast<std::size_t>(m)], want2[static_cast<std::size_t>(m)], 1e-10)
          << m;
      EXPECT_NEAR(got4[static_cast<std::size_t>(m)], want4[static_cast<std::size_t>(m)], 1e-10)
          << m;
      EXPECT_EQ(column(*t, "NComp")[static_cast<std::size_t>(m)], m);
    }
    const bool squared = std::string(option) == "map2";
    const int suggested = best(squared ? want2 : want4);
    EXPECT_EQ(suggested, 2);
    const std::vector<double> flags = column(*t, squared ? "OptAveParCor2" : "OptAveParCor4");
    EXPECT_EQ(std::count(flags.begin(), flags.end(), 1.0), 1);
    EXPECT_EQ(flags[static_cast<std::size_t>(suggested)], 1.0);
    EXPECT_EQ(pattern_columns(r), suggested);
    EXPECT_TRUE(progtest::has_message(r, squared ? 289 : 293)) << r.log;
  }
}

TEST(Aids, ParallelAnalysisFindsTheKnownFactorsWithItsSeedOnOneAndTwoThreads) {
  const Data d = make_data(300, 3, 4, 0.7, 2);
  auto program = [&](int threads) {
    return d.step + "proc factor data=d nthreads=" + std::to_string(threads) +
           " nfactors=parallel(seed=77 nsims=400 alpha=0.1); run;\n%put SEEDWAS=&sysrandom;\n";
  };
  const Outcome one = progtest::run(program(1)), two = progtest::run(program(2));
  for (const Outcome* r : {&one, &two}) {
    EXPECT_EQ(last_exit(*r), 0) << r->log;
    EXPECT_EQ(pattern_columns(*r), 3);
    EXPECT_TRUE(progtest::has_message(*r, 189)) << r->log;
    EXPECT_EQ(put_value(*r, "SEEDWAS"), "77");
  }
  const json* t1 = find_table(one, "ParallelAnalysis");
  const json* t2 = find_table(two, "ParallelAnalysis");
  ASSERT_TRUE(t1 && t2);
  EXPECT_EQ((*t1)["dynamics"]["Seed"], 77);
  EXPECT_EQ((*t1)["dynamics"]["NSims"], 400);
  EXPECT_EQ(column(*t1, "NThreads")[0], 1);
  EXPECT_EQ(column(*t2, "NThreads")[0], 2);
  // The simulations are the same draws whatever the thread count; the
  // observed eigenvalues come from the moment pass, whose sums may be added
  // in another order.
  for (const char* c : {"AveEigPA", "CritEigPA", "FgEigen"})
    EXPECT_EQ(column(*t1, c), column(*t2, c)) << c;
  EXPECT_LT(progtest::maxdiff({column(*t1, "Eigenvalue")}, {column(*t2, "Eigenvalue")}), 1e-12);

  // The observed eigenvalues are those of the data's correlations, and the
  // suggestion counts the leading ones above their critical values.
  std::vector<double> values;
  Mat vectors;
  jacobi(correlations(d.x), values, vectors);
  const std::vector<double> observed = column(*t1, "Eigenvalue"),
                            critical = column(*t1, "CritEigPA"), mean = column(*t1, "AveEigPA"),
                            flags = column(*t1, "FgEigen");
  double total = 0;
  for (int i = 0; i < d.p; ++i) {
    const auto k = static_cast<std::size_t>(i);
    EXPECT_NEAR(observed[k], values[k], 1e-10);
    EXPECT_EQ(flags[k], i < 3 ? 1 : 0) << i;
    EXPECT_EQ(observed[k] > critical[k], i < 3) << i;
    total += mean[k];
  }
  EXPECT_NEAR(total, d.p, 1e-9);  // simulated correlation matrices have trace p
}

TEST(Aids, ADrawnSeedIsShownKeptInSysrandomAndRepeatsTheAnalysis) {
  const Data d = make_data(60, 1, 5, 0.6, 3);
  const Outcome r =
      progtest::run(d.step +
                    "proc factor data=d parallel(nsims=300) nfactors=1; run;\n"
                    "%put SEEDWAS=&sysrandom;\n"
                    "proc factor data=d parallel(nsims=300 seed=&sysrandom) nfactors=1; run;\n");
  const json* first = find_table(r, "ParallelAnalysis", 1);
  const json* again = find_table(r, "ParallelAnalysis", 2);
  ASSERT_TRUE(first && again) << r.log;
  const double seed = (*first)["dynamics"]["Seed"].get<double>();
  EXPECT_GE(seed, 1);
  EXPECT_EQ(put_value(r, "SEEDWAS"), std::to_string(static_cast<long long>(seed)));
  EXPECT_EQ((*again)["dynamics"]["Seed"].get<double>(), seed);
  EXPECT_EQ(column(*first, "CritEigPA"), column(*again, "CritEigPA"));
  EXPECT_EQ(column(*first, "AveEigPA"), column(*again, "AveEigPA"));
  // Display only: NFACTORS=1 still decides.
  EXPECT_EQ(pattern_columns(r), 1);
  EXPECT_FALSE(progtest::has_message(r, 189));

  // With nothing shown, an analysis only to be shown is not run, so no seed
  // is drawn; one that decides the number of factors is.
  const Outcome quiet =
      progtest::run(d.step +
                    "proc factor data=d noprint parallel(nsims=300) nfactors=1; run;\n"
                    "%put QUIET=&sysrandom;\n"
                    "proc factor data=d noprint nfactors=parallel(nsims=300) outstat=s; run;\n"
                    "%put DECIDING=&sysrandom;\n");
  EXPECT_EQ(put_value(quiet, "QUIET"), "0");
  EXPECT_NE(put_value(quiet, "DECIDING"), "0");
  EXPECT_EQ(last_exit(quiet), 0) << quiet.log;
}

TEST(Aids, EachByGroupIsSimulatedWithItsOwnNumberOfObservations) {
  // Groups of 80 and 50 observations: each group's table is the table of
  // its observations analysed alone.
  const Data a = make_data(80, 2, 3, 0.7, 6), b = make_data(50, 2, 3, 0.7, 7);
  auto rows = [](const Data& d) { return d.step.substr(d.step.find("datalines;\n") + 11); };
  auto body = [](const std::string& step) { return step.substr(0, step.size() - 2); };  // no ";\n"
  std::string grouped = "data d; input g x1-x6;\ndatalines;\n";
  for (const auto& [g, d] : {std::pair<int, const Data*>{1, &a}, {2, &b}}) {
    std::string text = body(rows(*d));
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      grouped += std::to_string(g) + " " + text.substr(at, end - at) + "\n";
      at = end + 1;
    }
  }
  grouped += ";\n";
  const std::string options = " parallel(seed=9 nsims=300) map nfactors=1;";
  const Outcome by =
      progtest::run(grouped + "proc factor data=d" + options + " var x1-x6; by g; run;");
  const Outcome alone = progtest::run(a.step + "proc factor data=d" + options + " run;\n" + b.step +
                                      "proc factor data=d" + options + " run;");
  for (int group = 1; group <= 2; ++group) {
    SCOPED_TRACE(group);
    const json* t = find_table(by, "ParallelAnalysis", group);
    const json* u = find_table(alone, "ParallelAnalysis", group);
    ASSERT_TRUE(t && u) << by.log;
    EXPECT_EQ(column(*t, "AveEigPA"), column(*u, "AveEigPA"));
    EXPECT_EQ(column(*t, "CritEigPA"), column(*u, "CritEigPA"));
    EXPECT_LT(progtest::maxdiff({column(*t, "Eigenvalue")}, {column(*u, "Eigenvalue")}), 1e-12);
    const json* m = find_table(by, "AveParCorrControlPC", group);
    const json* n = find_table(alone, "AveParCorrControlPC", group);
    ASSERT_TRUE(m && n);
    EXPECT_LT(progtest::maxdiff({column(*m, "AveParCor2")}, {column(*n, "AveParCor2")}), 1e-12);
  }
  EXPECT_NE(column(*find_table(by, "ParallelAnalysis", 1), "AveEigPA"),
            column(*find_table(by, "ParallelAnalysis", 2), "AveEigPA"));
}

TEST(Aids, RandomPriorsLeaveTheirSeedAndItsEndingState) {
  // The prior estimates draw one number per variable from Lehmer's
  // generator (multiplier 397204094 modulo 2^31 - 1); SYSRANEND is its
  // state after the last draw.
  const Data d = make_data(40, 1, 4, 0.6, 4);
  const Outcome r = progtest::run(d.step +
                                  "proc factor data=d priors=random random=5 nfactors=1; run;\n"
                                  "%put START=&sysrandom END=&sysranend;\n");
  std::int64_t state = 5;
  for (int j = 0; j < d.p; ++j) state = state * 397204094 % 2147483647;
  EXPECT_EQ(put_value(r, "START"), "5");
  EXPECT_EQ(put_value(r, "END"), std::to_string(state));
}

TEST(Aids, TooFewObservationsDropTheDisplayAndStopTheChoice) {
  const Data d = make_data(4, 1, 6, 0.6, 5);  // 4 observations, 6 variables
  const Outcome shown = progtest::run(d.step + "proc factor data=d parallel map nfactors=1; run;");
  EXPECT_EQ(last_exit(shown), 0) << shown.log;
  EXPECT_TRUE(progtest::has_message(shown, 431));
  EXPECT_TRUE(progtest::has_message(shown, 432));
  EXPECT_FALSE(progtest::has_table(shown, "ParallelAnalysis"));
  EXPECT_FALSE(progtest::has_table(shown, "AveParCorrControlPC"));
  EXPECT_EQ(pattern_columns(shown), 1);

  for (const char* option : {"parallel", "map"}) {
    const Outcome chosen =
        progtest::run(d.step + "proc factor data=d nfactors=" + option + "; run;");
    EXPECT_TRUE(progtest::has_message(chosen, 430)) << option;
    EXPECT_EQ(last_exit(chosen), 1012) << option;
  }
}

}  // namespace
}  // namespace kav
