// The factoring extension as its users see it: the toolkit that loads it,
// the extension header, the factory of entry points and the instance, and the
// parameter blocks handed over at creation and per rotation.
//
// The interface is a table of entry points on plain records, so that a
// procedure holds the extension and its instance through pointers that a
// cleared state record can represent (null: not loaded).  Every entry returns
// 0 on success and one of the TKXFAC_ERR_ codes otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kav {

// ---------------------------------------------------------------------------
// The toolkit and the generic extension header

// What every loaded extension starts with: its name and how to release it.
struct TKEXTENSION {
  const char* name;
  void (*destroy)(TKEXTENSION* self);
};

// The host toolkit handle: loads extensions by name (null when there is no
// such extension).
struct TKHANDLE {
  TKEXTENSION* (*loadExtension)(TKHANDLE* self, const char* name);
  void* toolkit;  // the toolkit's own data
};

// ---------------------------------------------------------------------------
// Codes

// MAP requests at creation.
inline constexpr int TKXFAC_NOMAP = 0;
inline constexpr int TKXFAC_USEMAP2 = 2;
inline constexpr int TKXFAC_USEMAP4 = 4;

// Value numbers of ValueSet and ValueGet.  Some numbers mean one thing when
// set and another when read back (6 and 14).
inline constexpr int TKXFAC_VAL_NVAR = 1;             // set/get: int
inline constexpr int TKXFAC_VAL_NFACT = 2;            // set/get: int
inline constexpr int TKXFAC_VAL_NOBS = 3;             // set/get: double
inline constexpr int TKXFAC_VAL_ROTATED_PATTERN = 4;  // get: nvar x nfact
inline constexpr int TKXFAC_VAL_TRANSFORMATION = 5;   // get: nfact x nfact
inline constexpr int TKXFAC_VAL_PATTERN = 6;          // set: unrotated nvar x nfact
inline constexpr int TKXFAC_VAL_FACTOR_CORR = 6;      // get: packed nfact
inline constexpr int TKXFAC_VAL_CORR = 11;            // set/get: packed nvar
inline constexpr int TKXFAC_VAL_VAR_WEIGHTS = 13;     // get: nvar
inline constexpr int TKXFAC_VAL_STD = 14;             // set: nvar standard deviations
inline constexpr int TKXFAC_VAL_FACTOR_WEIGHTS = 14;  // get: nfact
inline constexpr int TKXFAC_VAL_EVALSTD = 18;         // get: nvar observed eigenvalues
inline constexpr int TKXFAC_VAL_ROTATION_ITER = 21;   // get: int
inline constexpr int TKXFAC_ROTATION_STATUS = 55;     // get: int, a TKXFAC_ROTATE_ code
inline constexpr int TKXFAC_VAL_ROTATION_CRIT1 = 57;  // get: double
inline constexpr int TKXFAC_VAL_ROTATION_CRIT2 = 58;  // get: double
inline constexpr int TKXFAC_VAL_NFACTPA = 60;         // get: int
inline constexpr int TKXFAC_VAL_EVALPA = 61;          // get: nvar
inline constexpr int TKXFAC_VAL_AVEEVALPA = 62;       // get: nvar
inline constexpr int TKXFAC_VAL_NFACTMAP2 = 63;       // get: int
inline constexpr int TKXFAC_VAL_FMAP2 = 64;           // get: nvar
inline constexpr int TKXFAC_VAL_NFACTMAP4 = 65;       // get: int
inline constexpr int TKXFAC_VAL_FMAP4 = 66;           // get: nvar
inline constexpr int TKXFAC_VAL_THREADS = 67;         // get: int
inline constexpr int TKXFAC_VAL_PA_SEED = 68;         // get: int64, the seed parallel analysis uses

// Rotation status (value 55).
inline constexpr int TKXFAC_ROTATE_CONVERGE = 1;
inline constexpr int TKXFAC_ROTATE_NOT_CONVERGE = 2;
inline constexpr int TKXFAC_ROTATE_TO_SINGULARITY = 3;
inline constexpr int TKXFAC_ROTATE_FAIL_TO_OPTIMIZE = 4;
inline constexpr int TKXFAC_ROTATE_EXCEPTION = 7;

// Return codes of the entries.
inline constexpr int TKXFAC_OK = 0;
inline constexpr int TKXFAC_ERR_ARGUMENT = 1;       // null instance or address, bad count
inline constexpr int TKXFAC_ERR_UNKNOWN_CODE = 2;   // no such value number
inline constexpr int TKXFAC_ERR_SIZE = 3;           // byte count does not fit the value
inline constexpr int TKXFAC_ERR_NOT_SET = 4;        // the value has not been given yet
inline constexpr int TKXFAC_ERR_NOT_AVAILABLE = 5;  // this version cannot compute it
inline constexpr int TKXFAC_ERR_COMPUTE = 6;        // the computation failed on these data

// ---------------------------------------------------------------------------
// Parameter blocks

struct TKXFAC_EXTPARMS {
  std::int64_t seed;
  std::int64_t pa_seed;
  int usepa;
  double pa_alpha;
  int pa_nsims;
  int usemap;  // TKXFAC_NOMAP, TKXFAC_USEMAP2, TKXFAC_USEMAP4
};

// Rotation types (TKXFAC_ROTPARMS::rottype).  The weights in gcf_parms
// define the criterion; the type says how it is optimised: types 1-6, 16,
// 18 and 20 over orthogonal transformations, 7-15, 17, 19 and 21 over
// oblique ones, and TKXFAC_ROTTYPE_HK orthogonally on rescaled factors.
// A further criterion of the family can run as type 20 or 21 with its own
// weights.
inline constexpr int TKXFAC_ROTTYPE_ORTH_GENCF = 20;
inline constexpr int TKXFAC_ROTTYPE_OBLI_GENCF = 21;
inline constexpr int TKXFAC_ROTTYPE_HK = 23;

struct TKXFAC_ROTPARMS {
  int rottype;
  int normtype;
  bool kaisernorm;
  bool promaxnorm;
  bool savetrans;
  int maxiter;
  const double* target;
  double gamma, tau, hkpower;
  double power;
  double eps;
  double gcf_parms[4];
};

struct TKXFAC_PARMS {
  bool reqloadRows;
  bool wt_opt;
  bool CallFromIRT;
  int normtype;
  int nvar;
  int nfac;
  double nobs;
  const double* corr;
  const double* vstd;
  const double* wt;
  double eps;
  double sing;
  int nThreads;  // 0: the default
  bool usermt;   // the user asked for a thread count
  const TKXFAC_EXTPARMS* ext;
  const TKXFAC_ROTPARMS* rot;
};

// ---------------------------------------------------------------------------
// Extension, factory, instance

struct TKXFAC_INSTANCE;

struct TKXFAC_FACTORY {
  int (*DestroyInstance)(TKXFAC_INSTANCE** instance);
  int (*DoFactorAnalysis)(TKXFAC_INSTANCE* instance);
  int (*ResetInstance)(TKXFAC_INSTANCE* instance);
  int (*RotateFactors)(TKXFAC_INSTANCE* instance, const TKXFAC_ROTPARMS* rot);
  int (*ExtractFactors)(TKXFAC_INSTANCE* instance);
  int (*FactoringStage)(TKXFAC_INSTANCE* instance, int stage);
  // Reads value `code` into `address`; `*bytes` is the room there on entry
  // and the bytes written on return.  The last two arguments are 0.
  int (*ValueGet)(TKXFAC_INSTANCE* instance, int code, void* address, std::size_t* bytes, int, int);
  int (*ValueSet)(TKXFAC_INSTANCE* instance, int code, const void* address, std::size_t bytes);
};

inline constexpr int TKXFAC_RC_SLOTS = 20;

struct TKXFAC_INSTANCE {
  void* PrivatePtr;
  const TKXFAC_FACTORY* FactoryPtr;
  void* jnl;                      // journal
  int tkxfacrc[TKXFAC_RC_SLOTS];  // return codes of the latest calls, oldest first
  int codeCt;                     // how many of them are set
};

struct TKXFAC_EXTENSION {
  TKEXTENSION hdr;
  void* pool;
  TKXFAC_INSTANCE* (*CreateInstance)(TKXFAC_EXTENSION* extension, const TKXFAC_PARMS* parms);
};

// The extension from its header, when the header is the factoring extension's.
inline TKXFAC_EXTENSION* tkxfac_from_header(TKEXTENSION* header) {
  return reinterpret_cast<TKXFAC_EXTENSION*>(header);
}

// The loader a toolkit calls for the name "tkxfac"; any other name gives null.
// Each call returns a new extension record, released by its destroy entry.
TKEXTENSION* tkxfac_load(TKHANDLE* toolkit, const char* name);

}  // namespace kav
