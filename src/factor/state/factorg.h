// The compiled grammar of PROC FACTOR: every option of the procedure
// statement and of its secondary statements, with its spellings, value kind,
// range, value field and option bit.  fact1 reads the parsed record through
// the field and bit numbers below.
#pragma once

#include <cstddef>
#include <vector>

#include "host/stmtparse.h"

namespace kav {

namespace factorg_field {
// Value fields of the procedure record.
enum : int {
  kData = 1,
  kOut,
  kOutstat,
  kTarget,
  kMethod,
  kPriors,  // PRIORS= and the PRIORS statement: a keyword code or a list
  kMaxiter,
  kConverge,
  kSingular,
  kVardef,
  kNobs,
  kRandom,
  kNthreads,
  kNfactors,  // the last number given, and the last keyword's code (kNf...) with PARALLEL's
              // options in `sub`; every keyword given also sets its bit, so that
              // NFACTORS=MAP2 NFACTORS=MAP4 can be told apart from one of them
  kParallel,  // the PARALLEL option; its options in `sub`
  kMineigen,
  kProportion,
  kFuzz,
  kFlag,
  kNplot,
  kPlotchar,
  kPrefix,
  kParprefix,
  kHypvalue,
  kAlpha,
  kCover,
  kPlots,  // requests (items, each with its own options); PLOTS(options)= in `sub`
  kRotate,
  kPrerotate,
  kGamma,
  kTau,
  kPower,
  kHkpower,
  kNorm,
  kRiter,
  kRconverge,
  kVar,       // VAR statement
  kPartial,   // PARTIAL statement
  kFreq,      // FREQ statement
  kWeight,    // WEIGHT statement
  kBy,        // BY statement (DESCENDING per item)
  kWhere,     // WHERE statements: conditions on the DATA= observations
  kCombined,  // the VAR variables followed by the PARTIAL variables, made by fact1
  kEnd
};
}  // namespace factorg_field

namespace factorg_bit {
// Option bits of the procedure record.
enum : int {
  kHeywood,
  kUltraHeywood,
  kCov,
  kWeight,
  kNoint,
  kParallel,
  kMap,
  kAll,
  kSimple,
  kCorr,
  kEigenvectors,
  kPrint,
  kMsa,
  kScree,
  kPlot,  // PLOT or PLOTS without '='
  kPreplot,
  kResiduals,
  kNoprint,
  kRound,
  kNocorr,
  kScore,
  kReorder,
  kTest,
  kCount,
  kPlotref,
  kStderr,
  kOnetail,
  kTwotail,
  kCover,  // COVER without a value
  kNopromaxnorm,
  kNotsorted,   // BY ... NOTSORTED
  kNfParallel,  // NFACTORS=PARALLEL given (any NFACTORS= option written)
  kNfMap2,      // NFACTORS=MAP or MAP2 given
  kNfMap4,      // NFACTORS=MAP4 given
  kEnd
};
}  // namespace factorg_bit

// Options of a graph request or of PLOTS(options)=.
namespace factorg_plotopt {
enum : int { kNplot = 1, kCircleValues };                   // fields
enum : int { kFlip, kVector, kPlotref, kCircle, kUnpack };  // bits
}  // namespace factorg_plotopt

// Options of parallel analysis: NFACTORS=PARALLEL(...) and PARALLEL(...).
namespace factorg_pa {
enum : int { kAlpha = 1, kNsims, kSeed };  // fields
}

// Options of a PATHDIAGRAM statement (a record of its own).
namespace factorg_pd {
enum : int {
  kArrange = 1,
  kNodelabel,
  kAlpha,
  kLabel,
  kDiagramlabel,
  kTitle,
  kFactorsize,
  kDecp,
  kFuzz,
  kCover,
  kDesignheight,
  kDesignwidth,
  kTextsizemin,
  kDiagramscale
};                                                                        // fields
enum : int { kNoestim, kNovariance, kNoerrvar, kNofactorvar, kNotitle };  // bits
}  // namespace factorg_pd

// Codes of keyword values.
inline constexpr int kNfParallel = 1, kNfMap = 2, kNfMap2 = 3, kNfMap4 = 4;
inline constexpr int kPlotScree = 1, kPlotLoadings = 2, kPlotInitLoadings = 3, kPlotPreLoadings = 4,
                     kPlotMap = 5, kPlotMap2 = 6, kPlotMap4 = 7, kPlotParallel = 8,
                     kPlotPathDiagram = 9, kPlotAll = 10, kPlotNone = 11;
inline constexpr int kVardefDf = 1, kVardefN = 2, kVardefWeight = 3, kVardefWgt = 4, kVardefWdf = 5;

// The grammar, built once.
const Grammar& factorg();

// Walks `list` from position `first` for a statement whose name, cut to 8
// characters, equals `name` or `alt` (alt may be null).  Returns 1 and
// stores its position in *result; when `flag` is 0 and `nstop` is positive,
// a statement named in `stops` (8-character names) ends the search with 0;
// the end of the list gives 0.
int findstmt(const char* name, const char* alt, const std::vector<ParsedStatement>& list,
             std::size_t first, std::size_t* result, int nstop, const char* const* stops, int flag);

}  // namespace kav
