#include "factor/step/fact1_options.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "factor/output/factods.h"
#include "factor/rotate/rotselect.h"
#include "factor/state/factmsg.h"
#include "factor/state/factorg.h"
#include "factor/state/random.h"
#include "host/graph_messages.h"
#include "host/host_messages.h"
#include "host/value.h"
#include "host/varlist.h"
#include "numeric/exact_integer.h"

namespace kav {

namespace {

namespace F = factorg_field;
namespace B = factorg_bit;
namespace PA = factorg_pa;

constexpr int kMaxAnalysisVariables = 10000;

bool given(double v) {
  return !is_missing(v);
}

// A number field, or `fallback` when the option was not given.
double number_or(const ParsedRecord& rec, int field, double fallback) {
  const FieldValue& f = rec[field];
  return f.given && !std::isnan(f.number) ? f.number : fallback;
}

// An integer field, or `fallback` when the option was not given.  The
// parser refuses integer values an int cannot hold, so the fallback never
// stands in for a value the user gave.
int integer_or(const ParsedRecord& rec, int field, int fallback) {
  return exact_integer<int>(number_or(rec, field, fallback)).value_or(fallback);
}

bool special_type(const std::string& type) {
  static const char* const kSpecial[] = {"CORR",   "COV",  "UCORR", "UCOV",
                                         "FACTOR", "SSCP", "ACE",   "EST"};
  for (const char* s : kSpecial)
    if (type == s) return true;
  return false;
}

std::string trimmed(const char* p, std::size_t n) {
  std::string s(p, n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

void set_char8(char8& dst, const std::string& s) {
  std::memset(dst, ' ', sizeof(char8));
  std::memcpy(dst, s.data(), std::min(s.size(), sizeof(char8)));
}

void set_longlname(longlname& dst, const std::string& s) {
  std::memset(dst.name, ' ', sizeof dst.name);
  std::size_t n = std::min(s.size(), sizeof dst.name);
  std::memcpy(dst.name, s.data(), n);
  dst.len = static_cast<std::int16_t>(n);
}

const char* prior_name(int priortyp) {
  switch (priortyp) {
    case 1:
      return "SMC";
    case 2:
      return "INPUT";
    case 3:
      return "MAX";
    case 4:
      return "ASMC";
    case 5:
      return "ONE";
    case 6:
      return "RANDOM";
    default:
      return "(a list of values)";
  }
}

// Resolves one statement's list, ending the step on an error: a list that
// names what is not there leaves nothing sensible to analyse.  A variable
// named twice among the analysed (or partialled) ones is an error too: it
// would enter the correlation matrix twice and make it singular.
std::vector<int> resolve(COMSTR* com, const FieldValue& f, const DataSetHeader& h, VarType need,
                         const char* statement, bool each_once = false) {
  std::vector<int> out;
  VarListError err;
  if (!resolve_varlist(f.vars, h, need, statement, out, err, each_once)) {
    com->host->xpmlog(kHostGroup, err.number, err.args, err.pos);
    factrc(com, 1008);
    xexit(com->rc);
  }
  return out;
}

}  // namespace

void fact_msg(COMSTR* com, int number, std::vector<std::string> args) {
  com->host->xpmlog(kFactorGroup, number, std::move(args));
}

void fact_checkpoint(COMSTR* com) {
  if (com->rc > 999) xexit(com->rc);
}

const char* fact_method_name(int fmethod) {
  static const char* const kNames[] = {"",    "PRINCIPAL", "ULS",    "PRINIT", "ALPHA",   "ML",
                                       "GLS", "FULLER",    "HARRIS", "IMAGE",  "PATTERN", "SCORE"};
  return fmethod >= 1 && fmethod <= 11 ? kNames[fmethod] : "UNKNOWN";
}

std::int64_t fact_seed(double x) {
  if (!given(x) || x < 1) return 0;
  constexpr double kTwo53 = 9007199254740992.0;
  if (x <= kTwo53) return static_cast<std::int64_t>(x);
  const double b = std::ldexp(1.0, 43);
  double k = std::floor(std::log(x / 1024) / std::log(b));
  return static_cast<std::int64_t>(std::ceil(x / std::pow(b, k)));
}

// ---------------------------------------------------------------------------

void fact1_begin(COMSTR* com) {
  auto vvn = com->host->xoptcgt("VALIDVARNAME");
  com->v6bit = vvn && vvn->size() >= 2 && upper(vvn->substr(0, 2)) == "V6" ? 1 : 0;
  com->perm = nullptr;
  com->notec = com->notei = 0;
  std::memset(com->fopt, 0, sizeof com->fopt);
  com->miss = missing_value();
  com->rc = 0;
  com->prochead = &com->host->statements();
  // Options not given hold the missing value until read.
  com->usernobs = com->mineigp = com->percentp = com->gamma = com->tau = com->kvalue =
      com->hkpower = com->hypval = com->alpha = com->miss;
}

void fact1_parse(COMSTR* com, ParsedStep& parsed) {
  int status = xsparse(factorg(), com->host->statements(), com->host->log(), parsed);
  if (status != 0) {
    factrc(com, status);
    xexit(status);
  }
}

void fact1_input(COMSTR* com, const ParsedStep& parsed, const DataSetHeader& input,
                 FACT1LISTS& lists) {
  const ParsedRecord& rec = parsed.proc;
  // The flags of the data sets given.
  if (rec.has(F::kOut)) fopt_set(com, kFoptOut);
  if (rec.has(F::kOutstat)) fopt_set(com, kFoptOutstat);
  if (rec.has(F::kTarget)) fopt_set(com, kFoptTarget);

  // The input's type decides between raw and special data.
  std::string type = upper(input.type);
  set_char8(com->dstype, type);
  if (!special_type(type)) fopt_set(com, kFoptRawData);

  // The special variables.
  com->typeno = input.find("_TYPE_") + 1;
  com->nameno = input.find("_NAME_") + 1;
  com->intcno = input.find("INTERCEPT") + 1;
  if (com->intcno == 0) com->intcno = input.find("INTERCEP") + 1;

  // The variable lists.
  lists = FACT1LISTS{};
  lists.by = resolve(com, rec[F::kBy], input, VarType::Any, "BY");
  for (const VarListItem& it : rec[F::kBy].vars) {
    // A range item marks every variable it yields alike.
    std::vector<int> one;
    VarListError err;
    resolve_varlist({it}, input, VarType::Any, "BY", one, err);
    for (std::size_t k = 0; k < one.size(); ++k) lists.by_descending.push_back(it.descending);
  }
  lists.notsorted = rec.bit(B::kNotsorted);
  lists.partial = resolve(com, rec[F::kPartial], input, VarType::Numeric, "PARTIAL", true);
  if (rec.has(F::kFreq))
    lists.freq = resolve(com, rec[F::kFreq], input, VarType::Numeric, "FREQ")[0];
  if (rec.has(F::kWeight))
    lists.weight = resolve(com, rec[F::kWeight], input, VarType::Numeric, "WEIGHT")[0];
  const bool sscp_intercept = type == "SSCP" && com->intcno > 0;
  if (rec.has(F::kVar)) {
    lists.var = resolve(com, rec[F::kVar], input, VarType::Numeric, "VAR", true);
    if (sscp_intercept &&
        std::find(lists.var.begin(), lists.var.end(), com->intcno - 1) != lists.var.end()) {
      com->noint = 1;
      fopt_set(com, kFoptNoint);
      fact_msg(com, kMsgInterceptAnalysed);
    }
  } else {
    // The default list: the numeric variables that play no other part.
    auto used = [&](int k) {
      auto in = [k](const std::vector<int>& v) {
        return std::find(v.begin(), v.end(), k) != v.end();
      };
      return in(lists.by) || in(lists.partial) || k == lists.freq || k == lists.weight ||
             (sscp_intercept && k == com->intcno - 1);
    };
    for (std::size_t k = 0; k < input.vars.size(); ++k)
      if (input.vars[k].is_numeric() && !used(static_cast<int>(k)))
        lists.var.push_back(static_cast<int>(k));
  }
  com->nby = static_cast<int>(lists.by.size());
  com->nvar = static_cast<int>(lists.var.size());
  com->npar = static_cast<int>(lists.partial.size());
  com->ntot = com->nvar + com->npar;
  com->listno = 1;
  // The matrices of an analysis grow with the square of its variables and
  // the eigensolver with the cube: beyond this many, a request would take
  // tens of gigabytes or days, and is refused at once rather than left to
  // whatever the machine's memory allows.
  if (com->ntot > kMaxAnalysisVariables) {
    com->host->xpmlog(kHostGroup, msg::kTooManyVariables,
                      {"The analysis (VAR and PARTIAL variables together)",
                       std::to_string(com->ntot), std::to_string(kMaxAnalysisVariables)});
    factrc(com, kExitMemory);
    xexit(com->rc);
  }
}

// ---------------------------------------------------------------------------
// fact1_options, one group of options at a time.

namespace {

// METHOD=, NOBS=, and HYPVALUE= or the intervals of the standard errors.
void read_method_and_inference(COMSTR* com, const ParsedRecord& rec) {
  const double miss = com->miss;
  if (rec.has(F::kMethod))
    com->fmethod = rec[F::kMethod].code;
  else
    com->fmethod = std::string(com->dstype, 3) == "FAC" ? 10 : 1;
  com->usernobs = number_or(rec, F::kNobs, miss);
  const bool hyp = rec.has(F::kHypvalue);
  const bool onetail = rec.bit(B::kOnetail), twotail = rec.bit(B::kTwotail);
  com->alpha = miss;
  com->cover = 0;
  com->hypval = miss;
  if (hyp) {
    // A hypothesis test replaces the intervals.
    com->hypval = rec[F::kHypvalue].number;
    if (com->hypval == 0) {
      if (onetail) fact_msg(com, kMsgOnetailIgnored);
      fopt_set(com, kFoptTwoTail);
    } else if (twotail && !onetail) {
      fopt_set(com, kFoptTwoTail);
    } else {
      fopt_set(com, kFoptOneTail);
    }
  } else {
    double a = number_or(rec, F::kAlpha, miss);
    if (given(a) && a > 1) a /= 100;
    com->alpha = a;
    com->cover = number_or(rec, F::kCover, 0);
  }
}

// Rotation parameters, PREROTATE=, ROTATE= and the selection.
void read_rotation(COMSTR* com, const ParsedRecord& rec) {
  const double miss = com->miss;
  com->gamma = number_or(rec, F::kGamma, miss);
  com->tau = number_or(rec, F::kTau, miss);
  com->kvalue = number_or(rec, F::kPower, miss);
  com->hkpower = number_or(rec, F::kHkpower, miss);
  com->reps = number_or(rec, F::kRconverge, 1e-9);
  com->rmethod0 = rec.has(F::kPrerotate) ? rec[F::kPrerotate].code : kRotNotGiven;
  const std::vector<double>& pre = rec[F::kPrerotate].numbers;
  com->nprparm = static_cast<int>(pre.size());
  com->protparm = fact_alloc<double>(com, pre.size());
  if (!pre.empty()) std::copy(pre.begin(), pre.end(), com->protparm);
  RotationList list = rotation_list(rec[F::kRotate]);
  ParseRotation(list);
  if (int m = select_rotations(com, list)) fact_msg(com, m);
}

// PRIORS= as given, VARDEF=, NORM=, FUZZ= and SINGULAR=.
void read_priors_divisor_and_tolerances(COMSTR* com, const ParsedRecord& rec) {
  com->priortyp = rec.has(F::kPriors) ? rec[F::kPriors].code : 0;
  if (rec.has(F::kVardef))
    set_char8(com->vardef, rec[F::kVardef].text);
  else
    set_char8(com->vardef, "DF");
  com->normtype = rec.has(F::kNorm) ? rec[F::kNorm].code : 0;
  com->fuzz = number_or(rec, F::kFuzz, 0);
  com->singular = number_or(rec, F::kSingular, 1e-7);
}

// NFACTORS=, and MAP or parallel analysis when one of them decides it.
void read_number_of_factors(COMSTR* com, const ParsedRecord& rec) {
  const FieldValue& nf = rec[F::kNfactors];
  const bool nf_number = nf.given && !std::isnan(nf.number);
  com->nfactp = nf_number ? std::min(integer_or(rec, F::kNfactors, -99), com->nvar) : -99;
  // Said at once, since a step that stops at the correlations may show
  // nothing at all when no correlation output is asked for.
  if (com->nfactp == -1) fact_msg(com, kMsgCorrelationsOnly);
  const bool map2 = rec.bit(B::kNfMap2), map4 = rec.bit(B::kNfMap4);
  com->usepa = rec.bit(B::kNfParallel) ? 1 : 0;
  com->usemap = map4 ? 4 : map2 ? 2 : 0;
  if (map2 && map4) {
    fact_msg(com, kMsgMapBothForms);
    factrc(com, 3000);
  }
  if (com->usepa && com->usemap) {
    fact_msg(com, kMsgParallelAndMap);
    factrc(com, 3000);
  }
  const bool counted = nf_number || rec.has(F::kMineigen) || rec.has(F::kProportion);
  if (com->usepa) {
    if (counted) fact_msg(com, kMsgParallelDecides);
    com->calcpa = 1;
  }
  if (com->usemap) {
    if (counted) fact_msg(com, kMsgMapDecides);
    com->calcmap = 1;
  }
  if (!com->usepa) com->calcpa = rec.bit(B::kParallel) ? 1 : 0;
  if (!com->usemap) com->calcmap = rec.bit(B::kMap) ? 1 : 0;
  const bool aid_decides = com->usepa || com->usemap;
  com->maxfact = aid_decides || !nf_number ? com->nvar : std::max(0, com->nfactp);
  com->nfact = com->maxfact;
}

// MINEIGEN=, PROPORTION=, FLAG=, the iteration limits and the plot sizes.
void read_criteria_and_limits(COMSTR* com, const ParsedRecord& rec) {
  const double miss = com->miss;
  com->mineigp = number_or(rec, F::kMineigen, miss);
  com->percentp = number_or(rec, F::kProportion, miss);
  if (given(com->percentp) && com->percentp > 1) com->percentp /= 100;
  com->flag = number_or(rec, F::kFlag, 0);
  com->epsilon = number_or(rec, F::kConverge, 0.001);
  com->maxiter = integer_or(rec, F::kMaxiter, 30);
  com->nplot = integer_or(rec, F::kNplot, 0);
  // PLOTCHAR=n: 0 plots letters, n > 0 the first n characters of each name,
  // n < 0 the name without its first -n characters.
  com->plotchar = integer_or(rec, F::kPlotchar, 0);
  com->ritr = integer_or(rec, F::kRiter, std::max(100, 10 * com->nvar));
}

// The option bits as flags, and the flags other options imply.
void set_option_flags(COMSTR* com, const ParsedRecord& rec) {
  struct Copy {
    int bit;
    FoptBit flag;
  };
  static const Copy kCopies[] = {
      {B::kCov, kFoptCov},
      {B::kAll, kFoptAll},
      {B::kSimple, kFoptSimple},
      {B::kCorr, kFoptCorr},
      {B::kEigenvectors, kFoptEigenvectors},
      {B::kPrint, kFoptPrint},
      {B::kMsa, kFoptMsa},
      {B::kScore, kFoptScore},
      {B::kPlot, kFoptPlot},
      {B::kPreplot, kFoptPreplot},
      {B::kScree, kFoptScree},
      {B::kTest, kFoptTest},
      {B::kWeight, kFoptWeight},
      {B::kReorder, kFoptReorder},
      {B::kResiduals, kFoptResiduals},
      {B::kCount, kFoptCount},
      {B::kUltraHeywood, kFoptUltraHeywood},
      {B::kHeywood, kFoptHeywood},
      {B::kNocorr, kFoptNocorr},
      {B::kNoprint, kFoptNoprint},
      {B::kStderr, kFoptStderr},
      {B::kPlotref, kFoptPlotRef},
  };
  for (const Copy& c : kCopies)
    if (rec.bit(c.bit)) fopt_set(com, c.flag);
  if (rec.bit(B::kNoint)) {
    com->noint = 1;
    fopt_set(com, kFoptNoint);
    fact_msg(com, kMsgNoint);
  }
  if (fopt_test(com, kFoptOut)) fopt_set(com, kFoptScore);
  if (!fopt_test(com, kFoptPreplot)) {
    if (com->nplot > 1 || com->plotchar != 0) fopt_set(com, kFoptPlot);
    if (fopt_test(com, kFoptPlot) && !fopt_test(com, kFoptRotate)) fopt_set(com, kFoptPreplot);
  }
  if (rec.bit(B::kRound) || com->flag > 0) fopt_set(com, kFoptRound);
  const bool hyp = rec.has(F::kHypvalue);
  const bool intervals = !hyp && (rec.bit(B::kCover) || rec.has(F::kCover) || rec.has(F::kAlpha));
  if (intervals) {
    fopt_set(com, kFoptIntervals);
    if (!given(com->alpha)) com->alpha = 0.05;
  }
  if (hyp || intervals) fopt_set(com, kFoptStderr);
  if (!rec.bit(B::kNopromaxnorm)) fopt_set(com, kFoptPromaxNorm);
}

// PARPREFIX=, the prefix of the analysis variables' names in OUT= and
// OUTSTAT= when variables are partialled out.
void read_partial_prefix(COMSTR* com, const ParsedRecord& rec) {
  std::string prefix = rec.has(F::kParprefix) ? rec[F::kParprefix].text : "";
  if (prefix.empty()) prefix = "R_";
  prefix.resize(std::min(prefix.size(), sizeof com->parpfix));
  std::memset(com->parpfix, ' ', sizeof com->parpfix);
  std::memcpy(com->parpfix, prefix.data(), prefix.size());
  com->parpfix_l = static_cast<int>(prefix.size());
}

// The flags of one PLOTS= request; ALL only sets `all`.
void request_plot(COMSTR* com, int code, bool& all) {
  switch (code) {
    case kPlotScree:
      fopt_set(com, kFoptPlotScree);
      break;
    case kPlotLoadings:
      fopt_set(com, kFoptPlotLoadings);
      break;
    case kPlotInitLoadings:
      fopt_set(com, kFoptPlotInitLoadings);
      break;
    case kPlotPreLoadings:
      fopt_set(com, kFoptPlotPreLoadings);
      break;
    case kPlotPathDiagram:
      fopt_set(com, kFoptPathDiagram);
      break;
    case kPlotMap:
      fopt_set(com, kFoptPlotMap2);
      fopt_set(com, kFoptPlotMap4);
      com->calcmap = 1;
      break;
    case kPlotMap2:
      fopt_set(com, kFoptPlotMap2);
      com->calcmap = 1;
      break;
    case kPlotMap4:
      fopt_set(com, kFoptPlotMap4);
      com->calcmap = 1;
      break;
    case kPlotParallel:
      fopt_set(com, kFoptPlotParallel);
      com->calcpa = 1;
      break;
    case kPlotAll:
      all = true;
      break;
  }
}

// The graph rule: PLOTS= and a PATHDIAG statement ask for graphs, which are
// drawn only with printing and graphics on and without PLOTS=NONE.
void choose_graphs(COMSTR* com, const ParsedStep& parsed, bool noprint) {
  const FieldValue& plots = parsed.proc[F::kPlots];
  std::size_t pd_at = 0;
  const bool pd_statement =
      findstmt("PATHDIAG", nullptr, parsed.statements, 0, &pd_at, 0, nullptr, 0) == 1;
  const bool requested = !plots.items.empty() || pd_statement;
  for (FoptBit b : {kFoptPlotScree, kFoptPlotLoadings, kFoptPlotInitLoadings, kFoptPlotPreLoadings,
                    kFoptPathDiagram, kFoptPlotMap2, kFoptPlotMap4, kFoptPlotParallel})
    fopt_clear(com, b);
  if (!requested) return;
  bool none = std::any_of(plots.items.begin(), plots.items.end(),
                          [](const ListItem& it) { return it.code == kPlotNone; });
  if (noprint) {
    com->host->xpmlog(kGraphGroup, kMsgGraphsNoprint);
  } else if (none) {
    com->host->xpmlog(kGraphGroup, kMsgGraphsNone);
  } else if (!com->graphics) {
    com->host->xpmlog(kGraphGroup, kMsgGraphicsOff);
  } else {
    bool all = false;
    if (pd_statement) fopt_set(com, kFoptPathDiagram);
    for (const ListItem& it : plots.items) request_plot(com, it.code, all);
    if (all) {
      // ALL draws what is computed anyway; it does not start MAP or
      // parallel analysis by itself.
      for (FoptBit b : {kFoptPlotScree, kFoptPlotLoadings, kFoptPlotInitLoadings,
                        kFoptPlotPreLoadings, kFoptPathDiagram})
        fopt_set(com, b);
      if (com->calcmap) {
        fopt_set(com, kFoptPlotMap2);
        fopt_set(com, kFoptPlotMap4);
      }
      if (com->calcpa) fopt_set(com, kFoptPlotParallel);
    }
  }
}

// Parallel analysis.  PARALLEL(...) gives the options, and
// NFACTORS=PARALLEL(...) overrides what it repeats.
void read_parallel_analysis(COMSTR* com, const ParsedRecord& rec) {
  com->alphapa = 0.05;
  com->nsimspa = 1000;
  com->pa_seed = 0;
  if (!com->calcpa) return;
  const FieldValue& nf = rec[F::kNfactors];
  double seed_value = com->miss;
  for (const FieldValue* f : {&rec[F::kParallel], &nf}) {
    if (!f->sub) continue;
    const ParsedRecord& pa = *f->sub;
    if (f == &nf && nf.code != kNfParallel) continue;
    com->alphapa = number_or(pa, PA::kAlpha, com->alphapa);
    com->nsimspa = integer_or(pa, PA::kNsims, com->nsimspa);
    seed_value = number_or(pa, PA::kSeed, seed_value);
  }
  com->pa_seed = fact_seed(seed_value);
  zranms(com, com->pa_seed, 1);
  if (!(com->alphapa > 0 && com->alphapa < 1)) {
    fact_msg(com, kMsgParallelAlpha);
    factrc(com, 3000);
  } else {
    double k = std::floor((com->nsimspa + 1.0) * (1.0 - com->alphapa));
    if (k < 1 || k >= com->nsimspa) {
      fact_msg(com, kMsgParallelNoCritical);
      factrc(com, 3000);
    }
  }
}

void drop_map_plots(COMSTR* com) {
  com->calcmap = 0;
  fopt_clear(com, kFoptPlotMap2);
  fopt_clear(com, kFoptPlotMap4);
}

// Aids that the method cannot serve, and MAP with a single variable.
void drop_aids_method_cannot_serve(COMSTR* com) {
  const int m = com->fmethod;
  if (m == 9 || m == 10 || m == 11) {
    const char* method = fact_method_name(m);
    if (com->usemap) {
      fact_msg(com, kMsgAidMethodDecides, {com->usemap == 4 ? "MAP4" : "MAP2", method});
      factrc(com, 3000);
      xexit(com->rc);
    }
    if (com->usepa) {
      fact_msg(com, kMsgAidMethodDecides, {"PARALLEL", method});
      factrc(com, 3000);
      xexit(com->rc);
    }
    if (com->calcmap) {
      fact_msg(com, kMsgAidMethodIgnored, {"MAP", method});
      drop_map_plots(com);
    }
    if (com->calcpa) {
      fact_msg(com, kMsgAidMethodIgnored, {"PARALLEL", method});
      com->calcpa = 0;
      fopt_clear(com, kFoptPlotParallel);
    }
  }
  if (com->calcmap && com->nvar == 1) {
    if (com->usemap) {
      fact_msg(com, kMsgMapNeedsTwo);
      factrc(com, 3000);
    } else {
      fact_msg(com, kMsgMapNotComputed);
      drop_map_plots(com);
    }
  }
}

// The flags that follow from the method and the other flags: weighted
// variables, default printing of a read solution, ALL, and whether the
// correlation matrix is kept.
void derive_flags(COMSTR* com) {
  const int m = com->fmethod;
  const bool raw = fopt_test(com, kFoptRawData);
  if (fopt_test(com, kFoptCov) || fopt_test(com, kFoptWeight) || (m >= 4 && m <= 8))
    fopt_set(com, kFoptVarWeights);
  if ((m == 10 || m == 11) && !(fopt_test(com, kFoptRotate) || fopt_test(com, kFoptCount) ||
                                fopt_test(com, kFoptScore) || fopt_test(com, kFoptPlot) ||
                                fopt_test(com, kFoptPreplot) || fopt_test(com, kFoptResiduals)))
    fopt_set(com, kFoptPrint);
  if (fopt_test(com, kFoptAll)) {
    for (FoptBit b : {kFoptEigenvectors, kFoptPrint, kFoptScore, kFoptResiduals}) fopt_set(com, b);
    if (raw)
      for (FoptBit b : {kFoptSimple, kFoptCorr, kFoptMsa}) fopt_set(com, b);
  }
  const bool outstat_corr = fopt_test(com, kFoptOutstat) && !fopt_test(com, kFoptNocorr);
  const bool pattern_without_corr = m == 10 && !fopt_test(com, kFoptCorr) &&
                                    !fopt_test(com, kFoptMsa) && !fopt_test(com, kFoptScore) &&
                                    !fopt_test(com, kFoptResiduals) && !outstat_corr;
  if (!pattern_without_corr) fopt_set(com, kFoptKeepCorr);
}

// The prior communalities: a list of values must give one per variable,
// the default follows the method, and Harris and image analysis need SMC.
void settle_priors(COMSTR* com, const ParsedRecord& rec) {
  const int m = com->fmethod;
  const FieldValue& pr = rec[F::kPriors];
  if (pr.given && pr.code == 0) {
    com->priortyp = 7;
    if (static_cast<int>(pr.numbers.size()) != com->nvar) {
      fact_msg(com, kMsgPriorsCount);
      factrc(com, 3000);
    }
  }
  if (com->priortyp == 0) com->priortyp = (m == 1 || m == 3) ? 5 : 1;
  if ((m == 8 || m == 9) && com->priortyp != 1) {
    fact_msg(com, kMsgPriorsNeedSmc, {prior_name(com->priortyp), fact_method_name(m)});
    factrc(com, 2000);
  }
}

// Options that do not fit the method: noted, and dropped where they cannot apply.
void drop_options_method_cannot_honour(COMSTR* com) {
  const int m = com->fmethod;
  if (m == 9 && fopt_test(com, kFoptMsa)) fact_msg(com, kMsgImageMsa);
  if (fopt_test(com, kFoptStderr) && m != 5) {
    fact_msg(com, kMsgStderrNeedsMl);
    fopt_clear(com, kFoptStderr);
  }
  if (fopt_test(com, kFoptUltraHeywood) && fopt_test(com, kFoptHeywood)) {
    fact_msg(com, kMsgHeywoodBoth);
    fopt_clear(com, kFoptUltraHeywood);
  }
}

// The options against the input: what raw data cannot give, and the
// variables a FACTOR data set must have.
void check_options_against_input(COMSTR* com) {
  const int m = com->fmethod;
  const std::string dstype = trimmed(com->dstype, sizeof(char8));
  if (fopt_test(com, kFoptWeight) && (m == 4 || m == 5 || m == 6 || m == 8 || m == 10 || m == 11)) {
    fact_msg(com, kMsgWeightOptionMethod, {fact_method_name(m)});
    factrc(com, 2000);
  }
  if (fopt_test(com, kFoptRawData)) {
    const std::string shown = dstype.empty() ? "DATA" : dstype;
    if (com->priortyp == 2) {
      fact_msg(com, kMsgPriorsInputRaw, {shown});
      factrc(com, 2000);
    }
    if (fopt_test(com, kFoptWeight)) {
      fact_msg(com, kMsgWeightOptionRaw, {shown});
      factrc(com, 2000);
    }
    if (m == 10 || m == 11) {
      fact_msg(com, kMsgSolutionInputRaw, {shown});
      factrc(com, 2000);
    }
  }
  if (dstype == "FACTOR") {
    if (com->nameno == 0) {
      fact_msg(com, kMsgFactorInputNoVar, {"_NAME_"});
      factrc(com, 1008);
    }
    if (com->typeno == 0) {
      fact_msg(com, kMsgFactorInputNoVar, {"_TYPE_"});
      factrc(com, 1008);
    }
  }
}

}  // namespace

void fact1_options(COMSTR* com, const ParsedStep& parsed) {
  const ParsedRecord& rec = parsed.proc;
  read_method_and_inference(com, rec);
  read_rotation(com, rec);
  read_priors_divisor_and_tolerances(com, rec);
  read_number_of_factors(com, rec);
  read_criteria_and_limits(com, rec);
  // The seed is recorded for later steps.
  com->seed = fact_seed(number_or(rec, F::kRandom, com->miss));
  zranms(com, com->seed, 1);
  set_option_flags(com, rec);
  read_partial_prefix(com, rec);
  // The output object is opened by factoin when printing is on; graphics
  // follow the output layer's switch.
  const bool noprint = fopt_test(com, kFoptNoprint);
  factoin(com);
  choose_graphs(com, parsed, noprint);
  read_parallel_analysis(com, rec);
  drop_aids_method_cannot_serve(com);
  derive_flags(com);
  settle_priors(com, rec);
  drop_options_method_cannot_honour(com);
  check_options_against_input(com);
}

namespace {

using U = std::uint64_t;

// The arrays of one BY group, sized by the variables, the most factors and
// the method; PRIORS= values are copied in.
void allocate_arrays(COMSTR* com, const ParsedRecord& rec) {
  const U nvar = static_cast<U>(com->nvar), ntot = static_cast<U>(com->ntot),
          maxfact = static_cast<U>(com->maxfact);
  const int m = com->fmethod;

  double* block = fact_alloc<double>(com, 3 * nvar + 2 * ntot);
  if (block) {
    com->vmean = block;
    com->vstd = block + ntot;
    com->wt = block + 2 * ntot;
    com->communal = com->wt + nvar;
    com->eigval = com->communal + nvar;
  }
  if (fopt_test(com, kFoptOut)) {
    com->omean = fact_alloc<double>(com, ntot);
    com->ostd = fact_alloc<double>(com, ntot);
  }
  com->priors = fact_alloc<double>(com, nvar);
  const FieldValue& pr = rec[F::kPriors];
  if (com->priortyp == 7 && pr.numbers.size() == nvar)
    std::copy(pr.numbers.begin(), pr.numbers.end(), com->priors);
  if (com->calcpa || com->calcmap) {
    double* aids = fact_alloc<double>(com, 3 * nvar);
    com->evalstd = aids;
    com->evalpa = aids ? aids + nvar : nullptr;
    com->aveevalpa = aids ? aids + 2 * nvar : nullptr;
  }
  if (com->calcmap) {
    com->fmap2 = fact_alloc<double>(com, nvar);
    com->fmap4 = fact_alloc<double>(com, nvar);
  }
  if (fopt_test(com, kFoptKeepCorr)) com->cor = fact_alloc<double>(com, ntot * (ntot + 1) / 2);
  const U fact_cols = (m == 2 || m == 5 || m == 6 || m == 7) ? nvar : maxfact;
  com->fact = fact_alloc<double>(com, nvar * fact_cols);
  com->ufact = fact_alloc<double>(com, nvar * fact_cols);
  if (fopt_test(com, kFoptRotate)) com->tran = fact_alloc<double>(com, maxfact * maxfact);
  if (fopt_test(com, kFoptScore)) com->score = fact_alloc<double>(com, nvar * maxfact);
  com->datax = fact_alloc<double>(com, std::max(ntot, 10 * nvar));
  if (fopt_test(com, kFoptOblique)) {
    com->struc = fact_alloc<double>(com, maxfact * nvar);
    com->ref = fact_alloc<double>(com, maxfact * nvar);
    com->fcor = fact_alloc<double>(com, maxfact * (maxfact + 1) / 2);
    com->rcor = fact_alloc<double>(com, maxfact * (maxfact + 1) / 2);
    com->dinv = fact_alloc<double>(com, maxfact);
    for (U j = 0; j < maxfact; ++j)
      com->fcor[j * (j + 1) / 2 + j] = com->rcor[j * (j + 1) / 2 + j] = 1;
  }
  com->perm = fact_alloc<int>(com, nvar);
  for (U k = 0; k < nvar; ++k) com->perm[k] = static_cast<int>(k);
}

// Score-variable names: a prefix and the factor number, fitted to one
// width.
void make_score_names(COMSTR* com, const ParsedRecord& rec, FACT1LISTS& lists) {
  const U nvar = static_cast<U>(com->nvar), maxfact = static_cast<U>(com->maxfact);
  const int m = com->fmethod;
  lists.score_names.clear();
  if (m == 10 || m == 11 || maxfact == 0) return;
  std::string prefix = rec.has(F::kPrefix) ? rec[F::kPrefix].text : "";
  if (prefix.empty()) prefix = (com->v6bit && maxfact >= 100) ? "Fact" : "Factor";
  const int digits = static_cast<int>(std::to_string(maxfact).size());
  com->fname_l =
      com->v6bit ? 8 : std::max(8, digits + std::max(6, static_cast<int>(prefix.size())));
  com->fname_l = std::min(com->fname_l, 32);
  com->fname = fact_alloc<char>(com, static_cast<U>(com->fname_l) * std::max(nvar, maxfact));
  for (U j = 0; j < maxfact; ++j) {
    std::string number = std::to_string(j + 1);
    std::size_t room = static_cast<std::size_t>(com->fname_l) - number.size();
    std::string name = prefix.substr(0, std::min(prefix.size(), room)) + number;
    lists.score_names.push_back(name);
    char* dst = com->fname + j * static_cast<U>(com->fname_l);
    std::memset(dst, ' ', static_cast<std::size_t>(com->fname_l));
    std::memcpy(dst, name.data(), name.size());
  }
}

}  // namespace

void fact1_arrays(COMSTR* com, const ParsedStep& parsed, const DataSetHeader& input,
                  FACT1LISTS& lists) {
  const ParsedRecord& rec = parsed.proc;
  const U ntot = static_cast<U>(com->ntot);
  allocate_arrays(com, rec);

  // The combined list puts the partial variables after the analysis
  // variables, so everything indexed by variable walks one list.
  if (!lists.partial.empty()) {
    lists.combined = lists.var;
    lists.combined.insert(lists.combined.end(), lists.partial.begin(), lists.partial.end());
    com->listno = 9;
  } else {
    com->listno = 1;
  }

  // Names and labels.
  const std::vector<int>& vars = lists.analysis();
  longlname* names = fact_alloc<longlname>(com, 2 * ntot);
  com->vname = names;
  com->vnamer = names ? names + ntot : nullptr;
  com->maxnam = com->maxlab = 0;
  for (std::size_t k = 0; k < vars.size(); ++k) {
    const Variable& v = input.vars[static_cast<std::size_t>(vars[k])];
    set_longlname(com->vname[k], v.name);
    set_longlname(com->vnamer[k], v.name);
    com->maxnam = std::max(com->maxnam, static_cast<int>(v.name.size()));
    com->maxlab = std::max(com->maxlab, static_cast<int>(v.label.size()));
  }

  make_score_names(com, rec, lists);

  // What the readers read.
  lists.read = vars;
  if (!fopt_test(com, kFoptRawData)) {
    if (com->typeno > 0) lists.read.push_back(com->typeno - 1);
    if (com->nameno > 0) lists.read.push_back(com->nameno - 1);
  }
}

void fact1_target(COMSTR* com, const DataSetHeader& input, const DataSetHeader& target,
                  const FACT1LISTS& lists) {
  // Each variable the target lacks, or holds as text, is named.
  for (int k : lists.var) {
    const std::string& name = input.vars[static_cast<std::size_t>(k)].name;
    int t = target.find(name);
    if (t < 0) {
      fact_msg(com, kMsgTargetNoVar, {name});
      factrc(com, 1008);
    } else if (!target.vars[static_cast<std::size_t>(t)].is_numeric()) {
      fact_msg(com, kMsgTargetCharacter, {name});
      factrc(com, 1008);
    }
  }
  // The target either has every BY variable of the input, and its groups
  // are kept in step with the input's (targbyrc 0), or none, and serves every
  // group (1); anything in between cannot be matched.
  std::size_t found = 0;
  bool kinds = true;
  for (int k : lists.by) {
    const Variable& v = input.vars[static_cast<std::size_t>(k)];
    int t = target.find(v.name);
    if (t < 0) continue;
    ++found;
    if (target.vars[static_cast<std::size_t>(t)].kind != v.kind) kinds = false;
  }
  com->targbyrc = found == lists.by.size() ? 0 : 1;
  if ((found != 0 && found != lists.by.size()) || !kinds) {
    fact_msg(com, kMsgTargetBy);
    factrc(com, 1008);
  }
  if (lists.by.empty()) com->targbyrc = 1;
  fact_checkpoint(com);
}

void fact1_outputs(COMSTR* com, const DataSetHeader& input, FACT1LISTS& lists) {
  lists.out_copy.clear();
  if (!fopt_test(com, kFoptOut)) return;
  if (!fopt_test(com, kFoptRawData)) {
    fact_msg(com, kMsgOutNeedsRaw);
    factrc(com, 2000);
    fopt_clear(com, kFoptOut);
    return;
  }
  if (com->nfactp == -99) {
    fact_msg(com, kMsgOutNeedsNfactors);
    factrc(com, 2000);
    fopt_clear(com, kFoptOut);
    return;
  }
  for (std::size_t k = 0; k < input.vars.size(); ++k) {
    const std::string& name = input.vars[k].name;
    bool clash = std::any_of(lists.score_names.begin(), lists.score_names.end(),
                             [&](const std::string& s) { return same_name(s, name); });
    if (clash)
      fact_msg(com, kMsgOutNameClash, {name});
    else
      lists.out_copy.push_back(static_cast<int>(k));
  }
}

int fact1_threads(COMSTR* com, const ParsedStep& parsed, bool* usermt) {
  const double asked = number_or(parsed.proc, F::kNthreads, 0);
  if (usermt) *usermt = asked > 0;
  if (asked > 0) return static_cast<int>(std::min<double>(asked, 1 << 20));
  const SystemOptions& o = com->host->options();
  if (o.threads) return std::max(1, o.cpucount);
  return 1;
}

void fact1_thread_note(COMSTR* com, const ParsedStep& parsed, int actual) {
  const double asked = number_or(parsed.proc, F::kNthreads, 0);
  if (asked > 0 && asked > actual)
    fact_msg(com, kMsgThreadsAvailable,
             {std::to_string(static_cast<long long>(asked)), std::to_string(actual)});
}

void fact1_final_check(COMSTR* com) {
  if (com->nvar <= 0) {
    fact_msg(com, kMsgNoVariables);
    factrc(com, 1008);
  }
  fact_checkpoint(com);
}

}  // namespace kav
