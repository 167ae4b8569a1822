// The number-of-factors aids of the factoring extension: Velicer's minimum
// average partial (MAP) test on principal components and parallel analysis.
//
// MAP partials out the leading m principal components of the correlation
// matrix, m = 0, 1, ..., p - 1, and averages the squared (MAP2) or
// fourth-power (MAP4) partial correlations that remain; the suggested
// number of components is the m with the smallest average.
//
// Parallel analysis draws `nsims` data sets of N independent standard
// normal observations on p variables and keeps, for every rank, the mean of
// their correlation eigenvalues and the k-th smallest of them, with
// k = floor((nsims + 1)(1 - alpha)).  The suggested number of factors is the
// count of leading observed eigenvalues above these critical values.
//
// Every simulated data set draws from a stream of its own, keyed by the seed
// and the data set's number, so the results depend on the seed alone: the
// same on one thread as on many, however the threads share the work.
#pragma once

#include <cstdint>
#include <vector>

namespace kav {

// ---------------------------------------------------------------------------
// Minimum average partial

struct MapResult {
  // Average squared and fourth-power partial correlations after m = 0 ...
  // p - 1 components are partialled out; NaN where a partial variance is no
  // longer positive and the partial correlations do not exist.
  std::vector<double> map2, map4;
  // The m of the smallest average (the first of equal ones); 0 when no
  // average exists.
  int nfact2 = 0, nfact4 = 0;
};

// MAP of the packed symmetric matrix `corr` of order nvar (a covariance
// matrix is scaled to correlations first).  Variables with zero variance are
// left out, and with q variables left the averages after q .. nvar - 1
// components are missing.  TKXFAC_OK, TKXFAC_ERR_ARGUMENT for nvar < 1,
// TKXFAC_ERR_COMPUTE when a variance is negative or not a number or the
// eigensolver fails.
int minimum_average_partial(int nvar, const double* corr, MapResult& result);

// The m of the smallest non-missing value of `average` (n values), the first
// of equal ones; 0 when all are missing.
int map_suggestion(int n, const double* average);

// ---------------------------------------------------------------------------
// Parallel analysis

struct ParallelRequest {
  int nvar = 0;
  std::int64_t nobs = 0;  // observations of every simulated data set
  int nsims = 0;
  double alpha = 0.05;
  std::uint64_t seed = 1;
  int threads = 1;
};

struct ParallelResult {
  std::vector<double> mean;      // per rank, largest first
  std::vector<double> critical;  // the k-th smallest per rank
  int threads = 0;               // threads that ran simulations
};

// The rank of the critical value among nsims sorted values, counted from 1:
// floor((nsims + 1)(1 - alpha)); 0 when it does not lie in 1 .. nsims - 1.
int parallel_rank(int nsims, double alpha);

// TKXFAC_OK; TKXFAC_ERR_ARGUMENT for sizes below 1, fewer than 2
// observations with more than one variable, or an alpha whose critical rank
// is out of range; TKXFAC_ERR_COMPUTE when an eigensolution fails.
int parallel_analysis(const ParallelRequest& request, ParallelResult& result);

// The number of leading `observed` eigenvalues (p of them, largest first)
// that exceed their `critical` values.
int parallel_suggestion(int p, const double* observed, const double* critical);

// ---------------------------------------------------------------------------
// The pieces of a simulation, open to tests and benchmarks

// A stream of uniform and standard normal deviates (xoshiro256** for the
// bits, Marsaglia and Tsang's ziggurat for the normals, with the layer and
// the value taken from separate bits of one draw).
class NormalStream {
 public:
  // The stream of data set `index` under `seed`.
  NormalStream(std::uint64_t seed, std::uint64_t index);
  std::uint64_t bits();
  double uniform();  // in (0, 1)
  double normal();

 private:
  double tail(std::int32_t hz, unsigned layer);
  std::uint64_t s_[4];
};

// Scratch of one simulation, reused from one data set to the next.
struct SimulationWork {
  std::vector<double> row, sums, cross, packed, eigen_work;
};

// The correlation eigenvalues (largest first, p of them) of one data set of
// `nobs` observations drawn from `stream`.  False when the eigensolver fails.
bool simulated_eigenvalues(int p, std::int64_t nobs, NormalStream& stream, SimulationWork& work,
                           double* eigenvalues);

// A seed of the clock for a parallel analysis given none: in 1 .. 2^31 - 2,
// so that it can be given back as SEED=.
std::uint64_t clock_seed();

}  // namespace kav
