#include "factor/output/factsta.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "host/host_messages.h"
#include "host/log.h"
#include "host/services.h"
#include "host/value.h"

namespace kav {

namespace {

constexpr int kMaxName = 32;

std::string trim_right(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

void set_type(COMSTR* com, const char* type) {
  std::memset(com->typetype, ' ', sizeof(char8));
  std::memcpy(com->typetype, type, std::min(std::strlen(type), sizeof(char8)));
}

void set_name(COMSTR* com, const std::string& name) {
  longlname& n = com->namename;
  std::memset(n.name, ' ', sizeof n.name);
  const std::size_t len = std::min(name.size(), sizeof n.name);
  std::memcpy(n.name, name.data(), len);
  n.len = static_cast<std::int16_t>(len);
}

// The _NAME_ of variable row i: the variable's name as its column is named.
std::string variable_row_name(const COMSTR* com, int i) {
  return factsvnm(com, i);
}

// The _NAME_ of factor row k: the factor's name padded to the width of the
// factor names (trailing blanks are not kept in character values).
std::string factor_row_name(const COMSTR* com, int k) {
  return factfnam(com, k);
}

bool pattern_input(const COMSTR* com) {
  return com->fmethod == 10 || com->fmethod == 11;
}

// Takes the BY values of the input's current group into the row, once per
// group.  They are the group's key as the BY walker keeps it, so a reader
// in the middle of the group is not disturbed and numbers stay exact.
void take_by_values(COMSTR* com, FACTOUTDS* out) {
  FACTINDS* in = com->datafid;
  if (!in || !in->groups || !in->groups->has_by() || in->group == out->group) return;
  out->group = in->group;
  const ByGroups& groups = *in->groups;
  const auto& vars = groups.variables();
  for (std::size_t k = 0; k < vars.size(); ++k) {
    if (groups.key_is_numeric(k)) out->row.num[k] = groups.key_number(k);
    else out->row.str[k] = groups.key_string(k);
  }
}

int by_count(const COMSTR* com) {
  const FACTINDS* in = com->datafid;
  if (!in || !in->groups || !in->groups->has_by()) return 0;
  return static_cast<int>(in->groups->variables().size());
}

}  // namespace

bool factswr(const COMSTR* com) {
  return fopt_test(com, kFoptOutstat) && (com->statfid || com->statfile);
}

int factsnml(const COMSTR* com) {
  const int prefix = com->npar > 0 ? com->parpfix_l : 0;
  return std::min(kMaxName, std::max({8, com->fname_l, com->maxnam + prefix}));
}

std::string factsvnm(const COMSTR* com, int k) {
  std::string name = factvnam(com, k);
  if (com->npar > 0) {
    const std::size_t len = static_cast<std::size_t>(std::clamp(com->parpfix_l, 0, kMaxName));
    name = trim_right(std::string(com->parpfix, len)) + name;
  }
  if (name.size() > static_cast<std::size_t>(kMaxName)) name.resize(kMaxName);
  return name;
}

void factsopn(COMSTR* com) {
  if (com->statfid || !factswr(com) || !com->statfile) return;
  DataSetHeader header;
  header.type = "FACTOR";
  header.label = format_message(kFactorGroup, kMsgOutstatLabel, {});
  if (header.label.size() > 40) header.label.resize(40);

  // BY variables keep the attributes they have in the input.
  if (const FACTINDS* in = com->datafid; in && in->groups && in->groups->has_by()) {
    const DataSetHeader& h = in->groups->header();
    for (const ByVariable& b : in->groups->variables()) {
      const int at = h.find(b.name);
      if (at >= 0) header.vars.push_back(h.vars[static_cast<std::size_t>(at)]);
    }
  }
  Variable type;
  type.name = "_TYPE_";
  type.kind = VarKind::Character;
  type.length = 8;
  type.label = format_message(kFactorGroup, kMsgTypeLabel, {});
  header.vars.push_back(type);
  Variable name;
  name.name = "_NAME_";
  name.kind = VarKind::Character;
  name.length = factsnml(com);
  name.label = format_message(kFactorGroup, kMsgNameLabel, {});
  header.vars.push_back(name);
  for (int k = 0; k < com->nvar; ++k) {
    Variable v;
    v.name = factsvnm(com, k);
    v.label = factvlab(com, k);
    header.vars.push_back(v);
  }
  com->statfid = factopen_output(com, *com->statfile, std::move(header));
  com->statfid->row.resize(com->statfid->writer->header().vars.size());
}

void factsrow(COMSTR* com) {
  if (!factswr(com)) return;
  factsopn(com);
  FACTOUTDS* out = com->statfid;
  if (!out) return;
  take_by_values(com, out);
  const std::size_t nby = static_cast<std::size_t>(by_count(com));
  Observation& row = out->row;
  row.str[nby] = trim_right(std::string(com->typetype, sizeof(char8)));
  const std::size_t len = static_cast<std::size_t>(
      std::clamp<int>(com->namename.len, 0, static_cast<int>(sizeof com->namename.name)));
  row.str[nby + 1] = trim_right(std::string(com->namename.name, len));
  for (int k = 0; k < com->nvar; ++k)
    row.num[nby + 2 + static_cast<std::size_t>(k)] = com->datax[k];
  factwrite(com, out);
}

void factsvec(COMSTR* com, const char* type, const double* values) {
  if (!factswr(com) || !values) return;
  set_type(com, type);
  set_name(com, "");
  for (int k = 0; k < com->nvar; ++k) com->datax[k] = values[k];
  factsrow(com);
}

void factscon(COMSTR* com, const char* type, double value) {
  if (!factswr(com)) return;
  set_type(com, type);
  set_name(com, "");
  for (int k = 0; k < com->nvar; ++k) com->datax[k] = value;
  factsrow(com);
}

void factsvxv(COMSTR* com, const char* type, const double* matrix, char storage) {
  if (!factswr(com) || !matrix) return;
  const int p = com->nvar;
  set_type(com, type);
  for (int i = 0; i < p; ++i) {
    set_name(com, variable_row_name(com, i));
    for (int j = 0; j < p; ++j) com->datax[j] = matrix[nsub(com, storage, i, j, p, p)];
    factsrow(com);
  }
}

void factsvxf(COMSTR* com, const char* type, const double* matrix) {
  if (!factswr(com) || !matrix) return;
  const int p = com->nvar;
  set_type(com, type);
  for (int k = 0; k < com->nfact; ++k) {
    set_name(com, factor_row_name(com, k));
    for (int i = 0; i < p; ++i)
      com->datax[i] = matrix[nsub(com, kStoreColumn, i, k, p, com->nfact)];
    factsrow(com);
  }
}

void factsfxf(COMSTR* com, const char* type, const double* matrix, char storage) {
  if (!factswr(com) || !matrix) return;
  const int nf = com->nfact;
  set_type(com, type);
  for (int k = 0; k < nf; ++k) {
    set_name(com, factor_row_name(com, k));
    for (int j = 0; j < com->nvar; ++j) {
      double v = com->miss;
      // The k-th stored column of a column-major matrix is its row k here.
      if (j < nf)
        v = matrix[nsub(com, storage, storage == kStoreColumn ? j : k,
                        storage == kStoreColumn ? k : j, nf, nf)];
      com->datax[j] = v;
    }
    factsrow(com);
  }
}

void factsmom(COMSTR* com) {
  if (!factswr(com)) return;
  factsvec(com, "MEAN", com->vmean);
  factsvec(com, com->noint ? "USTD" : "STD", com->vstd);
  factscon(com, "N", com->nobs);
  if (com->sumwt != com->nobs && !is_missing(com->sumwt)) factscon(com, "SUMWGT", com->sumwt);
}

void factscrr(COMSTR* com) {
  if (!factswr(com) || !fopt_test(com, kFoptKeepCorr)) return;
  factsvxv(com, com->noint ? "UCORR" : "CORR", com->cor, kStoreSymmetric);
}

void factspos(COMSTR* com) {
  if (!factswr(com)) return;
  const bool input = pattern_input(com);
  if (com->nfact >= 1) factsvec(com, "COMMUNAL", com->communal);
  if (!input) factsvec(com, "PRIORS", com->priors);
  const bool read_weights = fopt_test(com, kFoptWeight);
  if (read_weights || (com->fmethod >= 4 && com->fmethod <= 8)) {
    if (read_weights && fopt_test(com, kFoptCov) && com->wt && com->vstd) {
      // Weights read for a covariance analysis are stated for standardised
      // variables; the data set holds them on the variables' own scale.
      for (int k = 0; k < com->nvar; ++k) {
        const double s = com->vstd[k];
        com->datax[k] = s > 0 ? com->wt[k] / (s * s) : com->wt[k];
      }
      set_type(com, "WEIGHT");
      set_name(com, "");
      factsrow(com);
    } else {
      factsvec(com, "WEIGHT", com->wt);
    }
  }
  if (!input) factsvec(com, "EIGENVAL", com->eigval);
  if (com->nfact >= 1 && !input && fopt_test(com, kFoptRotate)) {
    factsvxf(com, "UNROTATE", com->fact);
    factsvxf(com, "SE_UNROT", com->factse);
  }
}

void factstt(COMSTR* com, int mode) {
  if (!factswr(com) || com->nfact < 1) return;
  const bool pre = mode == 0;
  const bool oblique = com->nfc > 0;
  if (fopt_test(com, kFoptRotate)) factsfxf(com, pre ? "PRETRANS" : "TRANSFOR", com->tran, 'C');
  if (oblique) {
    factsfxf(com, pre ? "PREFCORR" : "FCORR", com->fcor, kStoreSymmetric);
    factsfxf(com, pre ? "SE_PREFC" : "SE_FCORR", com->fcorse, kStoreSymmetric);
  }
  factsvxf(com, pre ? "PREROTAT" : "PATTERN", com->fact);
  factsvxf(com, pre ? "SE_PREPA" : "SE_PAT", com->factse);
  if (oblique) {
    factsfxf(com, pre ? "PRERCORR" : "RCORR", com->rcor, kStoreSymmetric);
    factsvxf(com, pre ? "PREREFER" : "REFERENC", com->ref);
    factsvxf(com, pre ? "PRESTRUC" : "STRUCTUR", com->struc);
    factsvxf(com, pre ? "SE_PREST" : "SE_STRUC", com->strucse);
  }
  if (com->score && fopt_test(com, kFoptScore))
    factsvxf(com, pre ? "PRESCORE" : (com->noint ? "USCORE" : "SCORE"), com->score);
}

void factsend(COMSTR* com) {
  // A step whose groups wrote no row still leaves the data set, empty, as
  // the user named it, unless the step failed (factcommit).
  if (!com->statfid && factswr(com)) factsopn(com);
  factcommit(com, &com->statfid);
}

}  // namespace kav
