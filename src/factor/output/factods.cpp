#include "factor/output/factods.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "factor/input/zacorrn.h"
#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/format.h"
#include "host/host_messages.h"
#include "host/output.h"
#include "host/services.h"
#include "host/value.h"

namespace kav {

namespace {

// The manager's end: whatever is still open belongs to the step that ends.
int close_manager(ODSOBJ* object, const void*, int, int, int) {
  if (object->delivery) {
    object->delivery->close_all_groups();
    object->delivery->clear_by_values();
  }
  return 0;
}

int close_group(ODSOBJ* object, const void*, int, int, int) {
  if (object->delivery) object->delivery->close_group();
  return 0;
}

const ODSCLASS kManagerClass{"manager", close_manager, nullptr};
const ODSCLASS kGroupClass{"group", close_group, nullptr};

ODSOBJ* new_object(COMSTR* com, const ODSCLASS* cls, OutputDelivery* delivery) {
  void* block = factalloc(com, sizeof(ODSOBJ));
  return new (block) ODSOBJ{cls, delivery};
}

// The status the output layer reports for a delivery that threw.
int failure_status() {
  return static_cast<int>(kOdsStatusFailure | (1u << 11) | 1u);
}

std::string trim_right(const char* p, std::size_t n) {
  std::string s(p, n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

}  // namespace

int odsstatus(int facility, int code) {
  return static_cast<int>(kOdsStatusFailure | (static_cast<std::uint32_t>(facility & 0x7ff) << 11) |
                          static_cast<std::uint32_t>(code & 0x7ff));
}

void factoin(COMSTR* com) {
  com->ods = nullptr;
  com->graphics = 0;
  OutputDelivery* delivery = com->host->output();
  if (!delivery || fopt_test(com, kFoptNoprint)) return;
  com->cls = &kManagerClass;
  com->ods = new_object(com, &kManagerClass, delivery);
  com->graphics = delivery->graphics() ? 1 : 0;
  facttpl(delivery->templates());
  delivery->set_procedure_label("The FACTOR Procedure");
}

void factogrp(COMSTR* com, const char* name, const std::string& label) {
  if (!com->ods) return;
  factoclose(&com->opengroup);
  com->ods->delivery->open_group(name, label);
  com->opengroup = new_object(com, &kGroupClass, com->ods->delivery);
}

void factoclose(ODSOBJ** object) {
  if (!object || !*object) return;
  ODSOBJ* o = *object;
  *object = nullptr;
  if (o->cls && o->cls->close) o->cls->close(o, o->cls->arg, kOdsCloseFinal, 0, 0);
}

void factoby(COMSTR* com) {
  if (!com->ods || !com->datafid || !com->datafid->groups) return;
  const ByGroups& groups = *com->datafid->groups;
  if (!groups.has_by()) return;
  std::vector<ByValue> values;
  auto texts = groups.key_text();
  for (std::size_t k = 0; k < groups.variables().size() && k < texts.size(); ++k) {
    ByValue v;
    v.variable = groups.variables()[k].name;
    // Numbers stay numbers in the results; the text is how they print.
    if (groups.key_is_numeric(k)) v.value = groups.key_number(k);
    else v.value = texts[k];
    v.text = texts[k];
    values.push_back(std::move(v));
  }
  com->ods->delivery->set_by_values(std::move(values));
}

int zodsexit(COMSTR* com, int status, const std::string& text) {
  if (status >= 0) return status;
  const auto bits = static_cast<std::uint32_t>(status);
  const int facility = static_cast<int>((bits >> 11) & 0x7ffu);
  const int code = static_cast<int>(bits & 0x7ffu);
  if (facility == kOdsFacilityTolerated && code == kOdsCodeTolerated) return 0;
  std::string why = text.empty() ? "Output delivery failed with status " + std::to_string(status) +
                                       " (facility " + std::to_string(facility) + ", code " +
                                       std::to_string(code) + ")."
                                 : text;
  com->host->xpmlog(kHostGroup, msg::kOdsError, {why});
  factrc(com, kRcOutput);
  xexit(com->rc, 0);
}

void factoadd(COMSTR* com, Table table) {
  if (!com->ods || !com->ods->delivery) return;
  std::string why;
  try {
    com->ods->delivery->add_table(std::move(table));
    return;
  } catch (const std::exception& e) {
    why = e.what();
  }
  zodsexit(com, failure_status(), why);
}

std::string factitle(COMSTR* com, int number, const std::vector<std::string>& args) {
  std::string text = format_message(kFactorGroup, number, args);
  // A blank insert at the end (the variance-explained title of an unrotated
  // solution) would only pull a centred title off centre.
  while (!text.empty() && text.back() == ' ') text.pop_back();
  constexpr std::size_t kRoom = sizeof com->title - 1;  // 119 characters and the end
  if (text.size() > kRoom) {
    com->host->xpmlog(kFactorGroup, kMsgTitleCut);
    text.resize(kRoom);
  }
  std::memset(com->title, 0, sizeof com->title);
  std::memcpy(com->title, text.data(), text.size());
  return text;
}

std::string factvnam(const COMSTR* com, int k) {
  if (!com->vnamer || k < 0 || k >= com->ntot) return "Var" + std::to_string(k + 1);
  const longlname& n = com->vnamer[k];
  const std::size_t len = std::clamp<int>(n.len, 0, static_cast<int>(sizeof n.name));
  return trim_right(n.name, len);
}

std::string factvlab(const COMSTR* com, int k) {
  if (!com->datafid || !com->datafid->reader || !com->step) return {};
  const auto& varno = com->step->varno;
  if (k < 0 || static_cast<std::size_t>(k) >= varno.size()) return {};
  const DataSetHeader& h = com->datafid->reader->header();
  const int at = varno[static_cast<std::size_t>(k)];
  if (at < 0 || static_cast<std::size_t>(at) >= h.vars.size()) return {};
  return h.vars[static_cast<std::size_t>(at)].label;
}

std::string factfnam(const COMSTR* com, int j) {
  if (!com->fname || com->fname_l <= 0) return "Factor" + std::to_string(j + 1);
  const std::size_t w = static_cast<std::size_t>(com->fname_l);
  return trim_right(com->fname + static_cast<std::size_t>(j) * w, w);
}

std::string factnum(double value) {
  if (is_missing(value)) return missing_text(value);
  return trim_blanks(format_best(value, 10));
}

// ---------------------------------------------------------------------------
// Result groups

void factoig(COMSTR* com) {
  if (!com->ods) return;
  int method = kMsgMethodComponents;
  // PRINCIPAL with unit priors is a component analysis, not a factor analysis.
  if (!(com->fmethod == 1 && com->priortyp == 5))
    method = com->fmethod >= 1 && com->fmethod <= 11 ? kMsgMethodFirst + com->fmethod - 1
                                                     : kMsgMethodFirst;
  const std::string text = format_message(kFactorGroup, method, {});
  factogrp(com, "InitialSolution", format_message(kFactorGroup, kMsgInitialSolution, {text}));
}

namespace {

// "Rotation Method: Varimax": the group's label names the method.
void open_rotated(COMSTR* com, int index, const std::string& method) {
  const bool pre = index == -1;
  std::string label =
      format_message(kFactorGroup, pre ? kMsgPrerotatedSolution : kMsgRotatedSolution, {method});
  factogrp(com, pre ? "PrerotatedSolution" : "RotatedSolution", label);
}

}  // namespace

void factoir(COMSTR* com, int index, int msgno, int ninsert,
             const std::vector<std::string>& inserts) {
  if (!com->ods) return;
  std::string method;
  if (msgno > 0) {
    const std::size_t n = std::min(inserts.size(), static_cast<std::size_t>(std::max(ninsert, 0)));
    std::vector<std::string> args(inserts.begin(), inserts.begin() + static_cast<long>(n));
    method = format_message(kFactorGroup, msgno, args);
  }
  open_rotated(com, index, method);
}

void factoir(COMSTR* com, int index, const char* text, const std::vector<std::string>& inserts) {
  if (com->ods) open_rotated(com, index, fill_inserts(text, inserts));
}

// ---------------------------------------------------------------------------
// Data tables

namespace {

std::string path_of(const char* name) {
  return std::string(kTablePrefix) + name;
}

double largest_abs(const double* v, int n) {
  double m = 0;
  for (int k = 0; k < n; ++k)
    if (!is_missing(v[k])) m = std::max(m, std::fabs(v[k]));
  return m;
}

// Rows are sized to the table and filled by position.
Row new_row(const Table& t) {
  return Row(t.columns.size());
}

// The history of iterations kept between the calls of facthis: its shape
// and the rows so far, in pool memory.
struct ODSHIST {
  ODSOBJ base;
  int kind;   // 1 principal factor, 2 Newton-Raphson
  int width;  // doubles per row
  int nrows, capacity;
  double* rows;
  COMSTR* com;
};

int close_history(ODSOBJ* object, const void*, int, int, int) {
  auto* h = reinterpret_cast<ODSHIST*>(object);
  if (h->rows) h->com->host->pool().release(h->rows);
  h->rows = nullptr;
  return 0;
}

const ODSCLASS kHistoryClass{"history", close_history, nullptr};

}  // namespace

void factevt(COMSTR* com, const std::string& text, int number) {
  if (!com->ods || !com->eigval) return;
  const int n = com->nvar;
  const double* ev = com->eigval;
  double total = 0, maxabs = 0;
  int count = 0;
  for (int k = 0; k < n; ++k) {
    if (is_missing(ev[k])) continue;
    total += ev[k];
    maxabs = std::max(maxabs, std::fabs(ev[k]));
    ++count;
  }
  // A total lost in rounding against the largest eigenvalue is no total.
  if (total * 0.001 + maxabs == maxabs) total = 0;

  Table t;
  t.name = "Eigenvalues";
  t.label = "Eigenvalues";
  t.template_path = path_of("Eigenvalues");
  if (count == 0)
    t.title.push_back(
        factitle(com, kMsgEigenTitleNone, {std::to_string(number), text, factnum(total)}));
  else
    t.title.push_back(
        factitle(com, kMsgEigenTitle,
                 {factnum(total), factnum(total / count), std::to_string(number), text}));
  t.add_column("Number", ColumnKind::Integer);
  const Format chosen = choose_format(maxabs / 10, 10);
  t.add_column("Eigenvalue", ColumnKind::Number, std::nullopt, chosen);
  t.add_column("Difference", ColumnKind::Number, std::nullopt, chosen);
  const bool shares = total > 0.001 * maxabs;
  if (shares) {
    t.add_column("Proportion", ColumnKind::Number);
    t.add_column("Cumulative", ColumnKind::Number);
  }
  // An eigenvalue that could not be computed shows as ._ where a value
  // would stand; its share is simply missing.
  const double not_computed = special_missing('_');
  double cumulative = 0;
  for (int k = 0; k < n; ++k) {
    Row r = new_row(t);
    r[0] = static_cast<double>(k + 1);
    const bool missing = is_missing(ev[k]);
    r[1] = missing ? not_computed : ev[k];
    if (missing)
      r[2] = not_computed;
    else if (k + 1 < n && !is_missing(ev[k + 1]))
      r[2] = ev[k] - ev[k + 1];
    else
      r[2] = missing_value();
    if (shares) {
      if (missing) {
        r[3] = missing_value();
        r[4] = missing_value();
      } else {
        const double p = ev[k] / total;
        cumulative += p;
        r[3] = p;
        r[4] = cumulative;
      }
    }
    t.add_row(std::move(r));
  }
  if (com->graphics && fopt_test(com, kFoptPlotScree)) {
    if (com->scree_path[0] == '\0') std::snprintf(com->scree_path, sizeof com->scree_path, "Scree");
    t.link_key = com->scree_path;
  }
  factoadd(com, std::move(t));
}

void factsis(COMSTR* com) {
  if (!com->ods || !com->vmean || !com->vstd) return;
  const int n = com->ntot;
  Table t;
  t.name = "SimpleStatistics";
  t.label = "Simple Statistics";
  t.template_path = path_of("SimpleStatistics");
  t.title.push_back(factitle(com, kMsgSimpleStats, {factnum(com->nobs)}));
  t.add_column("Variable", ColumnKind::Text);
  t.add_column("Mean", ColumnKind::Number, std::nullopt,
               choose_format(largest_abs(com->vmean, n) / 10, 10));
  t.add_column("StdDev", ColumnKind::Number, std::nullopt,
               choose_format(largest_abs(com->vstd, n) / 10, 10));
  for (int k = 0; k < n; ++k) {
    Row r = new_row(t);
    r[0] = factvnam(com, k);
    r[1] = com->vmean[k];
    r[2] = com->vstd[k];
    t.add_row(std::move(r));
  }
  factoadd(com, std::move(t));
}

void factfct(COMSTR* com, double totcom) {
  if (!com->ods || !com->communal || !com->wt) return;
  const int n = com->nvar;
  double unweighted = 0;
  for (int k = 0; k < n; ++k)
    if (!is_missing(com->communal[k])) unweighted += com->communal[k];
  Table t;
  t.name = "FinalCommunWgt";
  t.label = "Final Communality Estimates and Variable Weights";
  t.template_path = path_of("FinalCommunWgt");
  t.title.push_back(factitle(com, kMsgFinalCommunWgt));
  t.title.push_back(factitle(com, kMsgTotalCommunal, {factnum(totcom), factnum(unweighted)}));
  t.add_column("Variable", ColumnKind::Text);
  t.add_column("Communality", ColumnKind::Number);
  // Very large weights (variables of almost no unique variance) must not
  // squeeze every other weight to no decimals.
  t.add_column("Weight", ColumnKind::Number, std::nullopt,
               choose_format(std::min(largest_abs(com->wt, n), 1e8) / 10, 10));
  for (int k = 0; k < n; ++k) {
    Row r = new_row(t);
    r[0] = factvnam(com, k);
    r[1] = com->communal[k];
    r[2] = com->wt[k];
    t.add_row(std::move(r));
  }
  factoadd(com, std::move(t));
}

void facthis(COMSTR* com, int mode, const FACTHISROW* row) {
  if (mode < 0 || mode > 4) {
    factrc(com, kExitInternal);
    xexit(com->rc, 0);
  }
  if (!com->ods) return;
  const int p = com->nvar;
  auto* h = reinterpret_cast<ODSHIST*>(com->ithis);
  switch (mode) {
    case 1:
    case 2: {
      factoclose(&com->ithis);
      void* block = factalloc(com, sizeof(ODSHIST));
      h = new (block)
          ODSHIST{{&kHistoryClass, com->ods->delivery}, mode, 5 + p, 0, 0, nullptr, com};
      com->ithis = &h->base;
      return;
    }
    case 0: {
      if (!h || !row) return;
      if (h->nrows == h->capacity) {
        const int capacity = std::max(16, 2 * h->capacity);
        double* grown = factalloc_doubles(
            com, static_cast<std::uint64_t>(capacity) * static_cast<std::uint64_t>(h->width));
        if (h->rows) {
          std::memcpy(grown, h->rows,
                      sizeof(double) * static_cast<std::size_t>(h->nrows) *
                          static_cast<std::size_t>(h->width));
          com->host->pool().release(h->rows);
        }
        h->rows = grown;
        h->capacity = capacity;
      }
      double* r = h->rows + static_cast<std::size_t>(h->nrows) * static_cast<std::size_t>(h->width);
      r[0] = row->iteration;
      r[1] = row->evaluations;
      r[2] = row->criterion;
      r[3] = row->ridge;
      r[4] = row->change;
      for (int k = 0; k < p; ++k) r[5 + k] = row->communal ? row->communal[k] : missing_value();
      ++h->nrows;
      return;
    }
    case 3: {
      if (!h) return;
      const bool newton = h->kind == 2;
      Table t;
      t.name = "IterHistory";
      t.label = format_message(kFactorGroup, kMsgIterHistory, {});
      t.template_path = path_of("IterHistory");
      t.title.push_back(t.label);
      t.add_column("Iteration", ColumnKind::Integer);
      if (newton) {
        t.add_column("Evaluations", ColumnKind::Integer);
        t.add_column("Criterion", ColumnKind::Number);
        t.add_column("Ridge", ColumnKind::Number);
      }
      t.add_column("Change", ColumnKind::Number);
      for (int k = 0; k < p; ++k) {
        const std::string name = factvnam(com, k);
        Column& c = t.add_column(name, ColumnKind::Number, name);
        c.template_column = "EstCommunal";
      }
      for (int i = 0; i < h->nrows; ++i) {
        const double* r =
            h->rows + static_cast<std::size_t>(i) * static_cast<std::size_t>(h->width);
        Row out = new_row(t);
        std::size_t at = 0;
        out[at++] = r[0];
        if (newton) {
          out[at++] = r[1];
          out[at++] = r[2];
          out[at++] = r[3];
        }
        out[at++] = r[4];
        for (int k = 0; k < p; ++k) out[at++] = r[5 + k];
        t.add_row(std::move(out));
      }
      factoclose(&com->ithis);
      factoadd(com, std::move(t));
      return;
    }
    default: {
      Table t;
      t.name = "ConvergenceStatus";
      t.label = format_message(kFactorGroup, kMsgConvergenceStatus, {});
      t.template_path = path_of("ConvergenceStatus");
      t.add_column("Status", ColumnKind::Integer);
      t.add_column("Reason", ColumnKind::Text);
      Row r = new_row(t);
      r[0] = static_cast<double>(com->iterrc);
      r[1] = com->ReasonConvStat > 0 ? format_message(kFactorGroup, com->ReasonConvStat, {})
                                     : std::string();
      t.add_row(std::move(r));
      factoadd(com, std::move(t));
      return;
    }
  }
}

double factnobk(const COMSTR* com) {
  if (fopt_test(com, kFoptRawData)) return special_missing('D');
  std::string type(com->dstype, sizeof(char8));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\0')) type.pop_back();
  static const struct {
    const char* type;
    char letter;
  } kLetters[] = {{"CORR", 'R'},   {"COV", 'C'},  {"UCORR", 'O'}, {"UCOV", 'V'},
                  {"FACTOR", 'F'}, {"SSCP", 'S'}, {"ACE", 'A'},   {"EST", 'E'}};
  for (const auto& l : kLetters)
    if (type == l.type) return special_missing(l.letter);
  return special_missing('U');
}

void factnob(COMSTR* com, const NOBSTR* counts) {
  if (!com->ods) return;
  const bool raw = fopt_test(com, kFoptRawData);
  const bool freq = com->step && com->step->freqno >= 0;
  const bool weight = com->step && com->step->weightno >= 0;
  const bool given = !is_missing(com->usernobs);
  NOBSTR none{};
  const NOBSTR& c = counts ? *counts : none;
  const double nsig = given ? com->usernobs : com->nobs;

  struct Line {
    int msg;
    double value;
  };
  std::vector<Line> lines{{kMsgInputType, factnobk(com)}};
  // Hidden columns repeat every count on every row, so that one row of
  // ODS OUTPUT carries them all.
  std::vector<std::pair<const char*, double>> hidden;
  if (raw) {
    lines.push_back({kMsgNobsRead, c.NObsRead});
    lines.push_back({kMsgNobsUsed, c.NObsUsed});
    hidden.push_back({"NRecRead", c.NObsRead});
    hidden.push_back({"NRecUsed", c.NObsUsed});
    if (freq) {
      lines.push_back({kMsgFreqRead, c.SumFreqsRead});
      lines.push_back({kMsgFreqUsed, c.SumFreqsUsed});
      hidden.push_back({"SumFreqsRead", c.SumFreqsRead});
      hidden.push_back({"SumFreqsUsed", c.SumFreqsUsed});
    }
    if (weight) {
      lines.push_back({kMsgWeightRead, c.SumWeightsRead});
      lines.push_back({kMsgWeightUsed, c.SumWeightsUsed});
      hidden.push_back({"SumWeightsRead", c.SumWeightsRead});
      hidden.push_back({"SumWeightsUsed", c.SumWeightsUsed});
    }
  }
  if (given) {
    lines.push_back({kMsgNobsGiven, com->usernobs});
    hidden.push_back({"NObsProcStmt", com->usernobs});
  } else if (!raw) {
    lines.push_back({kMsgNobsDataSet, com->nobs});
    hidden.push_back({"NDataSet", com->nobs});
  }
  lines.push_back({kMsgNobsTests, nsig});
  hidden.push_back({"NSigTests", nsig});

  Table t;
  t.name = "NObs";
  t.label = "Number of Observations";
  t.template_path = path_of("NObs");
  t.add_column("Label", ColumnKind::Text, std::string());
  t.add_column("N", ColumnKind::Number);
  for (const auto& [name, value] : hidden) {
    Column& col = t.add_column(name, ColumnKind::Number);
    col.hidden = true;
  }
  std::size_t width = 0;
  for (const Line& l : lines) {
    Row r = new_row(t);
    const std::string text = format_message(kFactorGroup, l.msg, {});
    width = std::max(width, text.size());
    r[0] = text;
    r[1] = l.value;
    for (std::size_t k = 0; k < hidden.size(); ++k) r[2 + k] = hidden[k].second;
    t.add_row(std::move(r));
  }
  t.dynamics.push_back({"LabelWidth", static_cast<double>(width)});
  // The first row shows the kind of input as one letter; say what it means.
  const std::string letter(1, missing_letter(lines.front().value));
  std::string type(com->dstype, sizeof(char8));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\0')) type.pop_back();
  if (raw)
    t.footnotes.push_back(format_message(kFactorGroup, kMsgInputTypeRaw, {letter}));
  else if (!type.empty())
    t.footnotes.push_back(format_message(kFactorGroup, kMsgInputTypeDataSet, {letter, type}));
  factoadd(com, std::move(t));
}

// ---------------------------------------------------------------------------
// Vectors and matrices in one call

namespace {

MatrixStorage storage_of(char storage) {
  if (storage == kStoreSymmetric) return MatrixStorage::Symmetric;
  if (storage == kStoreColumn) return MatrixStorage::ColumnMajor;
  return MatrixStorage::RowMajor;
}

std::vector<std::string> kind_labels(const COMSTR* com, char kind, int n) {
  std::vector<std::string> out;
  for (int k = 0; k < n; ++k) {
    if (kind == 'V')
      out.push_back(factvnam(com, k));
    else if (kind == 'F')
      out.push_back(factfnam(com, k));
    else
      out.push_back(std::to_string(k + 1));
  }
  return out;
}

// Rows and columns are named when their labels are given.
void write_one_call(COMSTR* com, const LabelledMatrix& m, std::vector<std::string> rowlab,
                    std::vector<std::string> collab) {
  const int nrow = m.shape.nrow, ncol = m.shape.ncol;
  if (!com->ods || !m.values || nrow <= 0 || ncol <= 0) return;
  const MatrixStorage storage = storage_of(m.shape.storage);
  MatrixSpec spec;
  spec.name = m.name ? m.name : "";
  spec.label = m.labelno > 0 ? format_message(kFactorGroup, m.labelno, {}) : spec.name;
  spec.template_path = m.path ? m.path : path_of(spec.name.c_str());
  if (!m.title.empty()) spec.title.push_back(m.title);
  spec.storage = storage;
  spec.rows = nrow;
  spec.columns = ncol;
  const std::size_t cells = storage == MatrixStorage::Symmetric
                                ? static_cast<std::size_t>(nrow) * (nrow + 1) / 2
                                : static_cast<std::size_t>(nrow) * static_cast<std::size_t>(ncol);
  spec.data.assign(m.values, m.values + cells);
  const bool rows_named = !rowlab.empty();
  const bool columns_named = !collab.empty();
  if (rows_named)
    spec.row_labels = std::move(rowlab);
  else if (nrow == 1)
    spec.row_labels = {""};  // a single row needs no number
  if (columns_named) spec.column_labels = std::move(collab);
  Table t = matrix_table(spec);
  // A single unnamed column (one value per variable) reads best without a
  // header of its own; the table's title says what the values are.
  if (!columns_named && ncol == 1 && t.columns.size() == 2) t.columns[1].header = std::string();
  if (m.extraname) t.dynamics.push_back({m.extraname, m.extra});
  factoadd(com, std::move(t));
}

}  // namespace

void factpma(COMSTR* com, const LabelledMatrix& matrix, std::vector<std::string> rowlab,
             std::vector<std::string> collab) {
  write_one_call(com, matrix, std::move(rowlab), std::move(collab));
}

void factpm2(COMSTR* com, const LabelledMatrix& matrix) {
  auto labels = [com](char kind, int n) {
    return kind == kNoLabels ? std::vector<std::string>() : kind_labels(com, kind, n);
  };
  const MatrixShape& s = matrix.shape;
  write_one_call(com, matrix, labels(s.rowkind, s.nrow), labels(s.colkind, s.ncol));
}

void factv3t(COMSTR* com, char kind, int n, const double* v1, const char* name1, const double* v2,
             const char* name2, const double* v3, const char* name3, const char* table, int labelno,
             const char* header, const std::string& headtext, const char* path) {
  if (!com->ods || n <= 0) return;
  Table t;
  t.name = table ? table : "";
  t.label = labelno > 0 ? format_message(kFactorGroup, labelno, {}) : t.name;
  t.template_path = path ? path : path_of(t.name.c_str());
  if (!headtext.empty()) t.title.push_back(headtext);
  if (header && !headtext.empty()) t.dynamics.push_back({header, headtext});
  t.row_labels_first = true;
  t.add_column(kind == 'V' ? "Variable" : "Factor", ColumnKind::Text, std::string());
  const double* values[3] = {v1, v2, v3};
  const char* names[3] = {name1, name2, name3};
  std::vector<const double*> used;
  for (int k = 0; k < 3; ++k) {
    if (!values[k]) continue;
    t.add_column(names[k] ? names[k] : "Value", ColumnKind::Number);
    used.push_back(values[k]);
  }
  const std::vector<std::string> labels = kind_labels(com, kind, n);
  for (int i = 0; i < n; ++i) {
    Row r = new_row(t);
    r[0] = labels[static_cast<std::size_t>(i)];
    for (std::size_t k = 0; k < used.size(); ++k) r[k + 1] = used[k][i];
    t.add_row(std::move(r));
  }
  factoadd(com, std::move(t));
}

// ---------------------------------------------------------------------------
// Templates

namespace {

ColumnTemplate col(const char* name, std::optional<std::string> header = std::nullopt,
                   std::optional<Format> format = std::nullopt,
                   std::optional<bool> hidden = std::nullopt) {
  return ColumnTemplate{name, std::move(header), format, hidden};
}

void add(TemplateRegistry& r, const char* name, std::vector<ColumnTemplate> columns,
         std::vector<DynamicTemplate> dynamics = {}) {
  TableTemplate t;
  t.path = std::string(kTablePrefix) + name;
  t.columns = std::move(columns);
  t.dynamics = std::move(dynamics);
  r.add(std::move(t));
}

}  // namespace

void facttpl(TemplateRegistry& r) {
  const Format f85 = fixed_format(8, 5);
  const Format f84 = fixed_format(8, 4);
  const Format f104 = fixed_format(10, 4);
  const Format int8 = integer_format(8);

  add(r, "NObs",
      {col("Label", std::string()), col("N", "N", best_format(12)),
       col("NRecRead", std::nullopt, std::nullopt, true),
       col("NRecUsed", std::nullopt, std::nullopt, true),
       col("SumFreqsRead", std::nullopt, std::nullopt, true),
       col("SumFreqsUsed", std::nullopt, std::nullopt, true),
       col("SumWeightsRead", std::nullopt, std::nullopt, true),
       col("SumWeightsUsed", std::nullopt, std::nullopt, true),
       col("NObsProcStmt", std::nullopt, std::nullopt, true),
       col("NDataSet", std::nullopt, std::nullopt, true),
       col("NSigTests", std::nullopt, std::nullopt, true)});
  add(r, "SimpleStatistics",
      {col("Variable", "Variable"), col("Mean", "Mean"), col("StdDev", "Std Dev")});
  add(r, "Eigenvalues",
      {col("Number", std::string(), int8), col("Eigenvalue", "Eigenvalue"),
       col("Difference", "Difference"), col("Proportion", "Proportion", f84),
       col("Cumulative", "Cumulative", f84)});
  add(r, "IterHistory",
      {col("Iteration", "Iteration", integer_format(9)),
       col("Evaluations", std::nullopt, std::nullopt, true),
       col("Criterion", "Criterion", fixed_format(10, 5)),
       col("Ridge", "Ridge", fixed_format(8, 4)), col("Change", "Change", f84),
       col("EstCommunal", std::nullopt, f85)});
  add(r, "ConvergenceStatus",
      {col("Status", std::nullopt, std::nullopt, true), col("Reason", std::string())});
  add(r, "FinalCommunWgt",
      {col("Variable", "Variable"), col("Communality", "Communality", f85),
       col("Weight", "Weight")});
  add(r, "SignifTests",
      {col("Test", "Test"), col("ChiSq", "Chi-Square", f104), col("DF", "DF", integer_format(6)),
       col("ProbChiSq", "Pr > ChiSq", fixed_format(8, 4))});
  add(r, "FitMeasures", {col("Measure", std::string()), col("Value", "Value", f104)});
  // The flag columns of the aids mark the suggestion: the row of the
  // smallest average partial correlation, the factors whose observed
  // eigenvalues exceed their critical values.
  const Format flag = integer_format(9);
  add(r, "AveParCorrControlPC",
      {col("NComp", "Number of Components", int8),
       col("AveParCor2", "Average Squared Partial Correlation", fixed_format(10, 6)),
       col("OptAveParCor2", "Minimum", flag),
       col("AveParCor4", "Average Fourth-Power Partial Correlation", fixed_format(10, 6)),
       col("OptAveParCor4", "Minimum", flag)});
  add(r, "ParallelAnalysis",
      {col("Number", std::string(), int8), col("Eigenvalue", "Observed Eigenvalue", f84),
       col("AveEigPA", "Mean Simulated Eigenvalue", f84),
       col("CritEigPA", "Critical Eigenvalue", f84), col("FgEigen", "Suggested", flag),
       col("NThreads", std::nullopt, std::nullopt, true)},
      {{"NSims", "Number of Simulations", std::nullopt},
       {"Seed", "Seed", std::nullopt},
       {"Alpha", "Alpha", std::nullopt}});

  // Matrices and vectors written in one call: every value column shares the
  // template column "Value".  Loadings and correlations read best with five
  // decimals; covariances and weights take the chooser's format.
  const char* const kFivePlaces[] = {"Corr",
                                     "PartialCorr",
                                     "ParCorrControlVar",
                                     "SamplingAdequacy",
                                     "PriorCommunalEst",
                                     "MultipleCorr",
                                     "ImageCoef",
                                     "ImageFactors",
                                     "Eigenvectors",
                                     "AlphaCoef",
                                     "CanCorr",
                                     "InputFactorPattern",
                                     "InputScoreCoef",
                                     "FactorPattern",
                                     "FinalCommun",
                                     "ResCorrUniqueDiag",
                                     "RMSOffDiagResids",
                                     "ParCorrControlFactor",
                                     "RMSOffDiagPartials",
                                     "StdScoreCoef",
                                     "VarFactorCorr",
                                     "OrthTrans",
                                     "OrthRotFactPat",
                                     "ObliqueTrans",
                                     "ProcrustesTarget",
                                     "ProcrustesTrans",
                                     "NormObliqueTrans",
                                     "InterFactorCorr",
                                     "ObliqueRotFactPat",
                                     "ReferenceAxisCorr",
                                     "ReferenceStructure",
                                     "FactorStructure"};
  for (const char* name : kFivePlaces) add(r, name, {col("Value", std::nullopt, f85)});
  // The inverse correlations and the standard deviations are not bounded by
  // 1: a fixed five decimals would print their large values with fewer
  // decimals than the small ones beside them.
  const char* const kChosen[] = {"CondStdDev",        "InvCorr",       "ImageCov",
                                 "VarExplain",        "VarExplainWgt", "VarWeightRotate",
                                 "FactorWeightRotate"};
  for (const char* name : kChosen) add(r, name, {col("Value")});

  // The rounded and fuzzed forms of the matrix printer.
  const char* const kFlagged[] = {"Corr",
                                  "PartialCorr",
                                  "InvCorr",
                                  "ParCorrControlVar",
                                  "ResCorrUniqueDiag",
                                  "ParCorrControlFactor",
                                  "Eigenvectors",
                                  "FactorPattern",
                                  "OrthRotFactPat",
                                  "InterFactorCorr",
                                  "ObliqueRotFactPat",
                                  "ReferenceAxisCorr",
                                  "ReferenceStructure",
                                  "FactorStructure",
                                  "StdScoreCoef",
                                  "ImageFactors"};
  for (const char* name : kFlagged)
    add(r, (std::string(name) + "Flag").c_str(),
        {col("Variable", std::string()), col("Label", "Label"),
         col("RoundFuzzVal", std::nullopt, std::nullopt), col("Flag", std::string(), std::nullopt),
         col("OriginalVal", std::nullopt, std::nullopt, true)});

  add(r, "Pattern", {});
  add(r, "CirclePhantom", {});
  add(r, "PathDiagramData", {});
}

}  // namespace kav
