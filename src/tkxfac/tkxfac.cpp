// The factoring extension: creation, the values a procedure hands over and
// reads back, the analytic rotation, and the reset between BY groups.
//
// It keeps what it is given and answers with what it computes from it: the
// stored values themselves, the eigenvalues of the correlation matrix, the
// MAP test and parallel analysis (tkxaids.cpp) and the rotations
// (tkxrot.cpp).  The entries that would run a whole analysis inside the
// extension are not part of it; they answer TKXFAC_ERR_NOT_AVAILABLE.
#include "tkxfac/tkxfac.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "numeric/eigen.h"
#include "tkxfac/tkxaids.h"
#include "tkxfac/tkxrot.h"

namespace kav {

namespace {

// What one instance holds between calls.
struct Private {
  TKXFAC_PARMS parms{};
  TKXFAC_EXTPARMS ext{};
  bool has_ext = false;
  int nvar = 0;
  int nfact = 0;
  double nobs = 0;
  bool has_nvar = false, has_nfact = false, has_nobs = false;
  std::vector<double> pattern;  // unrotated, nvar x nfact
  std::vector<double> corr;     // packed
  std::vector<double> vstd;
  // Observed eigenvalues, computed from `corr` on first request.
  std::vector<double> evalstd;
  bool evalstd_done = false;
  // MAP of `corr`, computed on first request.
  MapResult map;
  bool map_done = false;
  // Parallel analysis: the simulations depend only on the number of
  // variables and observations (and the creation settings), so a BY group
  // of the same size reuses them; the suggestion also depends on `corr`.
  std::uint64_t pa_seed = 0;
  ParallelResult pa;
  int pa_nvar = -1;
  std::int64_t pa_nobs = -1;
  int nfactpa = 0;
  bool nfactpa_done = false;
  // The latest rotation of the current pattern; any change of what it was
  // computed from forgets it, so that a caller never reads the results of
  // another pattern.
  RotationResult rotation;
  bool rotated = false;
};

Private* priv(TKXFAC_INSTANCE* inst) {
  return static_cast<Private*>(inst->PrivatePtr);
}

// Keeps the latest return codes in the instance, oldest first.
int record(TKXFAC_INSTANCE* inst, int rc) {
  if (inst->codeCt < TKXFAC_RC_SLOTS) {
    inst->tkxfacrc[inst->codeCt++] = rc;
  } else {
    std::memmove(inst->tkxfacrc, inst->tkxfacrc + 1, sizeof(int) * (TKXFAC_RC_SLOTS - 1));
    inst->tkxfacrc[TKXFAC_RC_SLOTS - 1] = rc;
  }
  return rc;
}

int destroy_instance(TKXFAC_INSTANCE** instance) {
  if (!instance || !*instance) return TKXFAC_ERR_ARGUMENT;
  delete priv(*instance);
  delete *instance;
  *instance = nullptr;
  return TKXFAC_OK;
}

int not_available(TKXFAC_INSTANCE* inst) {
  if (!inst) return TKXFAC_ERR_ARGUMENT;
  return record(inst, TKXFAC_ERR_NOT_AVAILABLE);
}

int do_factor_analysis(TKXFAC_INSTANCE* inst) {
  return not_available(inst);
}
int extract_factors(TKXFAC_INSTANCE* inst) {
  return not_available(inst);
}
int factoring_stage(TKXFAC_INSTANCE* inst, int) {
  return not_available(inst);
}

void forget_rotation(Private* p) {
  p->rotated = false;
  p->rotation = RotationResult{};
}

// What was computed from the correlation matrix (other than its
// eigenvalues, which keep their own flag).
void forget_corr_results(Private* p) {
  p->map = MapResult{};
  p->map_done = false;
  p->nfactpa_done = false;
}

// Rotates the pattern of value 6 (order nvar x nfact of values 1 and 2).
// TKXFAC_OK whenever the rotation ran, whatever its status (value 55); an
// error code when a value is missing or the request cannot be run.
int rotate_factors(TKXFAC_INSTANCE* inst, const TKXFAC_ROTPARMS* rot) {
  if (!inst) return TKXFAC_ERR_ARGUMENT;
  Private* p = priv(inst);
  forget_rotation(p);
  if (!rot) return record(inst, TKXFAC_ERR_ARGUMENT);
  if (!p->has_nvar || !p->has_nfact) return record(inst, TKXFAC_ERR_NOT_SET);
  if (p->nvar < 1 || p->nfact < 1) return record(inst, TKXFAC_ERR_ARGUMENT);
  if (p->pattern.size() != static_cast<std::size_t>(p->nvar) * p->nfact)
    return record(inst, TKXFAC_ERR_NOT_SET);
  const double* vstd =
      p->vstd.size() == static_cast<std::size_t>(p->nvar) ? p->vstd.data() : nullptr;
  int rc = rotate_pattern(p->nvar, p->nfact, p->pattern.data(), vstd, *rot, p->rotation);
  p->rotated = rc == TKXFAC_OK;
  return record(inst, rc);
}

// A BY group starts: forget the data of the previous one, keep the creation
// parameters.
int reset_instance(TKXFAC_INSTANCE* inst) {
  if (!inst) return TKXFAC_ERR_ARGUMENT;
  Private* p = priv(inst);
  p->nfact = 0;
  p->nobs = 0;
  p->has_nfact = p->has_nobs = false;
  p->pattern.clear();
  p->corr.clear();
  p->vstd.clear();
  p->evalstd.clear();
  p->evalstd_done = false;
  forget_corr_results(p);
  forget_rotation(p);
  p->nvar = p->parms.nvar;
  p->has_nvar = p->parms.nvar > 0;
  inst->codeCt = 0;
  return TKXFAC_OK;
}

int set_int(const void* address, std::size_t bytes, int& to, bool& flag) {
  if (bytes != sizeof(std::int32_t)) return TKXFAC_ERR_SIZE;
  std::int32_t v;
  std::memcpy(&v, address, sizeof v);
  if (v < 0) return TKXFAC_ERR_ARGUMENT;
  to = v;
  flag = true;
  return TKXFAC_OK;
}

int set_doubles(const void* address, std::size_t bytes, std::size_t count,
                std::vector<double>& to) {
  if (count == 0 || bytes != count * sizeof(double)) return TKXFAC_ERR_SIZE;
  to.resize(count);
  std::memcpy(to.data(), address, bytes);
  return TKXFAC_OK;
}

std::size_t packed(int n) {
  return static_cast<std::size_t>(n) * (n + 1) / 2;
}

int value_set(TKXFAC_INSTANCE* inst, int code, const void* address, std::size_t bytes) {
  if (!inst) return TKXFAC_ERR_ARGUMENT;
  if (!address) return record(inst, TKXFAC_ERR_ARGUMENT);
  Private* p = priv(inst);
  int rc = TKXFAC_OK;
  switch (code) {
    case TKXFAC_VAL_NVAR: {
      int old = p->nvar;
      rc = set_int(address, bytes, p->nvar, p->has_nvar);
      // A new order makes the matrices of the old one meaningless.
      if (rc == TKXFAC_OK && p->nvar != old) {
        p->corr.clear();
        p->vstd.clear();
        p->pattern.clear();
        p->evalstd_done = false;
        forget_corr_results(p);
      }
      break;
    }
    case TKXFAC_VAL_NFACT: {
      int old = p->nfact;
      rc = set_int(address, bytes, p->nfact, p->has_nfact);
      if (rc == TKXFAC_OK && p->nfact != old) p->pattern.clear();
      break;
    }
    case TKXFAC_VAL_NOBS: {
      if (bytes != sizeof(double)) {
        rc = TKXFAC_ERR_SIZE;
        break;
      }
      double v;
      std::memcpy(&v, address, sizeof v);
      if (!(v >= 0)) {
        rc = TKXFAC_ERR_ARGUMENT;
        break;
      }
      p->nobs = v;
      p->has_nobs = true;
      p->nfactpa_done = false;
      break;
    }
    case TKXFAC_VAL_PATTERN:
      if (!p->has_nvar || !p->has_nfact) {
        rc = TKXFAC_ERR_NOT_SET;
        break;
      }
      rc = set_doubles(address, bytes, static_cast<std::size_t>(p->nvar) * p->nfact, p->pattern);
      break;
    case TKXFAC_VAL_CORR:
      if (!p->has_nvar) {
        rc = TKXFAC_ERR_NOT_SET;
        break;
      }
      rc = set_doubles(address, bytes, packed(p->nvar), p->corr);
      p->evalstd_done = false;
      forget_corr_results(p);
      break;
    case TKXFAC_VAL_STD:
      if (!p->has_nvar) {
        rc = TKXFAC_ERR_NOT_SET;
        break;
      }
      rc = set_doubles(address, bytes, static_cast<std::size_t>(p->nvar), p->vstd);
      break;
    default:
      rc = TKXFAC_ERR_UNKNOWN_CODE;
  }
  // The rotation belongs to the order, pattern and standard deviations it
  // was computed from.
  if (rc == TKXFAC_OK && code != TKXFAC_VAL_NOBS && code != TKXFAC_VAL_CORR) forget_rotation(p);
  return record(inst, rc);
}

// Eigenvalues of the correlation matrix, largest first.  A covariance matrix
// is scaled to correlations first, since the observed eigenvalues are those
// of the correlations.  A variable without variance keeps its zero row, as
// in the matrix the procedure factors, and gives an eigenvalue of 0.
int compute_evalstd(Private* p) {
  if (p->evalstd_done) return TKXFAC_OK;
  int n = p->nvar;
  std::vector<double> a = p->corr;
  for (int i = 0; i < n; ++i) {
    double dii = a[packed(i + 1) - 1];
    if (!(dii >= 0) || !std::isfinite(dii)) return TKXFAC_ERR_COMPUTE;
  }
  std::vector<double> scale(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double dii = a[packed(i + 1) - 1];
    scale[static_cast<std::size_t>(i)] = dii > 0 ? 1 / std::sqrt(dii) : 0.0;
  }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j)
      a[packed(i) + static_cast<std::size_t>(j)] *=
          scale[static_cast<std::size_t>(i)] * scale[static_cast<std::size_t>(j)];
  std::vector<double> values(static_cast<std::size_t>(n));
  std::vector<double> work(static_cast<std::size_t>(8) * n);
  int rc = zeigen2(n, a.data(), values.data(), 0, nullptr, work.data());
  if (rc > 0) return TKXFAC_ERR_COMPUTE;
  p->evalstd = std::move(values);
  p->evalstd_done = true;
  return TKXFAC_OK;
}

int compute_map(Private* p) {
  if (p->map_done) return TKXFAC_OK;
  int rc = minimum_average_partial(p->nvar, p->corr.data(), p->map);
  p->map_done = rc == TKXFAC_OK;
  return rc;
}

int thread_count(const Private* p) {
  return p->parms.nThreads > 0 ? p->parms.nThreads : 1;
}

// The simulations for the current number of variables and observations.
// The observation count of a weighted or partial analysis need not be a
// whole number; the simulated data sets take the nearest one.
int compute_parallel(Private* p) {
  if (!p->has_nobs || !p->has_nvar) return TKXFAC_ERR_NOT_SET;
  const double rounded = std::floor(p->nobs + 0.5);
  if (!(rounded < 9.0e18)) return TKXFAC_ERR_ARGUMENT;
  const auto nobs = static_cast<std::int64_t>(rounded);
  if (p->pa_nvar == p->nvar && p->pa_nobs == nobs) return TKXFAC_OK;
  ParallelRequest request;
  request.nvar = p->nvar;
  request.nobs = nobs;
  request.nsims = p->has_ext ? p->ext.pa_nsims : 1000;
  request.alpha = p->has_ext ? p->ext.pa_alpha : 0.05;
  request.seed = p->pa_seed;
  request.threads = thread_count(p);
  p->pa_nvar = -1;
  int rc = parallel_analysis(request, p->pa);
  if (rc != TKXFAC_OK) return rc;
  p->pa_nvar = p->nvar;
  p->pa_nobs = nobs;
  return TKXFAC_OK;
}

int compute_nfactpa(Private* p) {
  if (p->nfactpa_done) return TKXFAC_OK;
  if (p->corr.empty()) return TKXFAC_ERR_NOT_SET;
  int rc = compute_parallel(p);
  if (rc == TKXFAC_OK) rc = compute_evalstd(p);
  if (rc != TKXFAC_OK) return rc;
  p->nfactpa = parallel_suggestion(p->nvar, p->evalstd.data(), p->pa.critical.data());
  p->nfactpa_done = true;
  return TKXFAC_OK;
}

int get_bytes(void* address, std::size_t* bytes, const void* from, std::size_t size) {
  if (*bytes < size) return TKXFAC_ERR_SIZE;
  std::memcpy(address, from, size);
  *bytes = size;
  return TKXFAC_OK;
}

int value_get(TKXFAC_INSTANCE* inst, int code, void* address, std::size_t* bytes, int, int) {
  if (!inst) return TKXFAC_ERR_ARGUMENT;
  if (!address || !bytes) return record(inst, TKXFAC_ERR_ARGUMENT);
  Private* p = priv(inst);
  int rc = TKXFAC_OK;
  switch (code) {
    case TKXFAC_VAL_NVAR:
    case TKXFAC_VAL_NFACT: {
      bool has = code == TKXFAC_VAL_NVAR ? p->has_nvar : p->has_nfact;
      std::int32_t v = code == TKXFAC_VAL_NVAR ? p->nvar : p->nfact;
      rc = has ? get_bytes(address, bytes, &v, sizeof v) : TKXFAC_ERR_NOT_SET;
      break;
    }
    case TKXFAC_VAL_NOBS:
      rc = p->has_nobs ? get_bytes(address, bytes, &p->nobs, sizeof p->nobs) : TKXFAC_ERR_NOT_SET;
      break;
    case TKXFAC_VAL_CORR:
      rc = p->corr.empty()
               ? TKXFAC_ERR_NOT_SET
               : get_bytes(address, bytes, p->corr.data(), p->corr.size() * sizeof(double));
      break;
    case TKXFAC_VAL_EVALSTD:
      if (p->corr.empty()) {
        rc = TKXFAC_ERR_NOT_SET;
        break;
      }
      rc = compute_evalstd(p);
      if (rc == TKXFAC_OK)
        rc = get_bytes(address, bytes, p->evalstd.data(), p->evalstd.size() * sizeof(double));
      break;
    case TKXFAC_VAL_THREADS: {
      // Once the simulations ran, the threads that ran them (fewer than
      // asked when the system would not start more).
      std::int32_t v = p->pa_nvar >= 0 && p->pa.threads > 0 ? p->pa.threads : thread_count(p);
      rc = get_bytes(address, bytes, &v, sizeof v);
      break;
    }
    case TKXFAC_VAL_PA_SEED: {
      std::int64_t v = static_cast<std::int64_t>(p->pa_seed);
      rc = get_bytes(address, bytes, &v, sizeof v);
      break;
    }
    // Results of the latest rotation; the weights only where the rotation
    // used them.
    case TKXFAC_VAL_ROTATED_PATTERN:
    case TKXFAC_VAL_TRANSFORMATION:
    case TKXFAC_VAL_FACTOR_CORR:
    case TKXFAC_VAL_VAR_WEIGHTS:
    case TKXFAC_VAL_FACTOR_WEIGHTS: {
      const RotationResult& r = p->rotation;
      const std::vector<double>& v = code == TKXFAC_VAL_ROTATED_PATTERN  ? r.pattern
                                     : code == TKXFAC_VAL_TRANSFORMATION ? r.transformation
                                     : code == TKXFAC_VAL_FACTOR_CORR    ? r.factor_corr
                                     : code == TKXFAC_VAL_VAR_WEIGHTS    ? r.var_weights
                                                                         : r.factor_weights;
      rc = !p->rotated || v.empty()
               ? TKXFAC_ERR_NOT_SET
               : get_bytes(address, bytes, v.data(), v.size() * sizeof(double));
      break;
    }
    case TKXFAC_VAL_ROTATION_ITER:
    case TKXFAC_ROTATION_STATUS: {
      std::int32_t v = code == TKXFAC_ROTATION_STATUS ? p->rotation.status : p->rotation.iterations;
      rc = p->rotated ? get_bytes(address, bytes, &v, sizeof v) : TKXFAC_ERR_NOT_SET;
      break;
    }
    case TKXFAC_VAL_ROTATION_CRIT1:
    case TKXFAC_VAL_ROTATION_CRIT2: {
      double v =
          code == TKXFAC_VAL_ROTATION_CRIT1 ? p->rotation.criterion : p->rotation.convergence;
      rc = p->rotated ? get_bytes(address, bytes, &v, sizeof v) : TKXFAC_ERR_NOT_SET;
      break;
    }
    // MAP, from the correlation matrix.
    case TKXFAC_VAL_NFACTMAP2:
    case TKXFAC_VAL_NFACTMAP4:
    case TKXFAC_VAL_FMAP2:
    case TKXFAC_VAL_FMAP4: {
      if (p->corr.empty()) {
        rc = TKXFAC_ERR_NOT_SET;
        break;
      }
      rc = compute_map(p);
      if (rc != TKXFAC_OK) break;
      if (code == TKXFAC_VAL_NFACTMAP2 || code == TKXFAC_VAL_NFACTMAP4) {
        std::int32_t v = code == TKXFAC_VAL_NFACTMAP2 ? p->map.nfact2 : p->map.nfact4;
        rc = get_bytes(address, bytes, &v, sizeof v);
      } else {
        const std::vector<double>& v = code == TKXFAC_VAL_FMAP2 ? p->map.map2 : p->map.map4;
        rc = get_bytes(address, bytes, v.data(), v.size() * sizeof(double));
      }
      break;
    }
    // Parallel analysis: the simulated eigenvalues need the number of
    // observations; the suggestion also needs the correlation matrix.
    case TKXFAC_VAL_NFACTPA: {
      rc = compute_nfactpa(p);
      if (rc != TKXFAC_OK) break;
      std::int32_t v = p->nfactpa;
      rc = get_bytes(address, bytes, &v, sizeof v);
      break;
    }
    case TKXFAC_VAL_EVALPA:
    case TKXFAC_VAL_AVEEVALPA: {
      rc = compute_parallel(p);
      if (rc != TKXFAC_OK) break;
      const std::vector<double>& v = code == TKXFAC_VAL_EVALPA ? p->pa.critical : p->pa.mean;
      rc = get_bytes(address, bytes, v.data(), v.size() * sizeof(double));
      break;
    }
    default:
      rc = TKXFAC_ERR_UNKNOWN_CODE;
  }
  return record(inst, rc);
}

const TKXFAC_FACTORY kFactory = {
    destroy_instance, do_factor_analysis, reset_instance, rotate_factors,
    extract_factors,  factoring_stage,    value_get,      value_set,
};

TKXFAC_INSTANCE* create_instance(TKXFAC_EXTENSION* extension, const TKXFAC_PARMS* parms) {
  if (!extension || !parms || parms->nvar < 0) return nullptr;
  auto* p = new (std::nothrow) Private;
  if (!p) return nullptr;
  p->parms = *parms;
  p->parms.ext = nullptr;  // the caller's block may not outlive the call
  p->parms.rot = nullptr;
  if (parms->ext) {
    p->ext = *parms->ext;
    p->has_ext = true;
  }
  // Without a seed the clock gives one, once for the instance, so that
  // every BY group of the step draws the same data sets and the seed can be
  // reported and given again.
  p->pa_seed =
      p->has_ext && p->ext.pa_seed >= 1 ? static_cast<std::uint64_t>(p->ext.pa_seed) : clock_seed();
  p->nvar = parms->nvar;
  p->has_nvar = parms->nvar > 0;
  auto* inst = new (std::nothrow) TKXFAC_INSTANCE{};
  if (!inst) {
    delete p;
    return nullptr;
  }
  inst->PrivatePtr = p;
  inst->FactoryPtr = &kFactory;
  return inst;
}

void destroy_extension(TKEXTENSION* header) {
  delete tkxfac_from_header(header);
}

}  // namespace

TKEXTENSION* tkxfac_load(TKHANDLE*, const char* name) {
  if (!name || std::strcmp(name, "tkxfac") != 0) return nullptr;
  auto* ext = new (std::nothrow) TKXFAC_EXTENSION{};
  if (!ext) return nullptr;
  ext->hdr.name = "tkxfac";
  ext->hdr.destroy = destroy_extension;
  ext->CreateInstance = create_instance;
  return &ext->hdr;
}

}  // namespace kav
