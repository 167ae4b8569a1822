#include "factor/output/matrix_printer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/state/factmsg.h"
#include "factor/state/status.h"
#include "host/format.h"
#include "host/log.h"
#include "host/output.h"
#include "host/services.h"
#include "host/value.h"

namespace kav {

namespace {

// What a matrix is decides how it may be shown.
struct DisplayRules {
  bool reorder = false;  // REORDER may sort its rows
  bool rounded = false;  // ROUND and FLAG= may apply
  double fuzz = 0;       // values below this are hidden
};

DisplayRules display_rules(const COMSTR* com, const double* x, const std::string& name) {
  DisplayRules r;
  const bool round_on = fopt_test(com, kFoptRound);
  const bool reorder_on = fopt_test(com, kFoptReorder);
  if (x == com->fact || x == com->struc || x == com->ref) {
    r.reorder = reorder_on;
    r.rounded = round_on;
    // Eigenvectors are not loadings; hiding their small entries would hide
    // the structure the user asked to see.
    r.fuzz = name == "Eigenvectors" ? 0 : com->fuzz;
  } else if (x == com->score) {
    r.reorder = reorder_on;
  } else if (x == com->cor) {
    r.rounded = round_on;
    // Partial and residual correlations run smaller than the correlations
    // themselves, so they are hidden below a smaller threshold.
    if (name == "Corr")
      r.fuzz = com->fuzz;
    else if (name == "PartialCorr" || name == "ParCorrControlVar" || name == "ParCorrControlFactor")
      r.fuzz = com->fuzz / 2;
    else if (name == "ResCorrUniqueDiag")
      r.fuzz = com->fuzz / 4;
  } else if (x == com->fcor || x == com->rcor) {
    r.rounded = round_on;
  }
  if (!(r.fuzz > 0)) r.fuzz = 0;
  return r;
}

std::vector<std::string> label_texts(const COMSTR* com, char kind, int n) {
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(std::max(n, 0)));
  for (int k = 0; k < n; ++k) {
    switch (kind) {
      case kLabelVariables:
        out.push_back(factvnam(com, k));
        break;
      case kLabelFactors:
        out.push_back(factfnam(com, k));
        break;
      default:
        out.push_back(trim_blanks(format_integer(k + 1, 8)));
        break;
    }
  }
  return out;
}

const char* label_column_name(char kind) {
  switch (kind) {
    case kLabelVariables:
      return "Variable";
    case kLabelFactors:
      return "Factor";
    default:
      return "Number";
  }
}

// A double buffer from the step's pool, given back when the call ends.
class PoolDoubles {
 public:
  PoolDoubles(COMSTR* com, std::uint64_t count)
      : com_(com), data_(count ? factalloc_doubles(com, count) : nullptr) {}
  ~PoolDoubles() {
    if (data_) com_->host->pool().release(data_);
  }
  PoolDoubles(const PoolDoubles&) = delete;
  PoolDoubles& operator=(const PoolDoubles&) = delete;
  double* get() const { return data_; }

 private:
  COMSTR* com_;
  double* data_;
};

// Reads elements of a matrix in its storage.
struct MatrixView {
  COMSTR* com;
  char type;
  const double* data;
  int n, m;
  double operator()(int i, int j) const { return data[nsub(com, type, i, j, n, m)]; }
};

// The test statistic of HYPVALUE= for an estimate x with standard error s.
// The hypothesis is about the size of the estimate, so it is tested on the
// side of x's sign.
double test_z(double x, double s, double hypval) {
  if (is_missing(s) || s < 0 || is_missing(x)) return missing_value();
  return x > 0 ? (x - hypval) / s : (x + hypval) / s;
}

double test_p(double x, double z, bool one_tailed) {
  if (is_missing(z)) return missing_value();
  if (!one_tailed) return std::erfc(std::fabs(z) / std::sqrt(2.0));
  return x > 0 ? 1 - factncdf(z) : factncdf(z);
}

struct Limits {
  double lower, upper;
};

// Confidence limits: symmetric for the loadings of an oblique solution,
// otherwise through Fisher's transformation, which keeps a correlation's
// limits inside [-1, 1].
Limits conf_limits(double x, double s, double q, bool symmetric) {
  const double m = missing_value();
  if (is_missing(s) || !(s > 0) || is_missing(x)) return {m, m};
  if (symmetric) return {x - q * s, x + q * s};
  if (std::fabs(x - 1) < 1e-8 || std::fabs(x + 1) < 1e-8) return {m, m};
  const double a = (1 + x) / (1 - x);
  const double e = std::exp(2 * q * s / (1 - x * x));
  return {(a / e - 1) / (a / e + 1), (a * e - 1) / (a * e + 1)};
}

// The rounded display of one element: a whole percentage, never -0.
double rounded_value(double x) {
  constexpr double kLargest = 1.7976931348623156e306;
  double v =
      std::fabs(x) < kLargest ? 100 * x : std::copysign(std::numeric_limits<double>::max(), x);
  if (v > -0.5 && v < 0) v = 0;
  return v;
}

// What factm2 shows of one matrix: its values (reordered when REORDER
// applies), the labels and titles, and the display rules.
struct Shown {
  std::string name, path, label;
  std::vector<std::string> title, rowlab, rowtext, collab;
  bool with_labels = false;
  DisplayRules rules;
  MatrixView est{}, err{};
  int nrow = 0, ncol = 0;
  char rowkind = kLabelVariables, colkind = kLabelFactors;
};

// Rows in REORDER's order: copies of the values and standard errors whose
// row k is row perm(k); labels and standard errors follow the rows.
void reorder_rows(COMSTR* com, Shown& s, double* xcopy, double* secopy, bool with_se) {
  const int nrow = s.nrow, ncol = s.ncol;
  if (nrow != com->nvar || !com->perm) {
    factrc(com, kExitInternal);
    xexit(com->rc, 0);
  }
  std::vector<std::string> lab2(s.rowlab.size()), text2(s.rowtext.size());
  for (int k = 0; k < nrow; ++k) {
    const int from = com->perm[k];
    for (int j = 0; j < ncol; ++j) {
      const std::size_t to = static_cast<std::size_t>(k) + static_cast<std::size_t>(j) * nrow;
      xcopy[to] = s.est(from, j);
      if (with_se) secopy[to] = s.err(from, j);
    }
    lab2[static_cast<std::size_t>(k)] = s.rowlab[static_cast<std::size_t>(from)];
    if (s.with_labels)
      text2[static_cast<std::size_t>(k)] = s.rowtext[static_cast<std::size_t>(from)];
  }
  s.rowlab.swap(lab2);
  s.rowtext.swap(text2);
  s.est = MatrixView{com, kStoreColumn, xcopy, nrow, ncol};
  s.err = MatrixView{com, kStoreColumn, secopy, nrow, ncol};
}

std::vector<std::string> matrix_title(COMSTR* com, int titleno, const std::string& name) {
  std::vector<std::string> title;
  if (titleno > 0) {
    title.push_back(factitle(com, titleno));
    return title;
  }
  // Matrices whose title is not a catalogue text still need one to be read
  // in a listing.
  static const std::pair<const char*, const char*> kTitles[] = {
      {"FactorPattern", "Factor Pattern"},
      {"Corr", "Correlations"},
      {"PartialCorr", "Partial Correlations Controlling for the Partial Variables"},
      {"CondStdDev", "Standard Deviations Conditional on the Partial Variables"},
      {"Eigenvectors", "Eigenvectors"},
      {"InvCorr", "Inverse Correlation Matrix"},
      {"ParCorrControlVar", "Partial Correlations Controlling All Other Variables"},
  };
  for (const auto& [table, text] : kTitles)
    if (name == table) title.push_back(text);
  return title;
}

// The matrix as it is, row by row, without its title.
MatrixSpec plain_spec(const Shown& s) {
  MatrixSpec spec;
  spec.name = s.name;
  spec.label = s.label;
  spec.template_path = s.path;
  spec.storage = MatrixStorage::RowMajor;
  spec.rows = s.nrow;
  spec.columns = s.ncol;
  spec.data.resize(static_cast<std::size_t>(s.nrow) * static_cast<std::size_t>(s.ncol));
  for (int i = 0; i < s.nrow; ++i)
    for (int j = 0; j < s.ncol; ++j)
      spec.data[static_cast<std::size_t>(i) * s.ncol + static_cast<std::size_t>(j)] = s.est(i, j);
  spec.row_labels = s.rowlab;
  spec.column_labels = s.collab;
  spec.row_label_column = label_column_name(s.rowkind);
  return spec;
}

// The notes that say what the stacked rows are.
void add_stack_notes(COMSTR* com, std::vector<std::string>& title, bool hyp, bool conf,
                     bool one_tailed, bool with_coverage) {
  if (hyp) {
    const char* relation = one_tailed ? "<=" : "=";
    title.push_back(
        format_message(kFactorGroup, kMsgSeHypothesis, {relation, factnum(com->hypval)}));
  } else if (conf) {
    title.push_back(
        format_message(kFactorGroup, kMsgSeConfidence, {factnum(100 * (1 - com->alpha))}));
    if (with_coverage && com->cover != 0)
      title.push_back(
          format_message(kFactorGroup, kMsgSeCoverage, {" |*| = ", factnum(com->cover)}));
  } else {
    title.push_back(format_message(kFactorGroup, kMsgSeOnly, {}));
  }
}

// Estimates with their standard errors stacked under each, then the test of
// HYPVALUE= (T and P) or the confidence limits (L and U) and their coverage.
void add_stacked_table(COMSTR* com, MatrixSpec spec, const Shown& s, const double* se) {
  const auto rows = static_cast<std::size_t>(s.nrow), cols = static_cast<std::size_t>(s.ncol);
  const std::vector<Row> empty(rows, Row(cols));
  Stack serr{"StdErr", empty};
  const bool hyp = !is_missing(com->hypval);
  const bool conf = !hyp && !is_missing(com->alpha);
  const bool one_tailed = fopt_test(com, kFoptOneTail);
  const bool factor_corr = se == com->fcorse;
  const bool symmetric = se == com->factse && fopt_test(com, kFoptOblique);
  const bool with_coverage = conf && !factor_corr;
  const double q = conf ? -factnqnt(com->alpha / 2) : 0;
  Stack first{hyp ? "T" : "L", empty}, second{hyp ? "P" : "U", empty};
  Stack coverage{"Coverage", with_coverage ? empty : std::vector<Row>()};
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) {
      const double v = s.est(static_cast<int>(i), static_cast<int>(j));
      const double e = s.err(static_cast<int>(i), static_cast<int>(j));
      serr.rows[i][j] = e;
      if (hyp) {
        const double z = test_z(v, e, com->hypval);
        first.rows[i][j] = z;
        second.rows[i][j] = test_p(v, z, one_tailed);
      } else if (conf) {
        const Limits l = conf_limits(v, e, q, symmetric);
        first.rows[i][j] = l.lower;
        second.rows[i][j] = l.upper;
        if (with_coverage)
          coverage.rows[i][j] = std::string(factcov(v, l.lower, l.upper, com->cover));
      }
    }
  }
  spec.title = s.title;
  add_stack_notes(com, spec.title, hyp, conf, one_tailed, with_coverage);
  Table t = matrix_table(spec);
  // The coverage display is one more sub-matrix: each element's text
  // stands in that element's cell stack, after its limits.
  t.stacks.push_back(std::move(serr));
  if (hyp || conf) {
    t.stacks.push_back(std::move(first));
    t.stacks.push_back(std::move(second));
  }
  if (with_coverage) t.stacks.push_back(std::move(coverage));
  factoadd(com, std::move(t));
}

// The matrix as it is, with the variables' labels beside their names.
void add_plain_table(COMSTR* com, MatrixSpec spec, const Shown& s) {
  spec.title = s.title;
  Table t = matrix_table(spec);
  // A lone numbered column (one value per variable, such as the
  // conditional standard deviations) is described by the title; a "1" over
  // it would only puzzle.  An eigenvector keeps its number.
  if (s.colkind == kLabelNumbers && s.ncol == 1 && s.name != "Eigenvectors")
    t.columns.back().header = std::string();
  if (s.with_labels) {
    Column c;
    c.name = "Label";
    c.kind = ColumnKind::Text;
    c.header = "Label";
    t.columns.insert(t.columns.begin() + 1, c);
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
      Row& r = t.rows[i];
      r.resize(r.size() + 1);
      std::rotate(r.begin() + 1, r.end() - 1, r.end());
      r[1] = s.rowtext[i];
    }
  }
  factoadd(com, std::move(t));
}

// FLAG= or, when not given, the root mean square of the values.
double flag_threshold(const COMSTR* com, const Shown& s) {
  double flag = com->flag;
  if (s.rules.rounded && !(flag > 0)) {
    double sum = 0;
    for (int i = 0; i < s.nrow; ++i)
      for (int j = 0; j < s.ncol; ++j) {
        const double v = s.est(i, j);
        if (!is_missing(v)) sum += v * v;
      }
    const std::uint64_t cells =
        static_cast<std::uint64_t>(s.nrow) * static_cast<std::uint64_t>(s.ncol);
    flag = std::sqrt(sum / static_cast<double>(cells));
  }
  return flag;
}

// The columns of the rounded or fuzzed display: the shown value of each
// column (with its flag when rounded), then the original values hidden.
void add_flagged_columns(Table& t, const Shown& s) {
  // The row labels go without a header, as in the plain form of the matrix.
  t.add_column("Variable", ColumnKind::Text, std::string());
  if (s.with_labels) t.add_column("Label", ColumnKind::Text, std::string("Label"));
  for (const std::string& c : s.collab) {
    if (s.rules.rounded) {
      Column& v = t.add_column("R" + c, ColumnKind::Number, c, fixed_format(6, 0));
      v.template_column = "RoundFuzzVal";
      Column& f = t.add_column("Fg" + c, ColumnKind::Text, std::string());
      f.template_column = "Flag";
      f.adjoins = true;  // the mark belongs to the value before it
    } else {
      Column& v = t.add_column("Fz" + c, ColumnKind::Number, c, fixed_format(12, 5));
      v.template_column = "RoundFuzzVal";
    }
  }
  for (const std::string& c : s.collab) {
    Column& o = t.add_column(c, ColumnKind::Number, c);
    o.template_column = "OriginalVal";
    o.hidden = true;
  }
}

// The rounded (ROUND, FLAG=) or fuzzed (FUZZ=) display.
void add_flagged_table(COMSTR* com, const Shown& s) {
  const DisplayRules& rules = s.rules;
  const double flag = flag_threshold(com, s);
  Table t;
  t.name = s.name;
  t.label = s.label;
  t.template_path = s.path + "Flag";
  t.title = s.title;
  t.row_labels_first = true;
  t.dynamics.push_back({"Required", static_cast<double>(s.nrow)});
  if (rules.rounded && rules.fuzz == 0)
    t.footnotes.push_back(format_message(kFactorGroup, kMsgFootFlag, {factnum(flag)}));
  else if (rules.rounded)
    t.footnotes.push_back(
        format_message(kFactorGroup, kMsgFootFlagFuzz, {factnum(flag), factnum(rules.fuzz)}));
  else
    t.footnotes.push_back(format_message(kFactorGroup, kMsgFootFuzz, {factnum(rules.fuzz)}));
  add_flagged_columns(t, s);
  // Rows are sized first and filled by position: one cell per column.
  const std::size_t first_value = s.with_labels ? 2 : 1;
  const std::size_t per_column = rules.rounded ? 2 : 1;
  const std::size_t first_original = first_value + per_column * static_cast<std::size_t>(s.ncol);
  for (int i = 0; i < s.nrow; ++i) {
    Row row(t.columns.size());
    row[0] = s.rowlab[static_cast<std::size_t>(i)];
    if (s.with_labels) row[1] = s.rowtext[static_cast<std::size_t>(i)];
    for (int j = 0; j < s.ncol; ++j) {
      const double v = s.est(i, j);
      const bool hidden = is_missing(v) || std::fabs(v) < rules.fuzz;
      const std::size_t at = first_value + per_column * static_cast<std::size_t>(j);
      if (rules.rounded) {
        row[at] = hidden ? missing_value() : rounded_value(v);
        row[at + 1] = std::string(!is_missing(v) && std::fabs(v) > flag ? "*" : " ");
      } else {
        row[at] = hidden ? missing_value() : v;
      }
      row[first_original + static_cast<std::size_t>(j)] = v;
    }
    t.add_row(std::move(row));
  }
  factoadd(com, std::move(t));
}

}  // namespace

std::int64_t nsub(COMSTR* com, char type, int i, int j, int n, int m) {
  switch (type) {
    case kStoreColumn:
      return static_cast<std::int64_t>(i) + static_cast<std::int64_t>(j) * n;
    case kStoreRow:
      return static_cast<std::int64_t>(j) + static_cast<std::int64_t>(i) * m;
    case kStoreSymmetric: {
      const std::int64_t a = std::max(i, j), b = std::min(i, j);
      return b + a * (a + 1) / 2;
    }
    default:
      break;
  }
  if (com && com->host && com->host->debug_on("factmp")) {
    char text[64];
    std::snprintf(text, sizeof text, "factmp: invalid type = %c.", type);
    com->host->log().text(Severity::Note, text);
  }
  return 0;
}

void factprm(COMSTR* com, const double* loadings) {
  const int p = com->nvar, nf = com->nfact;
  if (!com->perm || p <= 0) return;
  std::vector<int> group(static_cast<std::size_t>(p));
  std::vector<double> value(static_cast<std::size_t>(p));
  for (int i = 0; i < p; ++i) {
    int g = nf;
    double best = 0, v = 0;
    for (int j = 0; j < nf; ++j) {
      const double x = loadings[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * p];
      if (std::fabs(x) > best) {
        best = std::fabs(x);
        g = j;
        v = x;
      }
    }
    group[static_cast<std::size_t>(i)] = g;
    value[static_cast<std::size_t>(i)] = v;
  }
  std::vector<bool> placed(static_cast<std::size_t>(p), false);
  for (int k = 0; k < p; ++k) {
    int pick = -1;
    for (int i = 0; i < p; ++i) {
      const auto u = static_cast<std::size_t>(i);
      if (placed[u]) continue;
      if (pick < 0) {
        pick = i;
        continue;
      }
      const auto w = static_cast<std::size_t>(pick);
      if (group[u] < group[w] || (group[u] == group[w] && value[u] > value[w])) pick = i;
    }
    placed[static_cast<std::size_t>(pick)] = true;
    com->perm[k] = pick;
  }
}

const char* factcov(double x, double lower, double upper, double c) {
  if (is_missing(lower) || is_missing(upper)) return "   .";
  if (c == 0) {
    if (lower > 0) return " 0[]";
    if (upper < 0) return " []0";
    return " [0]";
  }
  if (x < 0) {
    // The target is -c: where it falls against the interval and 0.
    if (upper < 0) {
      if (lower + c > 0) return "*[]0";
      if (upper + c >= 0) return "[*]0";
      return "[]*0";
    }
    return lower + c <= 0 ? "[*0]" : "*[0]";
  }
  if (lower > 0) {
    if (c < lower) return "0*[]";
    if (c <= upper) return "0[*]";
    return "0[]*";
  }
  return c < upper ? "[0*]" : "[0]*";
}

double factncdf(double z) {
  return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

double factnqnt(double p) {
  if (is_missing(p) || p <= 0 || p >= 1) {
    if (p == 0) return -std::numeric_limits<double>::infinity();
    if (p == 1) return std::numeric_limits<double>::infinity();
    return missing_value();
  }
  // A rational first guess, then two Halley steps on the exact distribution
  // function to reach full precision.
  static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                             1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                             6.680131188771972e+01, -1.328068155288572e+01};
  static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                             -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                             3.754408661907416e+00};
  constexpr double kLow = 0.02425;
  double x;
  if (p < kLow) {
    const double q = std::sqrt(-2 * std::log(p));
    x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
        ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
  } else if (p <= 1 - kLow) {
    const double q = p - 0.5, r = q * q;
    x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
        (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
  } else {
    const double q = std::sqrt(-2 * std::log(1 - p));
    x = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
        ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
  }
  const double kSqrt2Pi = std::sqrt(2 * 3.14159265358979323846);
  for (int step = 0; step < 2; ++step) {
    const double e = factncdf(x) - p;
    const double u = e * kSqrt2Pi * std::exp(x * x / 2);
    x -= u / (1 + x * u / 2);
  }
  return x;
}

void factm2(COMSTR* com, const PrintedMatrix& m) {
  const double* x = m.values;
  const double* se = m.se;
  const int nrow = m.shape.nrow, ncol = m.shape.ncol;
  if (!com->ods || !x || nrow <= 0 || ncol <= 0) return;
  Shown s;
  s.name = m.name ? m.name : "";
  s.path = m.path ? m.path : std::string(kTablePrefix) + s.name;
  s.nrow = nrow;
  s.ncol = ncol;
  s.rowkind = m.shape.rowkind;
  s.colkind = m.shape.colkind;
  s.rules = display_rules(com, x, s.name);
  // Estimates shown with their standard errors are shown as they are.
  if (se) {
    s.rules.rounded = false;
    s.rules.fuzz = 0;
  }
  s.rowlab = label_texts(com, s.rowkind, nrow);
  s.with_labels = s.rowkind == kLabelVariables && com->maxlab > 0;
  if (s.with_labels)
    for (int i = 0; i < nrow; ++i) s.rowtext.push_back(factvlab(com, i));
  s.collab = label_texts(com, s.colkind, ncol);

  s.est = MatrixView{com, m.shape.storage, x, nrow, ncol};
  s.err = MatrixView{com, m.shape.storage, se, nrow, ncol};
  const std::uint64_t cells = static_cast<std::uint64_t>(nrow) * static_cast<std::uint64_t>(ncol);
  PoolDoubles xcopy(com, s.rules.reorder ? cells : 0);
  PoolDoubles secopy(com, s.rules.reorder && se ? cells : 0);
  if (s.rules.reorder) reorder_rows(com, s, xcopy.get(), secopy.get(), se != nullptr);

  s.label = m.labelno > 0 ? format_message(kFactorGroup, m.labelno, {}) : s.name;
  s.title = matrix_title(com, m.titleno, s.name);
  if (se && m.stacked)
    add_stacked_table(com, plain_spec(s), s, se);
  else if (se || (!s.rules.rounded && s.rules.fuzz == 0))
    add_plain_table(com, plain_spec(s), s);
  else
    add_flagged_table(com, s);
}

}  // namespace kav
