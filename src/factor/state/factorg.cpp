#include "factor/state/factorg.h"

#include <cctype>
#include <cstring>
#include <string>

#include "factor/rotate/rotation_registry.h"

namespace kav {

namespace {

namespace F = factorg_field;
namespace B = factorg_bit;
namespace PO = factorg_plotopt;
namespace PA = factorg_pa;
namespace PD = factorg_pd;

OptionDef flag(std::vector<const char*> spellings, int bit) {
  OptionDef d;
  d.spellings = std::move(spellings);
  d.kind = ValueKind::Flag;
  d.bit = bit;
  return d;
}

OptionDef valued(std::vector<const char*> spellings, ValueKind kind, int field,
                 Range range = Range{}) {
  OptionDef d;
  d.spellings = std::move(spellings);
  d.kind = kind;
  d.field = field;
  d.range = range;
  return d;
}

// A random seed: an integer of any size, since the procedure reduces seeds
// beyond 2^53 to a usable one itself.
OptionDef seed(std::vector<const char*> spellings, int field, Range range = Range{}) {
  OptionDef d = valued(std::move(spellings), ValueKind::Integer, field, range);
  d.any_size = true;
  return d;
}

OptionDef keyword(std::vector<const char*> spellings, int field, std::vector<WordDef> words) {
  OptionDef d = valued(std::move(spellings), ValueKind::Keyword, field);
  d.words = std::move(words);
  return d;
}

// Options of parallel analysis, shared by NFACTORS=PARALLEL(...) and
// PARALLEL(...).
const OptionTable& parallel_options() {
  // Every simulated data set's eigenvalues are kept for the order
  // statistic, so the number of simulations is bounded: the store and the
  // run time of a request stay within what one step may take.
  static const OptionTable t(
      "PARALLEL", {
                      valued({"ALPHA"}, ValueKind::Number, PA::kAlpha, between(0, 1)),
                      valued({"NSIMS"}, ValueKind::Integer, PA::kNsims, between(200, 1000000)),
                      seed({"SEED"}, PA::kSeed, at_least(1)),
                  });
  return t;
}

std::vector<OptionDef> loadings_option_defs() {
  OptionDef circle = valued({"CIRCLE", "CIRCLES"}, ValueKind::NumberList, PO::kCircleValues);
  circle.value_optional = true;
  circle.bit = PO::kCircle;
  return {
      flag({"FLIP"}, PO::kFlip),
      flag({"VECTOR"}, PO::kVector),
      flag({"PLOTREF"}, PO::kPlotref),
      valued({"NPLOT"}, ValueKind::Integer, PO::kNplot, between(2, 32767)),
      circle,
  };
}

const OptionTable& loadings_options() {
  static const OptionTable t("PLOTS=LOADINGS", loadings_option_defs());
  return t;
}

const OptionTable& scree_options() {
  static const OptionTable t("PLOTS=SCREE", {flag({"UNPACK", "UNPACKPANEL"}, PO::kUnpack)});
  return t;
}

// PLOTS(options)= gives the options once for every graph.
const OptionTable& global_plot_options() {
  static const OptionTable t("PLOTS", [] {
    auto v = loadings_option_defs();
    v.push_back(flag({"UNPACK", "UNPACKPANEL"}, PO::kUnpack));
    return v;
  }());
  return t;
}

std::vector<WordDef> plot_requests() {
  const OptionTable* ld = &loadings_options();
  return {
      {"SCREE", kPlotScree, 0, 0, &scree_options()},
      {"EIGEN", kPlotScree, 0, 0, &scree_options()},
      {"EIGENVALUE", kPlotScree, 0, 0, &scree_options()},
      {"LOADINGS", kPlotLoadings, 0, 0, ld},
      {"LOADING", kPlotLoadings, 0, 0, ld},
      {"PATTERN", kPlotLoadings, 0, 0, ld},
      {"INITLOADINGS", kPlotInitLoadings, 0, 0, ld},
      {"INITLOADING", kPlotInitLoadings, 0, 0, ld},
      {"INITPATTERN", kPlotInitLoadings, 0, 0, ld},
      {"PRELOADINGS", kPlotPreLoadings, 0, 0, ld},
      {"PRELOADING", kPlotPreLoadings, 0, 0, ld},
      {"PREPATTERN", kPlotPreLoadings, 0, 0, ld},
      {"MAP", kPlotMap},
      {"MAP2", kPlotMap2},
      {"MAP4", kPlotMap4},
      {"PARALLEL", kPlotParallel},
      {"PATHDIAGRAM", kPlotPathDiagram},
      {"ALL", kPlotAll},
      {"NONE", kPlotNone},
  };
}

// Rotation words, from the rotation registry; the ones that only a list
// takes (PROMAX, PROCRUSTES) only when `list` (ROTATE=).
std::vector<WordDef> rotation_words(bool list) {
  std::vector<WordDef> w;
  for (const RotationMethod& r : rotation_methods()) {
    if (r.list_only && !list) continue;
    for (const char* word : r.words)
      if (word)
        w.push_back({word, r.code, r.min_params, r.max_params, nullptr, -1,
                     Range{r.param_lo, r.param_hi}, r.integer_params});
  }
  return w;
}

std::vector<WordDef> prior_words() {
  return {{"SMC", 1},  {"S", 1}, {"INPUT", 2}, {"I", 2}, {"MAX", 3},    {"M", 3},
          {"ASMC", 4}, {"A", 4}, {"ONE", 5},   {"O", 5}, {"RANDOM", 6}, {"R", 6}};
}

const OptionTable& proc_options() {
  static const OptionTable t("PROC FACTOR", [] {
    std::vector<OptionDef> v = {
        // Data sets.
        valued({"DATA"}, ValueKind::DataSet, F::kData),
        valued({"OUT"}, ValueKind::DataSet, F::kOut),
        valued({"OUTSTAT", "STAT"}, ValueKind::DataSet, F::kOutstat),
        valued({"TARGET"}, ValueKind::DataSet, F::kTarget),
        // Extraction.
        keyword({"METHOD", "M"}, F::kMethod,
                {{"PRINCIPAL", 1},
                 {"PRIN", 1},
                 {"P", 1},
                 {"ULS", 2},
                 {"U", 2},
                 {"PRINIT", 3},
                 {"ALPHA", 4},
                 {"A", 4},
                 {"ML", 5},
                 {"M", 5},
                 {"FULLER", 7},
                 {"F", 7},
                 {"HARRIS", 8},
                 {"H", 8},
                 {"IMAGE", 9},
                 {"I", 9},
                 {"PATTERN", 10},
                 {"SCORE", 11}}),
        [] {
          OptionDef d = valued({"PRIORS", "PRIOR"}, ValueKind::NumberList, F::kPriors);
          d.words = prior_words();
          return d;
        }(),
        valued({"MAXITER", "MAXIT"}, ValueKind::Integer, F::kMaxiter, between(0, 32767)),
        valued({"CONVERGE", "CONV"}, ValueKind::Number, F::kConverge, at_least(0)),
        valued({"SINGULAR", "TOLERANCE", "SING", "TOL"}, ValueKind::Number, F::kSingular,
               between(0, 1)),
        flag({"HEYWOOD", "HEY"}, B::kHeywood),
        flag({"ULTRAHEYWOOD", "ULTRA"}, B::kUltraHeywood),
        flag({"COV", "COVARIANCE"}, B::kCov),
        flag({"WEIGHT"}, B::kWeight),
        flag({"NOINT"}, B::kNoint),
        keyword({"VARDEF"}, F::kVardef,
                {{"DF", kVardefDf},
                 {"N", kVardefN},
                 {"WEIGHT", kVardefWeight},
                 {"WGT", kVardefWgt},
                 {"WDF", kVardefWdf}}),
        valued({"NOBS"}, ValueKind::Number, F::kNobs, at_least(0)),
        seed({"RANDOM"}, F::kRandom),
        valued({"NTHREADS", "NTHREAD", "THREADS", "THREAD"}, ValueKind::Integer, F::kNthreads,
               at_least(0)),
        // Number of factors.
        [] {
          OptionDef d =
              valued({"NFACTORS", "NFACTOR", "NFACT", "N"}, ValueKind::Integer, F::kNfactors,
                     at_least(-1));  // -1 stops after the correlation matrix
          d.words = {{"PARALLEL", kNfParallel, 0, 0, &parallel_options(), B::kNfParallel},
                     {"MAP", kNfMap, 0, 0, nullptr, B::kNfMap2},
                     {"MAP2", kNfMap2, 0, 0, nullptr, B::kNfMap2},
                     {"MAP4", kNfMap4, 0, 0, nullptr, B::kNfMap4}};
          d.accumulate = true;
          return d;
        }(),
        [] {
          OptionDef d = flag({"PARALLEL"}, B::kParallel);
          d.field = F::kParallel;
          d.after_name = &parallel_options();
          return d;
        }(),
        flag({"MAP"}, B::kMap),
        valued({"MINEIGEN", "MIN"}, ValueKind::Number, F::kMineigen, at_least(0)),
        valued({"PROPORTION", "PERCENT", "P"}, ValueKind::Number, F::kProportion, between(0, 100)),
        // Printing.
        flag({"ALL"}, B::kAll),
        flag({"SIMPLE", "S"}, B::kSimple),
        flag({"CORR", "C"}, B::kCorr),
        flag({"EIGENVECTORS", "EV"}, B::kEigenvectors),
        flag({"PRINT"}, B::kPrint),
        flag({"MSA"}, B::kMsa),
        flag({"SCREE"}, B::kScree),
        [] {
          OptionDef d = valued({"PLOT", "PLOTS"}, ValueKind::KeywordList, F::kPlots);
          d.bit = B::kPlot;
          d.value_optional = true;
          d.words = plot_requests();
          d.before_equals = &global_plot_options();
          return d;
        }(),
        flag({"PREPLOT"}, B::kPreplot),
        flag({"RESIDUALS", "RESIDUAL", "RES"}, B::kResiduals),
        flag({"NOPRINT", "NOP"}, B::kNoprint),
        flag({"ROUND"}, B::kRound),
        flag({"NOCORR"}, B::kNocorr),
        flag({"SCORE"}, B::kScore),
        flag({"REORDER", "RE"}, B::kReorder),
        flag({"TEST"}, B::kTest),
        flag({"COUNT"}, B::kCount),
        flag({"PLOTREF"}, B::kPlotref),
        valued({"FUZZ"}, ValueKind::Number, F::kFuzz, at_least(0)),
        valued({"FLAG"}, ValueKind::Number, F::kFlag, at_least(0)),
        valued({"NPLOT", "NPLOTS", "NP"}, ValueKind::Integer, F::kNplot, between(2, 32767)),
        valued({"PLOTCHAR", "PC"}, ValueKind::Integer, F::kPlotchar),
        valued({"PREFIX"}, ValueKind::Name, F::kPrefix),
        valued({"PARPREFIX"}, ValueKind::Name, F::kParprefix),
        // Standard errors and intervals.
        flag({"STDERR", "SE"}, B::kStderr),
        valued({"HYPVALUE", "HYPVAL"}, ValueKind::Number, F::kHypvalue, at_least(0)),
        flag({"ONETAIL", "ONET"}, B::kOnetail),
        flag({"TWOTAIL", "TWOT"}, B::kTwotail),
        valued({"ALPHA"}, ValueKind::Number, F::kAlpha, between(0, 100)),
        [] {
          OptionDef d = valued({"COVER", "CI"}, ValueKind::Number, F::kCover, at_least(0));
          d.bit = B::kCover;
          d.value_optional = true;
          return d;
        }(),
        // Rotation.
        [] {
          OptionDef d = valued({"ROTATE", "R"}, ValueKind::KeywordList, F::kRotate);
          d.words = rotation_words(true);
          d.comma_separated = true;
          d.accumulate = true;
          return d;
        }(),
        keyword({"PREROTATE", "PRE"}, F::kPrerotate, rotation_words(false)),
        valued({"GAMMA", "G"}, ValueKind::Number, F::kGamma),
        valued({"TAU"}, ValueKind::Number, F::kTau),
        valued({"POWER", "K"}, ValueKind::Integer, F::kPower, between(1, 32767)),
        valued({"HKPOWER", "HKP"}, ValueKind::Number, F::kHkpower),
        keyword({"NORM"}, F::kNorm,
                {{"KAISER", 1}, {"WEIGHT", 2}, {"RAW", 3}, {"COV", 4}, {"NONE", 8}}),
        flag({"NOPROMAXNORM", "NOPMAXNORM"}, B::kNopromaxnorm),
        valued({"RITER"}, ValueKind::Integer, F::kRiter, at_least(0)),
        valued({"RCONVERGE", "RCONV"}, ValueKind::Number, F::kRconverge, at_least(0)),
    };
    return v;
  }());
  return t;
}

const OptionTable& pathdiagram_options() {
  static const OptionTable t(
      "PATHDIAGRAM",
      {
          keyword({"ARRANGE", "ARRANGEMENT", "METHOD"}, PD::kArrange,
                  {{"FLOW", 2}, {"GROUPEDFLOW", 3}, {"GRIP", 4}, {"AUTOMATIC", 9}}),
          keyword({"NODELABEL"}, PD::kNodelabel,
                  {{"VARNAME", 1}, {"VNAME", 1}, {"VARLABEL", 2}, {"VLABEL", 2}}),
          valued({"ALPHA", "ALPHALOAD"}, ValueKind::Number, PD::kAlpha, between(0, 100)),
          flag({"NOESTIM", "NOEST"}, PD::kNoestim),
          flag({"NOVARIANCE"}, PD::kNovariance),
          flag({"NOERRVAR", "NOERRORVARIANCE"}, PD::kNoerrvar),
          flag({"NOFACTORVAR", "NOFACTORVARIANCE"}, PD::kNofactorvar),
          flag({"NOTITLE"}, PD::kNotitle),
          valued({"LABEL", "LABELS"}, ValueKind::LabelPairs, PD::kLabel),
          valued({"DIAGRAMLABEL", "DLABEL"}, ValueKind::Text, PD::kDiagramlabel),
          valued({"TITLE"}, ValueKind::Text, PD::kTitle),
          valued({"FACTORSIZE", "FACTSIZE"}, ValueKind::Number, PD::kFactorsize, between(0, 5)),
          valued({"DECP"}, ValueKind::Integer, PD::kDecp, between(0, 4)),
          valued({"FUZZ"}, ValueKind::Number, PD::kFuzz, at_least(0)),
          valued({"COVER", "SALIENCE"}, ValueKind::Number, PD::kCover, at_least(0)),
          valued({"DESIGNHEIGHT", "DH"}, ValueKind::Integer, PD::kDesignheight,
                 between(100, 10922)),
          valued({"DESIGNWIDTH", "DW"}, ValueKind::Integer, PD::kDesignwidth, between(100, 10922)),
          valued({"TEXTSIZEMIN"}, ValueKind::Integer, PD::kTextsizemin, between(4, 40)),
          valued({"DIAGRAMSCALE", "SCALE"}, ValueKind::Number, PD::kDiagramscale, between(0, 6)),
      });
  return t;
}

StatementDef value_statement(std::vector<const char*> spellings, OptionDef value) {
  StatementDef s;
  s.spellings = std::move(spellings);
  s.body = StatementBody::Value;
  s.value = std::move(value);
  return s;
}

Grammar build() {
  Grammar g;
  g.procedure = "FACTOR";
  g.proc = &proc_options();
  g.fields = F::kEnd - 1;
  g.statements.push_back(
      value_statement({"VAR", "VARIABLES"}, valued({"VAR"}, ValueKind::VarList, F::kVar)));
  g.statements.push_back(
      value_statement({"PARTIAL"}, valued({"PARTIAL"}, ValueKind::VarList, F::kPartial)));
  {
    // The statement form takes a keyword or a plain list of numbers.
    OptionDef d = valued({"PRIORS"}, ValueKind::NumberList, F::kPriors);
    d.words = prior_words();
    d.plain_list = true;
    g.statements.push_back(value_statement({"PRIORS", "PRIOR"}, d));
  }
  g.statements.push_back(
      value_statement({"FREQ", "FREQUENCY"}, valued({"FREQ"}, ValueKind::Variable, F::kFreq)));
  g.statements.push_back(
      value_statement({"WEIGHT", "WEIGHTS"}, valued({"WEIGHT"}, ValueKind::Variable, F::kWeight)));
  {
    OptionDef d = valued({"BY"}, ValueKind::VarList, F::kBy);
    d.allow_descending = true;
    d.notsorted_bit = B::kNotsorted;
    g.statements.push_back(value_statement({"BY"}, d));
  }
  {
    StatementDef s;
    s.spellings = {"WHERE"};
    s.body = StatementBody::Condition;
    s.value = valued({"WHERE"}, ValueKind::Text, F::kWhere);
    g.statements.push_back(s);
  }
  {
    StatementDef s;
    s.spellings = {"PATHDIAGRAM"};
    s.body = StatementBody::Options;
    s.options = &pathdiagram_options();
    s.own_record = true;
    g.statements.push_back(s);
  }
  return g;
}

// The first eight characters in upper case, blank padded, as the host
// compares statement names.
std::string name8(const char* s) {
  std::string r;
  for (std::size_t k = 0; s && s[k] && k < 8; ++k)
    r += static_cast<char>(std::toupper(static_cast<unsigned char>(s[k])));
  r.resize(8, ' ');
  return r;
}

}  // namespace

const Grammar& factorg() {
  static const Grammar g = build();
  return g;
}

int findstmt(const char* name, const char* alt, const std::vector<ParsedStatement>& list,
             std::size_t first, std::size_t* result, int nstop, const char* const* stops,
             int flag) {
  const std::string want = name8(name);
  const std::string other = alt ? name8(alt) : std::string();
  for (std::size_t k = first; k < list.size(); ++k) {
    const std::string have = name8(list[k].name.c_str());
    if (have == want || (alt && have == other)) {
      if (result) *result = k;
      return 1;
    }
    if (flag == 0 && nstop > 0)
      for (int s = 0; s < nstop; ++s)
        if (have == name8(stops[s])) return 0;
  }
  return 0;
}

}  // namespace kav
