// The factoring extension: creation, the values a procedure hands over and
// reads back, the analytic rotation, and the reset between BY groups.
//
// This version keeps what it is given and answers with what it can compute
// honestly: the stored values themselves, the eigenvalues of the correlation
// matrix and the rotations (tkxrot.cpp).  Parallel analysis and the MAP test
// are not part of it yet; their entries and values answer
// TKXFAC_ERR_NOT_AVAILABLE so that a caller can never mistake a missing
// result for a number.
#include "tkxfac/tkxfac.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "numeric/eigen.h"
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
// of the correlations.
int compute_evalstd(Private* p) {
  if (p->evalstd_done) return TKXFAC_OK;
  int n = p->nvar;
  std::vector<double> a = p->corr;
  for (int i = 0; i < n; ++i) {
    double dii = a[packed(i + 1) - 1];
    if (!(dii > 0) || !std::isfinite(dii)) return TKXFAC_ERR_COMPUTE;
  }
  std::vector<double> scale(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    scale[static_cast<std::size_t>(i)] = 1 / std::sqrt(a[packed(i + 1) - 1]);
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
      std::int32_t v = p->parms.nThreads > 0 ? p->parms.nThreads : 1;
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
    // Parallel analysis and MAP: not in this version.
    case TKXFAC_VAL_NFACTPA:
    case TKXFAC_VAL_EVALPA:
    case TKXFAC_VAL_AVEEVALPA:
    case TKXFAC_VAL_NFACTMAP2:
    case TKXFAC_VAL_FMAP2:
    case TKXFAC_VAL_NFACTMAP4:
    case TKXFAC_VAL_FMAP4:
      rc = TKXFAC_ERR_NOT_AVAILABLE;
      break;
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
