// The factoring extension through its factory: what is handed over comes
// back unchanged, what it computes is right, and what it cannot compute
// without a value fails instead of answering.  The rotation itself is
// checked in tkxrot_test.cpp, the MAP test and parallel analysis in
// tkxaids_test.cpp.
#include "tkxfac/tkxfac.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace kav {
namespace {

struct Loaded {
  TKXFAC_EXTENSION* ext = nullptr;
  TKXFAC_INSTANCE* inst = nullptr;
  const TKXFAC_FACTORY* f = nullptr;

  explicit Loaded(int nvar, int threads = 0) {
    TKEXTENSION* h = tkxfac_load(nullptr, "tkxfac");
    if (!h) return;
    ext = tkxfac_from_header(h);
    TKXFAC_EXTPARMS x{};
    x.pa_nsims = 1000;
    x.pa_alpha = 0.05;
    TKXFAC_PARMS p{};
    p.nvar = nvar;
    p.nfac = -99;
    p.nThreads = threads;
    p.ext = &x;
    inst = ext->CreateInstance(ext, &p);
    if (inst) f = inst->FactoryPtr;
  }
  ~Loaded() {
    if (inst) f->DestroyInstance(&inst);
    if (ext) ext->hdr.destroy(&ext->hdr);
  }
  int set(int code, const void* a, std::size_t n) { return f->ValueSet(inst, code, a, n); }
  int get(int code, void* a, std::size_t* n) { return f->ValueGet(inst, code, a, n, 0, 0); }
};

TEST(Tkxfac, LoadsOnlyByItsOwnNameAndCreatesAnInstanceWithAllEntries) {
  EXPECT_EQ(tkxfac_load(nullptr, "tkxother"), nullptr);
  EXPECT_EQ(tkxfac_load(nullptr, nullptr), nullptr);
  Loaded l(3);
  ASSERT_NE(l.inst, nullptr);
  ASSERT_NE(l.f, nullptr);
  for (auto entry :
       {reinterpret_cast<const void*>(l.f->DestroyInstance),
        reinterpret_cast<const void*>(l.f->ResetInstance),
        reinterpret_cast<const void*>(l.f->RotateFactors),
        reinterpret_cast<const void*>(l.f->ValueGet), reinterpret_cast<const void*>(l.f->ValueSet)})
    EXPECT_NE(entry, nullptr);
  EXPECT_EQ(l.ext->CreateInstance(l.ext, nullptr), nullptr);
}

TEST(Tkxfac, StoredValuesComeBackUnchanged) {
  Loaded l(3);
  std::int32_t nvar = 3, nfact = 2;
  double nobs = 137;
  std::vector<double> corr{1, 0.5, 1, 0.25, 0.125, 1};
  EXPECT_EQ(l.set(TKXFAC_VAL_NVAR, &nvar, 4), TKXFAC_OK);
  EXPECT_EQ(l.set(TKXFAC_VAL_NFACT, &nfact, 4), TKXFAC_OK);
  EXPECT_EQ(l.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
  EXPECT_EQ(l.set(TKXFAC_VAL_CORR, corr.data(), corr.size() * 8), TKXFAC_OK);
  std::vector<double> pattern{0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
  EXPECT_EQ(l.set(TKXFAC_VAL_PATTERN, pattern.data(), pattern.size() * 8), TKXFAC_OK);
  std::vector<double> sd{1, 2, 3};
  EXPECT_EQ(l.set(TKXFAC_VAL_STD, sd.data(), sd.size() * 8), TKXFAC_OK);

  std::int32_t iv = 0;
  std::size_t n = 4;
  EXPECT_EQ(l.get(TKXFAC_VAL_NFACT, &iv, &n), TKXFAC_OK);
  EXPECT_EQ(iv, 2);
  double dv = 0;
  n = 8;
  EXPECT_EQ(l.get(TKXFAC_VAL_NOBS, &dv, &n), TKXFAC_OK);
  EXPECT_EQ(dv, 137);
  std::vector<double> back(6, -1);
  n = back.size() * 8;
  EXPECT_EQ(l.get(TKXFAC_VAL_CORR, back.data(), &n), TKXFAC_OK);
  EXPECT_EQ(n, 48u);
  EXPECT_EQ(back, corr);
  EXPECT_GT(l.inst->codeCt, 0);
}

TEST(Tkxfac, RefusesWrongSizesUnknownCodesAndValuesNotGiven) {
  Loaded l(3);
  std::vector<double> corr(5, 0.0);  // one short of 3 x 4 / 2
  EXPECT_EQ(l.set(TKXFAC_VAL_CORR, corr.data(), corr.size() * 8), TKXFAC_ERR_SIZE);
  std::int64_t wide = 2;
  EXPECT_EQ(l.set(TKXFAC_VAL_NFACT, &wide, 8), TKXFAC_ERR_SIZE);
  std::int32_t negative = -1;
  EXPECT_EQ(l.set(TKXFAC_VAL_NFACT, &negative, 4), TKXFAC_ERR_ARGUMENT);
  std::vector<double> pattern(6, 0.0);
  EXPECT_EQ(l.set(TKXFAC_VAL_PATTERN, pattern.data(), 48), TKXFAC_ERR_NOT_SET);  // no nfact yet
  EXPECT_EQ(l.set(999, &negative, 4), TKXFAC_ERR_UNKNOWN_CODE);
  double d;
  std::size_t n = 8;
  EXPECT_EQ(l.get(TKXFAC_VAL_NOBS, &d, &n), TKXFAC_ERR_NOT_SET);
  EXPECT_EQ(l.get(TKXFAC_VAL_EVALSTD, &d, &n), TKXFAC_ERR_NOT_SET);
  std::vector<double> full{1, 0, 1, 0, 0, 1};
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, full.data(), 48), TKXFAC_OK);
  n = 40;  // too little room for six doubles
  std::vector<double> room(6);
  EXPECT_EQ(l.get(TKXFAC_VAL_CORR, room.data(), &n), TKXFAC_ERR_SIZE);
  EXPECT_EQ(l.f->ValueGet(nullptr, TKXFAC_VAL_CORR, room.data(), &n, 0, 0), TKXFAC_ERR_ARGUMENT);
}

TEST(Tkxfac, ObservedEigenvaluesAreThoseOfTheCorrelations) {
  Loaded l(3);
  // Covariances of variables with variances 4, 9, 1 and correlations
  // r12 = 0.5, r13 = 0, r23 = 0: the eigenvalues are 1.5, 1, 0.5.
  std::vector<double> cov{4, 0.5 * 2 * 3, 9, 0, 0, 1};
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, cov.data(), 48), TKXFAC_OK);
  std::vector<double> ev(3);
  std::size_t n = 24;
  ASSERT_EQ(l.get(TKXFAC_VAL_EVALSTD, ev.data(), &n), TKXFAC_OK);
  EXPECT_NEAR(ev[0], 1.5, 1e-12);
  EXPECT_NEAR(ev[1], 1.0, 1e-12);
  EXPECT_NEAR(ev[2], 0.5, 1e-12);
  // A variable without variance adds an eigenvalue of 0; a negative
  // variance has no correlations.
  std::vector<double> constant{4, 0, 0, 0, 0, 1};
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, constant.data(), 48), TKXFAC_OK);
  ASSERT_EQ(l.get(TKXFAC_VAL_EVALSTD, ev.data(), &n), TKXFAC_OK);
  EXPECT_NEAR(ev[0], 1.0, 1e-12);
  EXPECT_NEAR(ev[1], 1.0, 1e-12);
  EXPECT_NEAR(ev[2], 0.0, 1e-12);
  std::vector<double> bad{1, 0, -1, 0, 0, 1};
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, bad.data(), 48), TKXFAC_OK);
  EXPECT_EQ(l.get(TKXFAC_VAL_EVALSTD, ev.data(), &n), TKXFAC_ERR_COMPUTE);
}

TEST(Tkxfac, ParallelAnalysisWaitsForTheObservationsAndRotationResultsForARotation) {
  Loaded l(3);
  std::int32_t nfact = 2;
  ASSERT_EQ(l.set(TKXFAC_VAL_NFACT, &nfact, 4), TKXFAC_OK);
  std::vector<double> corr{1, 0.5, 1, 0.25, 0.125, 1}, pattern{0.8, 0.7, 0.2, 0.1, 0.3, 0.6};
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, corr.data(), 48), TKXFAC_OK);
  ASSERT_EQ(l.set(TKXFAC_VAL_PATTERN, pattern.data(), 48), TKXFAC_OK);
  std::vector<double> out(64, 7.0);
  for (int code : {60, 61, 62}) {
    std::size_t n = out.size() * 8;
    EXPECT_EQ(l.get(code, out.data(), &n), TKXFAC_ERR_NOT_SET) << "value " << code;
  }
  for (int code : {4, 5, 6, 13, 14, 21, 55, 57, 58}) {
    std::size_t n = out.size() * 8;
    EXPECT_EQ(l.get(code, out.data(), &n), TKXFAC_ERR_NOT_SET) << "value " << code;
  }
  for (double v : out) EXPECT_EQ(v, 7.0);  // nothing was written
  EXPECT_EQ(l.inst->tkxfacrc[l.inst->codeCt - 1], TKXFAC_ERR_NOT_SET);

  // Varimax of three variables: the rotation runs and its results appear.
  TKXFAC_ROTPARMS rot{};
  rot.rottype = 2;
  rot.normtype = 3;
  rot.maxiter = 100;
  rot.eps = 1e-9;
  rot.hkpower = std::nan("");
  rot.gcf_parms[2] = -1;
  rot.gcf_parms[3] = 3;
  EXPECT_EQ(l.f->RotateFactors(l.inst, &rot), TKXFAC_OK);
  std::int32_t status = 0;
  std::size_t n = 4;
  EXPECT_EQ(l.get(TKXFAC_ROTATION_STATUS, &status, &n), TKXFAC_OK);
  EXPECT_EQ(status, TKXFAC_ROTATE_CONVERGE);
  n = out.size() * 8;
  EXPECT_EQ(l.get(TKXFAC_VAL_ROTATED_PATTERN, out.data(), &n), TKXFAC_OK);
  EXPECT_EQ(n, 48u);
}

TEST(Tkxfac, ResetForgetsTheGroupButKeepsTheCreationSettings) {
  Loaded l(2, 3);
  double nobs = 10;
  std::vector<double> corr{1, 0.3, 1};
  ASSERT_EQ(l.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, corr.data(), 24), TKXFAC_OK);
  ASSERT_EQ(l.f->ResetInstance(l.inst), TKXFAC_OK);
  EXPECT_EQ(l.inst->codeCt, 0);
  double d;
  std::size_t n = 8;
  EXPECT_EQ(l.get(TKXFAC_VAL_NOBS, &d, &n), TKXFAC_ERR_NOT_SET);
  std::int32_t v = 0;
  n = 4;
  EXPECT_EQ(l.get(TKXFAC_VAL_NVAR, &v, &n), TKXFAC_OK);
  EXPECT_EQ(v, 2);
  n = 4;
  EXPECT_EQ(l.get(TKXFAC_VAL_THREADS, &v, &n), TKXFAC_OK);
  EXPECT_EQ(v, 3);
}

TEST(Tkxfac, DestroyClearsTheCallersPointerAndTheReturnCodesKeepTheLatest) {
  Loaded l(2);
  std::int32_t bad = -1;
  for (int i = 0; i < TKXFAC_RC_SLOTS + 5; ++i) l.set(TKXFAC_VAL_NFACT, &bad, 4);
  std::int32_t ok = 1;
  l.set(TKXFAC_VAL_NFACT, &ok, 4);
  EXPECT_EQ(l.inst->codeCt, TKXFAC_RC_SLOTS);
  EXPECT_EQ(l.inst->tkxfacrc[TKXFAC_RC_SLOTS - 1], TKXFAC_OK);
  EXPECT_EQ(l.inst->tkxfacrc[0], TKXFAC_ERR_ARGUMENT);
  EXPECT_EQ(l.f->DestroyInstance(&l.inst), TKXFAC_OK);
  EXPECT_EQ(l.inst, nullptr);
  TKXFAC_INSTANCE* none = nullptr;
  EXPECT_EQ(l.f->DestroyInstance(&none), TKXFAC_ERR_ARGUMENT);
}

}  // namespace
}  // namespace kav
