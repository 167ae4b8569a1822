// The analysis state record of one PROC FACTOR step.  Every routine of the
// procedure receives it by pointer; options, flags, counts, handles and
// result arrays all live here, and nothing else is shared between stages.
//
// The record is a plain aggregate: kavfact clears it to zero at the start of
// the step, so every member must mean "absent" or "not given" when zero.
// Arrays come from the step's pool and vanish with it; host objects are held
// by pointer and closed by facexit.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

namespace kav {

// Host types the record points at (host/services.h and friends).
class StepContext;
class UtilityFile;
struct Statement;
struct Observation;
struct DataSetName;

// Procedure-side handles defined with the routines that own them.
struct FACTSTEP;   // what the step owns besides the pool (factor.h)
struct FACTINDS;   // an open input data set with its BY groups (factds.h)
struct FACTOUTDS;  // an open output data set (factds.h)
struct ODSCLASS;   // an output object class and its close entry (factods.h)
struct ODSOBJ;     // an output object: manager, group, table (factods.h)
struct TKHANDLE;   // the host toolkit (tkxfac/tkxfac.h)
struct TKXFAC_EXTENSION;
struct TKXFAC_INSTANCE;

// 8-character blank-padded name, as in the host's data sets.
using char8 = char[8];

// A name of up to 32 characters with its length.
struct longlname {
  std::int16_t len;
  char name[32];
};

// Newton-Raphson state of the ML, ULS and GLS fits.
struct NRSTRUCT {
  int iter;  // iterations done
  int nfct;  // function evaluations
  int nhes;  // derivative evaluations
  int kp;    // p - nfact: eigenvalues in the criterion
  char ulsbit, glsbit, mlbit;
  char heybit;    // psi bounded to [0, 1]
  char nfactbit;  // the number of factors has been decided
  double f;       // current criterion
  double ridge;   // current ridge
  double* psi;    // unique variances, p
  double* grd;    // gradient, p
  double* hes;    // Hessian approximation, packed p(p+1)/2
  double* xld;    // psi of the previous iteration, p
  double* wrk;    // scratch
  double* arb;    // packed matrix for the eigensolver, p(p+1)/2
};

// Thread options of the step.
struct PERFORMSTR {
  int statement;    // a thread-option statement was given
  int cpureq;       // CPU count requested
  int cpuact;       // CPU count in use
  char threads;     // threads allowed
  char details;     // show details
  char alldetails;  // show all details
  char timing;      // show timings
  char status;      // show thread status
  char force;       // force the requested count
};

// In-database request record; only whether it was used matters to the frame.
struct SQLREQ {
  int use;
};

// Result holder of the in-database extension.
struct RESHOLDER {
  void* owner;
  void* instance;
  void (*destroy)(RESHOLDER* holder);
  void (*unload)(RESHOLDER* holder);
};

// ---------------------------------------------------------------------------
// The flag bytes.  Each option flag is a (byte, mask) pair; call sites use
// the names, never the numbers.

inline constexpr int kFoptBytes = 9;

struct FoptBit {
  int byte;
  unsigned char mask;
};

// Byte 0: what to print.
inline constexpr FoptBit kFoptCov{0, 0x40};           // COV: analyse the covariance matrix
inline constexpr FoptBit kFoptAll{0, 0x20};           // ALL: print everything
inline constexpr FoptBit kFoptSimple{0, 0x10};        // SIMPLE: simple statistics
inline constexpr FoptBit kFoptCorr{0, 0x08};          // CORR: print the correlation matrix
inline constexpr FoptBit kFoptEigenvectors{0, 0x04};  // EIGENVECTORS
inline constexpr FoptBit kFoptPrint{0, 0x02};         // PRINT: the input factor pattern and more
inline constexpr FoptBit kFoptMsa{0, 0x01};           // MSA: sampling adequacy
// Byte 1: derived results and plots.
inline constexpr FoptBit kFoptScore{1, 0x80};      // SCORE, OUT=, ALL: scoring coefficients
inline constexpr FoptBit kFoptPlot{1, 0x40};       // PLOT: rotated factors
inline constexpr FoptBit kFoptPreplot{1, 0x20};    // PREPLOT: prerotated or unrotated factors
inline constexpr FoptBit kFoptScree{1, 0x10};      // SCREE: character scree plot
inline constexpr FoptBit kFoptTest{1, 0x08};       // TEST keyword
inline constexpr FoptBit kFoptWeight{1, 0x04};     // WEIGHT: weighted analysis
inline constexpr FoptBit kFoptReorder{1, 0x02};    // REORDER variables
inline constexpr FoptBit kFoptResiduals{1, 0x01};  // RESIDUALS, ALL
// Byte 2: fitting and printing controls.
inline constexpr FoptBit kFoptCount{2, 0x80};         // COUNT keyword
inline constexpr FoptBit kFoptUltraHeywood{2, 0x40};  // allow communalities above 1
inline constexpr FoptBit kFoptHeywood{2, 0x20};       // bound communalities at 1
inline constexpr FoptBit kFoptNoint{2, 0x10};         // no intercept
inline constexpr FoptBit kFoptRound{2, 0x08};         // rounded and flagged printing
inline constexpr FoptBit kFoptNocorr{2, 0x04};        // no correlations in OUTSTAT=
inline constexpr FoptBit kFoptNoprint{2, 0x02};       // no printed output
inline constexpr FoptBit kFoptStderr{2, 0x01};        // standard errors
// Byte 3: tests, intervals and graphs.
inline constexpr FoptBit kFoptPromaxNorm{3, 0x80};        // promax normalisation
inline constexpr FoptBit kFoptOneTail{3, 0x40};           // one-tailed tests
inline constexpr FoptBit kFoptTwoTail{3, 0x20};           // two-tailed tests
inline constexpr FoptBit kFoptIntervals{3, 0x10};         // confidence intervals
inline constexpr FoptBit kFoptPlotScree{3, 0x08};         // scree graph
inline constexpr FoptBit kFoptPlotLoadings{3, 0x04};      // loadings graph
inline constexpr FoptBit kFoptPlotInitLoadings{3, 0x02};  // initial-loadings graph
inline constexpr FoptBit kFoptPlotPreLoadings{3, 0x01};   // prerotated-loadings graph
// Bytes 4 and 5 hold no flags.
// Byte 6: plots, diagrams, input kind and OUT=.
inline constexpr FoptBit kFoptPlotRef{6, 0x80};      // reference lines in plots
inline constexpr FoptBit kFoptPathDiagram{6, 0x04};  // path diagram
inline constexpr FoptBit kFoptRawData{6, 0x02};      // raw-data input
inline constexpr FoptBit kFoptOut{6, 0x01};          // write OUT=
// Byte 7: what the analysis keeps and rotates.
inline constexpr FoptBit kFoptTarget{7, 0x80};      // a TARGET= data set is given
inline constexpr FoptBit kFoptKeepCorr{7, 0x10};    // keep the correlation matrix
inline constexpr FoptBit kFoptVarWeights{7, 0x08};  // variable weights needed
inline constexpr FoptBit kFoptRotate{7, 0x04};      // some rotation is requested
inline constexpr FoptBit kFoptOblique{7, 0x02};     // an oblique rotation is requested
// Byte 8: OUTSTAT= and the number-of-factors graphs.
inline constexpr FoptBit kFoptOutstat{8, 0x80};       // write OUTSTAT=
inline constexpr FoptBit kFoptPlotMap2{8, 0x40};      // MAP graph, squared partials
inline constexpr FoptBit kFoptPlotMap4{8, 0x20};      // MAP graph, fourth-power partials
inline constexpr FoptBit kFoptPlotParallel{8, 0x10};  // parallel-analysis graph

// ---------------------------------------------------------------------------

struct COMSTR {
  // Statement and identity
  const std::vector<Statement>* prochead;  // the step's statements, PROC FACTOR first
  std::int16_t print;                      // print-control word
  int nameno, intcno, typeno;              // _NAME_, INTERCEPT, _TYPE_ (1-based; 0 absent)

  // Method codes
  int fmethod;   // 1 PRINCIPAL 2 ULS 3 PRINIT 4 ALPHA 5 ML 6 GLS 7 FULLER 8 HARRIS 9 IMAGE 10
                 // PATTERN 11 SCORE
  int priortyp;  // 1 SMC 2 INPUT 3 MAX 4 ASMC 5 ONE 6 RANDOM 7 list; 0 not given
  int normtype;  // 1 KAISER 2 WEIGHT 3 RAW 4 COV 8 NONE; 0 not given
  int targbyrc;  // how TARGET= BY variables matched the input's
  int rc;        // step status; only ever raised
  int iterrc, reason, ReasonConvStat;
  int listno;  // 1: the VAR list; 9: VAR then PARTIAL variables
  int nby, nvar, npar, ntot;
  int noint;

  // Number of factors and its aids
  int usepa, usemap, calcpa, calcmap;
  int nfact;   // factors retained in this BY group; negative: nothing to analyse
  int nfactp;  // NFACTORS= bounded by nvar; -99 not given; -1 diagnostics only
  int nfactpa, nfactmap2, nfactmap4;
  int nsimspa;
  int maxfact;
  int maxiter, ritr;
  int nfc;  // factors of an input factor-correlation matrix

  // Printing and plotting
  int maxnam, maxlab;
  int iscree, fscree;
  int nplot, plotchar;

  // Rotation request
  int nrot;       // real rotations in the ROTATE= list (kRotNone entries not counted)
  int* rmethod;   // the list of codes (rotation_registry.h)
  int rmethod0;   // prerotation code; kRotNone none (kRotNotGiven before the selection)
  int rmethod2;   // final rotation code without a list; kRotNone none
  int nrotparm;   // parameters given with the listed rotations
  int* irotparm;  // for each, the 1-based list position it belongs to
  double* rotparm;
  int nprparm;  // parameters of the PREROTATE= method
  double* protparm;
  int heycode;  // Heywood status: 0 none, 1 or -1

  // Miscellaneous
  std::int16_t v6bit;  // VALIDVARNAME=V6
  int* perm;           // REORDER permutation, nvar
  int fname_l;         // width of each score-variable name
  char* fname;         // fname_l x nvar characters
  int parpfix_l;
  char parpfix[32];    // residual-name prefix in OUTSTAT=
  std::int64_t notec;  // saved correlation matrix in the utility file
  std::int64_t notei;  // its saved inverse
  std::int64_t seed, pa_seed;
  char label[120];
  char title[120];

  // Option flags
  unsigned char fopt[kFoptBytes];

  // Input and data sets
  char8 dstype, vardef, name8, typetype, smethod;
  longlname namename;
  longlname* vname;   // ntot names of analysis and partial variables
  longlname* vnamer;  // their row labels
  FACTINDS* datafid;
  FACTOUTDS* outffid;
  FACTOUTDS* statfid;
  FACTINDS* targfid;
  Observation* dataptr;
  Observation* outfptr;
  Observation* statptr;
  Observation* targptr;
  double* in;
  UtilityFile* utid;
  DataSetName* dataxop;
  DataSetName* outfxop;
  DataSetName* statxop;
  DataSetName* targxop;
  DataSetName* datafile;
  DataSetName* outffile;
  DataSetName* statfile;
  DataSetName* targfile;

  // Counts and scalar results
  double usernobs, nobs, vardiv, sumwt;
  int dfpar;
  double alphapa;
  double mineigp, percentp, mineigen, percent;
  double epsilon, reps, singular, fuzz, flag;
  double gamma, tau, kvalue, hkpower;
  double totcom, hypval, alpha, cover;
  double miss;

  // Arrays (doubles unless said otherwise)
  double* vmean;
  double* vstd;
  double* wt;
  double* communal;
  double* eigval;
  double* omean;
  double* ostd;
  double* priors;
  double* evalstd;
  double* evalpa;
  double* aveevalpa;
  double* fmap2;
  double* fmap4;
  double* cor;  // packed, ntot
  double* fact;
  double* ufact;
  double* dbda;
  double* covp;
  double* factse;
  double* fcorse;
  double* strucse;
  double* tran;
  double* score;
  double* datax;
  double* struc;
  double* ref;
  double* fcor;  // packed, maxfact
  double* rcor;  // packed, maxfact
  double* dinv;
  NRSTRUCT* nrptr;

  // Output objects
  const ODSCLASS* cls;
  ODSOBJ* ods;  // null: no printed output
  ODSOBJ* out;
  ODSOBJ* currdat;
  ODSOBJ* opengroup;
  ODSOBJ* nobsobj;
  ODSOBJ* fincom;
  ODSOBJ* ithis;
  ODSOBJ* convstat;
  ODSOBJ* teval;
  ODSOBJ* tpa;
  ODSOBJ* tmap;
  ODSOBJ* simsta;
  ODSOBJ* sigtst;
  ODSOBJ* varexp;
  ODSOBJ* cancor;
  ODSOBJ* mucofa;
  ODSOBJ* calpha;
  ODSOBJ* rotfwgt;
  ODSOBJ* rotvwgt;
  ODSOBJ* ovmsa;
  ODSOBJ* mulcor;
  ODSOBJ* rmsres;
  ODSOBJ* rmspar;
  ODSOBJ* smprt;
  ODSOBJ* m2prt;
  ODSOBJ* screegp;
  ODSOBJ* patgp;
  std::int16_t graphics;
  char scree_path[64];
  char map_path[64];
  char pa_path[64];

  // In-database computation
  void* sqlfid;
  void* sqldata;
  SQLREQ* sqlout;
  void* sqlsco;
  void* sqlnames;
  RESHOLDER* resPtr;

  // Extension and threads
  TKHANDLE* hndl;
  TKXFAC_EXTENSION* tkxfacExt;
  TKXFAC_INSTANCE* tkxfacInst;
  PERFORMSTR perform;

  // Links of this run-time: the step's host services and what the step owns
  // outside the pool.  Set by kavfact right after clearing the record.
  StepContext* host;
  FACTSTEP* step;
};

static_assert(std::is_trivially_copyable_v<COMSTR> && std::is_standard_layout_v<COMSTR>,
              "COMSTR is cleared to zero; it must stay a plain record");

inline void fopt_set(COMSTR* com, FoptBit bit) {
  com->fopt[bit.byte] |= bit.mask;
}
inline void fopt_clear(COMSTR* com, FoptBit bit) {
  com->fopt[bit.byte] &= static_cast<unsigned char>(~bit.mask);
}
inline bool fopt_test(const COMSTR* com, FoptBit bit) {
  return (com->fopt[bit.byte] & bit.mask) != 0;
}

}  // namespace kav
