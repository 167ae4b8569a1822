// From the step's statements to a record ready for the BY groups: options,
// data sets, variable lists, the step's arrays, the output manager and the
// factoring extension.
//
// This version reads DATA=, TARGET= and NOPRINT of the PROC FACTOR statement
// and the VAR and BY statements; everything else of the statement language is
// refused by name, so that no option is silently ignored.  The reading is
// confined to fact1_parse.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "factor/factds.h"
#include "factor/factods.h"
#include "factor/factor.h"
#include "host/host_messages.h"
#include "host/services.h"
#include "host/value.h"
#include "tkxfac/tkxfac.h"

namespace kav {

namespace {

// What the statements ask for, as far as this version reads them.
struct FACT1REQ {
  DataSetName data, target;
  bool has_target = false;
  bool noprint = false;
  std::vector<const Token*> var;  // names and ranges of the VAR statement, as written
  bool has_var = false;
  std::vector<ByVariable> by;
};

[[noreturn]] void stop(COMSTR* com, int group, int number, std::vector<std::string> args,
                       SourcePos pos, int code) {
  com->host->xpmlog(group, number, std::move(args), std::move(pos));
  factrc(com, code);
  xexit(com->rc, 0);
}

FACT1REQ fact1_parse(COMSTR* com) {
  const std::vector<Statement>& sts = com->host->statements();
  FACT1REQ req;
  const auto& t = sts[0].tokens;
  for (std::size_t i = 2; i < t.size();) {
    bool data = t[i].is_word("DATA"), target = t[i].is_word("TARGET");
    if ((data || target) && i + 1 < t.size() && t[i + 1].is_symbol("=")) {
      i += 2;
      SourcePos where;
      DataSetName& name = data ? req.data : req.target;
      std::string err = parse_dataset_name(t, i, name, where);
      if (!err.empty())
        stop(com, kHostGroup, msg::kSyntax, {"a data set name", err}, where, kExitNoInput);
      if (target) req.has_target = true;
      continue;
    }
    if (t[i].is_word("NOPRINT")) {
      req.noprint = true;
      ++i;
      continue;
    }
    stop(com, kHostGroup, msg::kUnknownOption, {t[i].text, "PROC FACTOR"}, t[i].pos, kExitNoInput);
  }
  for (std::size_t s = 1; s < sts.size(); ++s) {
    const Statement& st = sts[s];
    std::string kw = st.keyword();
    if (kw == "VAR") {
      req.has_var = true;
      for (std::size_t i = 1; i < st.tokens.size(); ++i) req.var.push_back(&st.tokens[i]);
    } else if (kw == "BY") {
      bool descending = false;
      for (std::size_t i = 1; i < st.tokens.size(); ++i) {
        const Token& tok = st.tokens[i];
        if (tok.is_word("DESCENDING")) {
          descending = true;
        } else if (tok.is_name() || tok.kind == TokenKind::NameLiteral) {
          req.by.push_back({tok.value, descending});
          descending = false;
        } else {
          stop(com, kHostGroup, msg::kSyntax, {"a BY variable", tok.text}, tok.pos, kExitNoInput);
        }
      }
    } else {
      const Token& tok = st.tokens[0];
      stop(com, kHostGroup, msg::kUnknownStatement,
           {kw.empty() ? tok.text : kw, " in PROC FACTOR (this version takes VAR and BY)"}, tok.pos,
           kExitNoInput);
    }
  }
  return req;
}

bool is_by_variable(const std::vector<ByVariable>& by, const std::string& name) {
  return std::any_of(by.begin(), by.end(),
                     [&](const ByVariable& b) { return same_name(b.name, name); });
}

// Splits "x12" into "x" and 12; -1 when the name does not end in digits.
long name_number(const std::string& s, std::string& prefix) {
  std::size_t k = s.size();
  while (k > 0 && std::isdigit(static_cast<unsigned char>(s[k - 1]))) --k;
  prefix = s.substr(0, k);
  if (k == s.size() || s.size() - k > 9) return -1;
  return std::stol(s.substr(k));
}

// The analysis variables: the VAR list (names and numbered ranges x1-x5),
// or every numeric variable that no other statement uses.
std::vector<int> analysis_variables(COMSTR* com, const FACT1REQ& req, const DataSetHeader& h) {
  std::vector<int> out;
  auto add = [&](const Token& at, const std::string& name) {
    int k = h.find(name);
    if (k < 0)
      stop(com, kHostGroup, msg::kVariableNotFound, {name, h.name}, at.pos, kExitStructure);
    if (!h.vars[static_cast<std::size_t>(k)].is_numeric())
      stop(com, kHostGroup, msg::kSyntax, {"a numeric analysis variable", name}, at.pos,
           kExitStructure);
    out.push_back(k);
  };
  if (!req.has_var) {
    for (std::size_t k = 0; k < h.vars.size(); ++k)
      if (h.vars[k].is_numeric() && !is_by_variable(req.by, h.vars[k].name))
        out.push_back(static_cast<int>(k));
    return out;
  }
  const auto& v = req.var;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const Token& t = *v[i];
    if (!t.is_name() && t.kind != TokenKind::NameLiteral)
      stop(com, kHostGroup, msg::kSyntax, {"a variable name", t.text}, t.pos, kExitStructure);
    if (i + 2 < v.size() && v[i + 1]->is_symbol("-") && v[i + 2]->is_name()) {
      std::string p1, p2;
      long n1 = name_number(t.value, p1), n2 = name_number(v[i + 2]->value, p2);
      if (n1 < 0 || n2 < 0 || !same_name(p1, p2) || n2 < n1)
        stop(com, kHostGroup, msg::kSyntax,
             {"a numbered range such as x1-x5", t.value + "-" + v[i + 2]->value}, t.pos,
             kExitStructure);
      for (long n = n1; n <= n2; ++n) add(t, p1 + std::to_string(n));
      i += 2;
      continue;
    }
    add(t, t.value);
  }
  return out;
}

void copy_name(longlname& to, const std::string& from) {
  std::size_t n = std::min(from.size(), sizeof to.name);
  std::memset(to.name, ' ', sizeof to.name);
  std::memcpy(to.name, from.data(), n);
  to.len = static_cast<std::int16_t>(n);
}

void copy_char8(char8& to, const std::string& from) {
  std::memset(to, ' ', sizeof to);
  std::memcpy(to, from.data(), std::min(from.size(), sizeof to));
}

// The defaults every later stage may rely on, whatever the statements say.
void defaults(COMSTR* com) {
  double miss = missing_value();
  com->prochead = &com->host->statements();
  com->miss = miss;
  com->fmethod = 1;
  com->nfactp = -99;
  com->rmethod0 = kRotNone;
  com->rmethod2 = kRotNone;
  com->maxiter = 30;
  com->nsimspa = 1000;
  com->alphapa = 0.05;
  com->epsilon = 0.001;
  com->reps = 1e-9;
  com->singular = 1e-7;
  for (double* d :
       {&com->usernobs, &com->mineigp, &com->percentp, &com->mineigen, &com->percent, &com->gamma,
        &com->tau, &com->kvalue, &com->hkpower, &com->hypval, &com->alpha, &com->cover})
    *d = miss;
  copy_char8(com->vardef, "DF");
  copy_char8(com->smethod, "");
  std::memcpy(com->parpfix, "R_", 2);
  com->parpfix_l = 2;
  com->v6bit = com->host->validvarname() == ValidVarName::V6 ? 1 : 0;
  fopt_set(com, kFoptPromaxNorm);
}

bool special_type(const std::string& type) {
  for (const char* t : {"CORR", "COV", "UCORR", "UCOV", "FACTOR", "SSCP", "ACE", "EST"})
    if (type == t) return true;
  return false;
}

// How TARGET='s BY variables relate to the input's: 0 it has them all (its
// groups are kept in step), 1 it has none (one target serves every group).
// Anything in between cannot be matched.
int match_target_by(COMSTR* com, const FACT1REQ& req, const DataSetHeader& target) {
  if (req.by.empty()) return 1;
  std::size_t found = 0;
  for (const auto& b : req.by)
    if (target.find(b.name) >= 0) ++found;
  if (found == req.by.size()) return 0;
  if (found == 0) return 1;
  stop(com, kFactorGroup, kMsgTargetBy, {}, req.target.pos, kExitStructure);
}

int thread_count(COMSTR* com) {
  auto threads = com->host->xyrngef("THREADS");
  auto cpus = com->host->xyrngef("CPUCOUNT");
  if (!threads || *threads == 0 || !cpus || *cpus <= 1) return 1;
  return static_cast<int>(std::min(100.0, std::floor(*cpus)));
}

void allocate_arrays(COMSTR* com) {
  std::uint64_t nvar = static_cast<std::uint64_t>(com->nvar);
  std::uint64_t ntot = static_cast<std::uint64_t>(com->ntot);
  std::uint64_t maxfact = static_cast<std::uint64_t>(com->maxfact);
  double* block = factalloc_doubles(com, 3 * nvar + 2 * ntot);
  com->vmean = block;
  com->vstd = block + ntot;
  com->wt = block + 2 * ntot;
  com->communal = com->wt + nvar;
  com->eigval = com->communal + nvar;
  com->priors = factalloc_doubles(com, nvar);
  if (fopt_test(com, kFoptKeepCorr)) com->cor = factalloc_doubles(com, ntot * (ntot + 1) / 2);
  bool square = com->fmethod == 2 || com->fmethod == 5 || com->fmethod == 6 || com->fmethod == 7;
  com->fact = factalloc_doubles(com, nvar * (square ? nvar : maxfact));
  com->datax = factalloc_doubles(com, std::max(ntot, 10 * nvar));
}

void load_extension(COMSTR* com) {
  com->hndl = factor_toolkit();
  TKEXTENSION* header = nullptr;
  if (com->hndl && com->hndl->loadExtension) header = com->hndl->loadExtension(com->hndl, "tkxfac");
  if (!header)
    stop(com, kFactorGroup, kMsgNoToolkit,
         {com->hndl ? "the toolkit has no such extension" : "no toolkit is available"}, {},
         kExitMemory);
  com->tkxfacExt = tkxfac_from_header(header);

  TKXFAC_EXTPARMS ext{};
  ext.seed = com->seed;
  ext.pa_seed = com->pa_seed;
  ext.usepa = com->usepa;
  ext.pa_alpha = com->alphapa;
  ext.pa_nsims = com->nsimspa;
  ext.usemap = com->usemap == 2 ? TKXFAC_USEMAP2 : com->usemap == 4 ? TKXFAC_USEMAP4 : TKXFAC_NOMAP;
  TKXFAC_PARMS parms{};
  parms.nvar = com->nvar;
  parms.nfac = -99;
  parms.nobs = 0;
  parms.eps = com->epsilon;
  parms.sing = com->singular;
  parms.nThreads = thread_count(com);
  parms.usermt = false;
  parms.ext = &ext;
  parms.rot = nullptr;
  TKXFAC_EXTENSION* x = com->tkxfacExt;
  com->tkxfacInst = x->CreateInstance ? x->CreateInstance(x, &parms) : nullptr;
  if (!com->tkxfacInst) stop(com, kFactorGroup, kMsgNoInstance, {}, {}, kExitExtension);

  std::int32_t threads = 0;
  std::size_t bytes = sizeof threads;
  const TKXFAC_FACTORY* f = com->tkxfacInst->FactoryPtr;
  if (f && f->ValueGet &&
      f->ValueGet(com->tkxfacInst, TKXFAC_VAL_THREADS, &threads, &bytes, 0, 0) == TKXFAC_OK)
    com->perform.cpuact = threads;
}

}  // namespace

void fact1(COMSTR* com) {
  defaults(com);
  FACT1REQ req = fact1_parse(com);

  if (req.data.empty()) {
    req.data = com->host->last_dataset();
    if (req.data.empty())
      stop(com, kFactorGroup, kMsgNoInput, {}, com->host->statements()[0].pos, kExitNoInput);
  }
  com->datafid = factopen_input(com, req.data, req.by);
  const DataSetHeader& h = com->datafid->reader->header();
  com->nby = static_cast<int>(req.by.size());
  copy_char8(com->dstype, h.type);
  if (h.type.compare(0, 3, "FAC") == 0) com->fmethod = 10;
  if (!special_type(h.type)) fopt_set(com, kFoptRawData);
  fopt_set(com, kFoptKeepCorr);
  if (req.noprint) fopt_set(com, kFoptNoprint);

  std::vector<int> vars = analysis_variables(com, req, h);
  if (vars.empty())
    stop(com, kFactorGroup, kMsgNoVariables, {}, com->host->statements()[0].pos, kExitStructure);
  com->nvar = static_cast<int>(vars.size());
  com->npar = 0;
  com->ntot = com->nvar;
  com->listno = 1;
  com->step->varno = vars;
  com->maxfact = com->nvar;
  com->ritr = std::max(100, 10 * com->nvar);
  com->nameno = h.find("_NAME_") + 1;
  com->typeno = h.find("_TYPE_") + 1;

  if (req.has_target) {
    com->targfid = factopen_input(com, req.target, {});
    com->targbyrc = match_target_by(com, req, com->targfid->reader->header());
    if (com->targbyrc == 0) {
      // Reopen with the BY variables so that its groups can be walked.
      com->step->inputs.pop_back();
      com->targfid = factopen_input(com, req.target, req.by);
    }
    fopt_set(com, kFoptTarget);
  }

  allocate_arrays(com);
  auto* names = static_cast<longlname*>(
      factalloc(com, 2 * static_cast<std::uint64_t>(com->ntot) * sizeof(longlname)));
  com->vname = names;
  com->vnamer = names + com->ntot;
  for (int j = 0; j < com->nvar; ++j) {
    const Variable& v = h.vars[static_cast<std::size_t>(vars[static_cast<std::size_t>(j)])];
    copy_name(com->vname[j], v.name);
    copy_name(com->vnamer[j], v.label.empty() ? v.name : v.label);
    com->maxnam = std::max(com->maxnam, static_cast<int>(v.name.size()));
    com->maxlab = std::max(com->maxlab, static_cast<int>(v.label.size()));
  }

  factoin(com);
  zranms(com, com->seed, 1);
  load_extension(com);
  if (com->rc > 999) xexit(com->rc, 0);
}

}  // namespace kav
