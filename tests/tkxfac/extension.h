// One instance of the factoring extension, loaded and created as the
// procedure does, with typed access to its values.
#pragma once

#include <cstdint>
#include <vector>

#include "tkxfac/tkxfac.h"

namespace kav::test {

struct Extension {
  TKXFAC_EXTENSION* ext = tkxfac_from_header(tkxfac_load(nullptr, "tkxfac"));
  TKXFAC_INSTANCE* inst = nullptr;
  const TKXFAC_FACTORY* f = nullptr;

  // Parallel analysis of nsims simulations at level alpha from seed 5.
  explicit Extension(int nvar = 0, int threads = 0, int nsims = 1000, double alpha = 0.05) {
    TKXFAC_EXTPARMS x{};
    x.pa_nsims = nsims;
    x.pa_alpha = alpha;
    x.pa_seed = 5;
    TKXFAC_PARMS p{};
    p.nvar = nvar;
    p.nfac = -99;
    p.nThreads = threads;
    p.ext = &x;
    inst = ext->CreateInstance(ext, &p);
    f = inst->FactoryPtr;
  }
  ~Extension() {
    if (inst) f->DestroyInstance(&inst);
    ext->hdr.destroy(&ext->hdr);
  }
  int set(int code, const void* a, std::size_t bytes) { return f->ValueSet(inst, code, a, bytes); }
  int set(int code, const std::vector<double>& v) { return set(code, v.data(), v.size() * 8); }
  int set_int(int code, std::int32_t v) { return set(code, &v, sizeof v); }
  int get(int code, void* a, std::size_t bytes) { return f->ValueGet(inst, code, a, &bytes, 0, 0); }
  // Into the room v has.
  int get(int code, std::vector<double>& v) { return get(code, v.data(), v.size() * 8); }
  template <typename T>
  int get_scalar(int code, T& v) {
    return get(code, &v, sizeof v);
  }
  int rotate(const TKXFAC_ROTPARMS* rot) { return f->RotateFactors(inst, rot); }
  int reset() { return f->ResetInstance(inst); }
};

}  // namespace kav::test
