#include "factor/state/factorg.h"

#include <cctype>
#include <cstring>
#include <stdexcept>
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

// The statement reference's words for the options of a table: default and
// meaning, by the option's first spelling.  A description of an option the
// table does not have is a fault of the grammar, caught as it is built.
struct Description {
  const char* name;
  const char* default_text;
  const char* help;
};

std::vector<OptionDef> described(std::vector<OptionDef> options, std::vector<Description> text) {
  for (const Description& d : text) {
    bool found = false;
    for (OptionDef& o : options)
      if (std::strcmp(o.spellings[0], d.name) == 0) {
        o.default_text = d.default_text;
        o.help = d.help;
        found = true;
      }
    if (!found) throw std::logic_error(std::string("no option ") + d.name + " to describe");
  }
  return options;
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
      "PARALLEL",
      described(
          {
              valued({"ALPHA"}, ValueKind::Number, PA::kAlpha, between(0, 1)),
              valued({"NSIMS"}, ValueKind::Integer, PA::kNsims, between(200, 1000000)),
              seed({"SEED"}, PA::kSeed, at_least(1)),
          },
          {
              {"ALPHA", "0.05",
               "level of the critical eigenvalue: the (1 - ALPHA) quantile of the simulated ones"},
              {"NSIMS", "1000", "number of simulated data sets"},
              {"SEED", "from the clock", "seed of the simulations, to repeat them"},
          }));
  return t;
}

std::vector<OptionDef> loadings_option_defs() {
  OptionDef circle = valued({"CIRCLE", "CIRCLES"}, ValueKind::NumberList, PO::kCircleValues);
  circle.value_optional = true;
  circle.bit = PO::kCircle;
  return described(
      {
          flag({"FLIP"}, PO::kFlip),
          flag({"VECTOR"}, PO::kVector),
          flag({"PLOTREF"}, PO::kPlotref),
          valued({"NPLOT"}, ValueKind::Integer, PO::kNplot, between(2, 32767)),
          circle,
      },
      {
          {"FLIP", nullptr, "swap the axes of each loadings plot"},
          {"VECTOR", nullptr, "draw each variable as a vector from the origin"},
          {"PLOTREF", nullptr, "draw the reference axes of an oblique solution"},
          {"NPLOT", "2", "number of factors to plot, in pairs"},
          {"CIRCLE", "off", "draw circles of the given radii (1 when no value)"},
      });
}

const OptionTable& loadings_options() {
  static const OptionTable t("PLOTS=LOADINGS", loadings_option_defs());
  return t;
}

const OptionTable& scree_options() {
  static const OptionTable t(
      "PLOTS=SCREE",
      described({flag({"UNPACK", "UNPACKPANEL"}, PO::kUnpack)},
                {{"UNPACK", nullptr, "draw the scree and variance panels as two graphs"}}));
  return t;
}

// PLOTS(options)= gives the options once for every graph.
const OptionTable& global_plot_options() {
  static const OptionTable t("PLOTS", [] {
    auto v = loadings_option_defs();
    v.push_back(flag({"UNPACK", "UNPACKPANEL"}, PO::kUnpack));
    return described(std::move(v),
                     {{"UNPACK", nullptr, "draw the scree and variance panels as two graphs"}});
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
    return described(
        std::move(v),
        {
            {"DATA", "the data set made last",
             "input data set: raw data, or a TYPE=CORR, COV, UCORR, UCOV, SSCP or FACTOR data set"},
            {"OUT", nullptr,
             "output data set: the input data with the factor scores added (raw data and NFACTORS= "
             "needed)"},
            {"OUTSTAT", nullptr,
             "output data set (TYPE=FACTOR) of the statistics: means, correlations, loadings, "
             "scoring coefficients"},
            {"TARGET", nullptr,
             "data set holding the target pattern of a Procrustes rotation; makes PROCRUSTES the "
             "default rotation"},
            {"METHOD", "PRINCIPAL; PATTERN for a TYPE=FACTOR input",
             "how the factors are extracted (PATTERN and SCORE read them from a TYPE=FACTOR data "
             "set)"},
            {"PRIORS", "ONE for PRINCIPAL and PRINIT, SMC for the other methods",
             "prior communality estimates: a method, or one number per variable"},
            {"MAXITER", "30", "iteration limit of the iterative methods"},
            {"CONVERGE", "0.001", "convergence criterion of the iterative methods"},
            {"SINGULAR", "1e-7", "singularity criterion"},
            {"HEYWOOD", nullptr, "set a communality above 1 to 1 and go on iterating"},
            {"ULTRAHEYWOOD", nullptr, "let communalities go above 1"},
            {"COV", nullptr, "factor the covariance matrix instead of the correlation matrix"},
            {"WEIGHT", nullptr, "use the weights stored in a special input data set"},
            {"NOINT", nullptr, "leave out the intercept: uncorrected moments"},
            {"VARDEF", "DF", "divisor of variances: DF, N, WEIGHT (WGT) or WDF"},
            {"NOBS", "the number of observations used",
             "the number of observations for significance tests"},
            {"RANDOM", "from the clock (see SYSRANDOM)", "seed of PRIORS=RANDOM"},
            {"NTHREADS", "the CPU count when OPTIONS THREADS is on, else 1",
             "threads of the factoring extension; 0 means the default"},
            {"NFACTORS", "by MINEIGEN= and PROPORTION= and the method's rules",
             "number of factors, or PARALLEL, MAP, MAP2, MAP4 to choose it; -1 stops after the "
             "correlations"},
            {"PARALLEL", nullptr,
             "compute and show parallel analysis without using it for the number of factors"},
            {"MAP", nullptr,
             "compute and show Velicer's MAP test without using it for the number of factors"},
            {"MINEIGEN", "1 for ALPHA, HARRIS, IMAGE and PRIORS=ONE; else none",
             "smallest eigenvalue of a retained factor"},
            {"PROPORTION", "1 (all of it) when NFACTORS= and MINEIGEN= are not given",
             "proportion of the common variance the retained factors must reach"},
            {"ALL", nullptr, "print every optional table except those of PLOT and RESIDUALS"},
            {"SIMPLE", nullptr, "print means and standard deviations"},
            {"CORR", nullptr, "print the correlation matrix"},
            {"EIGENVECTORS", nullptr, "print the eigenvectors"},
            {"PRINT", nullptr, "print the input factor pattern or scoring coefficients"},
            {"MSA", nullptr,
             "print partial correlations and Kaiser's measure of sampling adequacy"},
            {"SCREE", nullptr, "print a scree plot of the eigenvalues"},
            {"PLOT", "graphics as ODS GRAPHICS says",
             "graphs to draw; PLOT alone prints character plots of the rotated loadings"},
            {"PREPLOT", nullptr, "plot the loadings before rotation"},
            {"RESIDUALS", nullptr, "print the residual correlations and partial correlations"},
            {"NOPRINT", nullptr, "print nothing"},
            {"ROUND", nullptr,
             "print correlations and loadings as integers times 100, flagging the large ones"},
            {"NOCORR", nullptr, "leave the correlations out of OUTSTAT="},
            {"SCORE", nullptr, "print the scoring coefficients"},
            {"REORDER", nullptr, "sort the rows of the loadings by the factor they load most on"},
            {"TEST", nullptr, "kept for compatibility; no output of its own"},
            {"COUNT", nullptr, "kept for compatibility; no output of its own"},
            {"PLOTREF", nullptr, "draw reference axes in the loadings plots"},
            {"FUZZ", "0", "print loadings and correlations below this in absolute value as blanks"},
            {"FLAG", "0 (with ROUND: the root mean square)",
             "flag printed values above this with an asterisk"},
            {"NPLOT", "2", "number of factors in the character plots"},
            {"PLOTCHAR", nullptr, "character of the character plots"},
            {"PREFIX", "Factor", "prefix of the score variable names in OUT="},
            {"PARPREFIX", "R_",
             "prefix of the residual variable names in OUTSTAT= when PARTIAL is given"},
            {"STDERR", nullptr,
             "standard errors of the loadings and factor correlations (METHOD=ML)"},
            {"HYPVALUE", nullptr,
             "hypothesis value for the tests of the loadings; asks for standard errors"},
            {"ONETAIL", nullptr, "one-tailed tests against HYPVALUE="},
            {"TWOTAIL", nullptr, "two-tailed tests against HYPVALUE="},
            {"ALPHA", "0.05 when intervals are asked",
             "level of the confidence intervals (above 1: a percentage)"},
            {"COVER", "0 when intervals are asked",
             "confidence intervals, and the value a salient loading covers"},
            {"ROTATE", "NONE; PROCRUSTES with TARGET=, PROMAX with POWER=",
             "rotation methods, applied in turn"},
            {"PREROTATE", "VARIMAX for PROMAX (ORTHOMAX with GAMMA=, OBLIMIN with TAU=)",
             "rotation before a promax or Procrustes rotation"},
            {"GAMMA", nullptr, "orthomax weight gamma"},
            {"TAU", nullptr, "oblimin weight tau"},
            {"POWER", "3", "power of the promax target"},
            {"HKPOWER", nullptr, "power of the Harris-Kaiser rotation"},
            {"NORM", "KAISER", "row normalisation before rotation"},
            {"NOPROMAXNORM", nullptr, "no row normalisation of the promax target"},
            {"RITER", "the larger of 100 and 10 times the number of variables",
             "iteration limit of the rotations"},
            {"RCONVERGE", "1e-9", "convergence criterion of the rotations"},
        });
  }());
  return t;
}

const OptionTable& pathdiagram_options() {
  static const OptionTable t(
      "PATHDIAGRAM",
      described(
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
              valued({"DESIGNWIDTH", "DW"}, ValueKind::Integer, PD::kDesignwidth,
                     between(100, 10922)),
              valued({"TEXTSIZEMIN"}, ValueKind::Integer, PD::kTextsizemin, between(4, 40)),
              valued({"DIAGRAMSCALE", "SCALE"}, ValueKind::Number, PD::kDiagramscale,
                     between(0, 6)),
          },
          {
              {"ARRANGE", "AUTOMATIC", "layout of the nodes"},
              {"NODELABEL", "VARNAME", "label the variable nodes by name or by label"},
              {"ALPHA", "0.05", "level of the significance of the loadings shown"},
              {"NOESTIM", nullptr, "show no estimates on the links"},
              {"NOVARIANCE", nullptr, "leave out the variances"},
              {"NOERRVAR", nullptr, "leave out the error variances"},
              {"NOFACTORVAR", nullptr, "leave out the factor variances"},
              {"NOTITLE", nullptr, "draw no title"},
              {"LABEL", nullptr, "labels for the nodes, by variable or factor name"},
              {"DIAGRAMLABEL", nullptr, "the diagram's label in the table of contents"},
              {"TITLE", nullptr, "the diagram's title"},
              {"FACTORSIZE", nullptr, "size of the factor nodes relative to the variable nodes"},
              {"DECP", "2", "decimals of the estimates"},
              {"FUZZ", "0", "links with loadings below this in absolute value are left out"},
              {"COVER", nullptr, "links with loadings below this are drawn as not salient"},
              {"DESIGNHEIGHT", nullptr, "height of the drawing in pixels"},
              {"DESIGNWIDTH", nullptr, "width of the drawing in pixels"},
              {"TEXTSIZEMIN", "10", "smallest text size in points"},
              {"DIAGRAMSCALE", nullptr, "scale of the whole diagram"},
          }));
  return t;
}

StatementDef value_statement(std::vector<const char*> spellings, OptionDef value,
                             const char* help) {
  StatementDef s;
  s.help = help;
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
  g.statements.push_back(value_statement(
      {"VAR", "VARIABLES"}, valued({"VAR"}, ValueKind::VarList, F::kVar),
      "the numeric variables to analyse (default: every numeric variable not named elsewhere)"));
  g.statements.push_back(
      value_statement({"PARTIAL"}, valued({"PARTIAL"}, ValueKind::VarList, F::kPartial),
                      "variables partialled out: the analysis uses the partial correlations"));
  {
    // The statement form takes a keyword or a plain list of numbers.
    OptionDef d = valued({"PRIORS"}, ValueKind::NumberList, F::kPriors);
    d.words = prior_words();
    d.plain_list = true;
    g.statements.push_back(value_statement(
        {"PRIORS", "PRIOR"}, d,
        "prior communalities: a method as PRIORS= takes, or one number per variable"));
  }
  g.statements.push_back(
      value_statement({"FREQ", "FREQUENCY"}, valued({"FREQ"}, ValueKind::Variable, F::kFreq),
                      "a variable holding how many times each observation counts"));
  g.statements.push_back(
      value_statement({"WEIGHT", "WEIGHTS"}, valued({"WEIGHT"}, ValueKind::Variable, F::kWeight),
                      "a variable holding each observation's weight in the moments"));
  {
    OptionDef d = valued({"BY"}, ValueKind::VarList, F::kBy);
    d.allow_descending = true;
    d.notsorted_bit = B::kNotsorted;
    g.statements.push_back(value_statement(
        {"BY"}, d,
        "one analysis per group of observations with the same values (data sorted, or NOTSORTED)"));
  }
  {
    StatementDef s;
    s.spellings = {"WHERE"};
    s.body = StatementBody::Condition;
    s.help =
        "analyse only the observations for which the condition holds, as in WHERE age > 20 and "
        "site = 'north'";
    s.value = valued({"WHERE"}, ValueKind::Text, F::kWhere);
    g.statements.push_back(s);
  }
  {
    StatementDef s;
    s.spellings = {"PATHDIAGRAM"};
    s.body = StatementBody::Options;
    s.help = "draw a path diagram of the solution (one per statement)";
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
