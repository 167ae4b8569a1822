// Path diagrams: factors as ovals, variables as rectangles, an arrow from a
// factor to each variable it loads on, and double-headed links for the
// factor variances, the factor correlations and the error variances.  The
// procedure writes the nodes and links as the table PathDiagramData and
// leaves the drawing to the PathDiagram graph template, so the table holds
// every number the picture shows.
#include "factor/output/factpdg.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/rotate/rotation_registry.h"
#include "factor/state/factmsg.h"
#include "factor/state/factorg.h"
#include "factor/state/stages.h"
#include "factor/state/step_record.h"
#include "host/log.h"
#include "host/output.h"
#include "host/services.h"
#include "host/value.h"

namespace kav {

namespace {

namespace F = factorg_field;
namespace PD = factorg_pd;

constexpr int kText = 32;  // width of the table's text columns
constexpr int kArrangeFlow = 2, kArrangeGrouped = 3, kArrangeGrip = 4, kArrangeAutomatic = 9;
constexpr int kNodeVarName = 1;
constexpr int kMethodMl = 5;

std::string msg(int number, const std::vector<std::string>& args = {}) {
  return format_message(kFactorGroup, number, args);
}

std::string cut(std::string s, std::size_t n = kText) {
  if (s.size() > n) s.resize(n);
  return s;
}

std::string stripped_upper(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  std::string r = s.substr(a, b - a);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

double packed(const double* a, int i, int j) {
  if (i < j) std::swap(i, j);
  return a[static_cast<std::size_t>(i) * (i + 1) / 2 + static_cast<std::size_t>(j)];
}

// Whether the solution the diagram shows is oblique: the last rotation done
// decides, and without one an input pattern that came with factor
// correlations.
bool final_oblique(const COMSTR* com) {
  if (com->nrot > 0 && com->rmethod) {
    int last = kRotNone;
    for (int i = 0, done = 0; done < com->nrot; ++i) {
      if (com->rmethod[i] == kRotNone) continue;
      last = com->rmethod[i];
      ++done;
    }
    return oblsol(last);
  }
  if (com->rmethod2 != kRotNone) return oblsol(com->rmethod2);
  if (com->rmethod0 != kRotNone) return oblsol(com->rmethod0);
  return com->nfc > 0;
}

struct PDSETTINGS {
  std::string algorithm;  // flow, groupedflow, grip
  double height = 0, width = 0;
  int nodelabel = 2;
  int decp = 2;
  double factorsize = 1.5;
  double cutoff = 0.3;
  double level = 0, cover = 0;  // missing when absent
  bool estimates = true, errvar = true, factvar = true;
  std::string title, label;
  int textmin = 10;
  double scale = 1;
  std::vector<std::pair<std::string, std::string>> labels;
};

PDSETTINGS settings(COMSTR* com, const ParsedRecord* s, int number) {
  PDSETTINGS set;
  const ParsedRecord empty;
  const ParsedRecord& r = s ? *s : empty;
  const int nvar = com->nvar, m = com->nfact;

  const int arrange = r.has(PD::kArrange) ? r[PD::kArrange].code : 0;
  const std::string by_size = nvar <= 14 ? "flow" : "grip";
  switch (arrange) {
    case kArrangeFlow:
      set.algorithm = "flow";
      break;
    case kArrangeGrouped:
      set.algorithm = "groupedflow";
      break;
    case kArrangeGrip:
      set.algorithm = "grip";
      break;
    default:
      set.algorithm = by_size;
  }
  if (set.algorithm == "flow" && arrange != kArrangeAutomatic)
    set.height = 800, set.width = 450;
  else if (set.algorithm == "groupedflow")
    set.height = 500, set.width = 720;
  else
    set.height = 600, set.width = 600;
  if (r.has(PD::kDesignheight)) set.height = r[PD::kDesignheight].number;
  if (r.has(PD::kDesignwidth)) set.width = r[PD::kDesignwidth].number;

  if (r.has(PD::kNodelabel)) set.nodelabel = r[PD::kNodelabel].code;
  if (r.has(PD::kDecp)) set.decp = static_cast<int>(r[PD::kDecp].number);
  if (r.has(PD::kFactorsize)) set.factorsize = r[PD::kFactorsize].number;
  if (set.factorsize < 0.2) {
    com->host->xpmlog(kFactorGroup, kMsgPdFactorSize, {"FACTORSIZE="});
    set.factorsize = 0.2;
  }
  const bool proc_fuzz = com->step && com->step->parsed.proc.has(F::kFuzz);
  set.cutoff = r.has(PD::kFuzz) ? r[PD::kFuzz].number : proc_fuzz ? com->fuzz : 0.3;

  // The significance level and the coverage value: the statement's, else
  // the procedure's; either one alone brings a default for the other.
  double level = r.has(PD::kAlpha) ? r[PD::kAlpha].number : com->alpha;
  if (!is_missing(level) && level > 1) level /= 100;
  double cover = r.has(PD::kCover)                 ? r[PD::kCover].number
                 : fopt_test(com, kFoptIntervals) ? com->cover
                                                   : missing_value();
  if (is_missing(level) && !is_missing(cover)) level = 0.05;
  if (is_missing(cover) && !is_missing(level)) cover = 0;
  set.level = level;
  set.cover = cover;

  set.estimates = !r.bit(PD::kNoestim);
  set.errvar = !r.bit(PD::kNoerrvar) && !r.bit(PD::kNovariance);
  set.factvar = !r.bit(PD::kNofactorvar) && !r.bit(PD::kNovariance);

  const std::string standard =
      number > 0 ? msg(kMsgPdTitleNumbered, {std::to_string(number)}) : msg(kMsgPdTitle);
  if (r.bit(PD::kNotitle))
    set.title.clear();
  else
    set.title = r.has(PD::kTitle) ? cut(r[PD::kTitle].text, 200) : standard;
  set.label = r.has(PD::kDiagramlabel) ? cut(r[PD::kDiagramlabel].text, 40)
              : set.title.empty()      ? standard
                                       : set.title;
  if (r.has(PD::kTextsizemin)) set.textmin = static_cast<int>(r[PD::kTextsizemin].number);

  const int n = m + nvar;
  set.scale = n < 16 ? 1.0
              : n < 50 ? 0.65 + 0.05 * static_cast<int>((49 - n) / 5)
              : n < 60 ? 0.6
              : n < 70 ? 0.55
                       : 0.5;
  if (r.has(PD::kDiagramscale)) set.scale = std::max(0.1, r[PD::kDiagramscale].number);
  set.labels = r[PD::kLabel].pairs;
  return set;
}

std::string estimate_text(double v, int decp) {
  if (is_missing(v)) return ".";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%7.*f", decp, v);
  std::string s = buf;
  s.erase(0, s.find_first_not_of(' '));
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);
  return s;
}

struct PDTABLE {
  Table table;
  int links = 0;
  // Column positions.
  enum : std::size_t {
    kNodeId,
    kVarLabel,
    kNodeLabel,
    kNodeShape,
    kNodeSize,
    kNodePriority,
    kLinkId,
    kFromId,
    kToId,
    kLinkDir,
    kLinkLabel,
    kPathVal,
    kPathSe,
    kLinkPriority,
    kColumns
  };

  PDTABLE() {
    table.name = "PathDiagramData";
    table.template_path = std::string(kTablePrefix) + "PathDiagramData";
    table.link_key = "PathDiagramData";
    for (const char* name : {"NodeId", "VarLabel", "NodeLabel", "NodeShape"})
      table.add_column(name, ColumnKind::Text).hidden = true;
    for (const char* name : {"NodeSize", "NodePriority"})
      table.add_column(name, ColumnKind::Number).hidden = true;
    for (const char* name : {"LinkId", "FromId", "ToId", "LinkDir", "LinkLabel"})
      table.add_column(name, ColumnKind::Text).hidden = true;
    for (const char* name : {"PathVal", "PathSe", "LinkPriority"})
      table.add_column(name, ColumnKind::Number).hidden = true;
  }
  Row blank() const {
    Row r(kColumns);
    for (std::size_t k = 0; k < kColumns; ++k)
      r[k] = table.columns[k].kind == ColumnKind::Text ? Cell(std::string()) : Cell(missing_value());
    return r;
  }
  void link(const std::string& from, const std::string& to, bool both, const std::string& label,
            bool salient) {
    Row r = blank();
    r[kLinkId] = "Link" + std::to_string(++links);
    r[kFromId] = cut(from);
    r[kToId] = cut(to);
    r[kLinkDir] = std::string(both ? "Both" : "To");
    r[kLinkLabel] = cut(label);
    r[kLinkPriority] = salient ? 1.0 : -1.0;
    table.add_row(std::move(r));
  }
  void node(const std::string& id, const std::string& var_label, const std::string& label,
            bool oval, double size) {
    Row r = blank();
    r[kNodeId] = cut(id);
    r[kVarLabel] = cut(var_label);
    r[kNodeLabel] = cut(label);
    r[kNodeShape] = std::string(oval ? "oval" : "rectangle");
    r[kNodeSize] = size;
    r[kNodePriority] = oval ? 1.0 : 2.0;
    table.add_row(std::move(r));
  }
};

}  // namespace

int FindLabel(std::string* label, const std::vector<std::pair<std::string, std::string>>& pairs,
              const std::string& name) {
  const std::string want = stripped_upper(name);
  int found = 0;
  for (const auto& [n, l] : pairs)
    if (stripped_upper(n) == want) {
      *label = l;
      found = 1;
    }
  return found;
}

bool factpdsal(double r, double se, double z, double cover, bool fisher) {
  if (is_missing(r) || is_missing(se) || is_missing(z)) return false;
  double lower, upper;
  if (fisher) {
    if (!(std::fabs(r) < 1)) return std::fabs(r) > cover;
    const double a = (1 + r) / (1 - r);
    const double b = std::exp(2 * z * se / (1 - r * r));
    lower = (a / b - 1) / (a / b + 1);
    upper = (a * b - 1) / (a * b + 1);
  } else {
    lower = r - z * se;
    upper = r + z * se;
  }
  return lower > cover || upper < -cover;
}

namespace {

// How a link is judged salient: by a test of its estimate against the
// cover at the two-sided level (z its normal quantile) when the solution
// has standard errors, else by the loading's size against the cutoff.
// Orthogonal loadings are correlations, whose intervals come from Fisher's
// transformation; oblique pattern loadings are regression weights.
struct Salience {
  bool testing;
  double z;
  bool fisher_loadings;
};

Salience salience_rule(COMSTR* com, const PDSETTINGS& set) {
  bool testing = com->fmethod == kMethodMl && com->factse && !is_missing(set.level) &&
                 !is_missing(set.cover);
  double z = 0;
  if (testing && set.level <= 1e-8) {
    com->host->xpmlog(kFactorGroup, kMsgPdLevelTooSmall);
    testing = false;
  }
  if (testing) z = factnqnt(1 - set.level / 2);
  return {testing, z, !fopt_test(com, kFoptOblique)};
}

// A link from each factor to each variable; `connected` marks the variables
// that some salient loading reaches.
void link_loadings(COMSTR* com, PDTABLE& pd, const PDSETTINGS& set, const Salience& rule,
                   std::vector<char>& connected) {
  const int nvar = com->nvar, m = com->nfact;
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < nvar; ++i) {
      const std::size_t at = static_cast<std::size_t>(j) * nvar + i;
      const double a = com->fact[at];
      bool salient;
      if (rule.testing)
        salient = factpdsal(a, com->factse[at], rule.z, set.cover, rule.fisher_loadings);
      else
        salient = !is_missing(a) && std::fabs(a) > set.cutoff;
      if (salient) connected[static_cast<std::size_t>(i)] = 1;
      pd.link(factfnam(com, j), factvnam(com, i), false,
              set.estimates ? estimate_text(a, set.decp) : "", salient);
    }
}

// The factors' unit variances (with FACTVAR) and, for an oblique solution,
// their correlations; a correlation that is not significant is said in the
// log.
void link_factors(COMSTR* com, PDTABLE& pd, const PDSETTINGS& set, const Salience& rule,
                  bool oblique) {
  const int m = com->nfact;
  for (int j = 0; j < m; ++j)
    for (int k = 0; k <= j; ++k) {
      if (k == j) {
        if (set.factvar)
          pd.link(factfnam(com, j), factfnam(com, j), true, set.estimates ? "1" : "", true);
        continue;
      }
      if (!oblique || !com->fcor) continue;
      const double r = packed(com->fcor, j, k);
      bool salient = true;
      if (rule.testing && com->fcorse) {
        salient = factpdsal(r, packed(com->fcorse, j, k), rule.z, 1e-8, true);
        if (!salient) com->host->xpmlog(kFactorGroup, kMsgPdCorrNotSignificant, {factfnam(com, j)});
      }
      pd.link(factfnam(com, k), factfnam(com, j), true,
              set.estimates ? estimate_text(r, set.decp) : "", salient);
    }
}

// The variables' error variances, 1 - communality, with ERRVAR.
void link_error_variances(COMSTR* com, PDTABLE& pd, const PDSETTINGS& set) {
  if (!set.errvar || !com->communal) return;
  for (int i = 0; i < com->nvar; ++i) {
    const double e = is_missing(com->communal[i]) ? missing_value() : 1 - com->communal[i];
    const std::string text = !set.estimates ? "" : e == 0 ? "0" : estimate_text(e, set.decp);
    pd.link(factvnam(com, i), factvnam(com, i), true, text, true);
  }
}

// The nodes: the variables (a variable no salient link reaches is said in
// the log), then the factors, each with the label asked for.
void add_nodes(COMSTR* com, PDTABLE& pd, const PDSETTINGS& set, const Salience& rule,
               const std::vector<char>& connected) {
  char cutoff[32];
  std::snprintf(cutoff, sizeof cutoff, "%g", set.cutoff);
  for (int i = 0; i < com->nvar; ++i) {
    const std::string name = factvnam(com, i), var_label = factvlab(com, i);
    if (!connected[static_cast<std::size_t>(i)]) {
      if (rule.testing)
        com->host->xpmlog(kFactorGroup, kMsgPdNotSignificant, {name});
      else
        com->host->xpmlog(kFactorGroup, kMsgPdNotLinked, {cutoff, name});
    }
    std::string label;
    if (!FindLabel(&label, set.labels, name))
      label = set.nodelabel == kNodeVarName || var_label.empty() ? name : var_label;
    pd.node(name, var_label, label, false, 2);
  }
  for (int j = 0; j < com->nfact; ++j) {
    const std::string name = factfnam(com, j);
    std::string label;
    if (!FindLabel(&label, set.labels, name)) label = name;
    pd.node(name, "", label, true, 2 * set.factorsize);
  }
}

// The graph drawn from the table, with the diagram's size, text, scale,
// layout and title.  0, or -1 when memory ran out; another failure of the
// delivery ends the output.
int add_diagram_graph(COMSTR* com, const PDSETTINGS& set) {
  Graph g;
  g.name = "PathDiagram";
  g.label = set.label;
  g.template_path = std::string(kGraphPrefix) + "PathDiagram";
  g.link_keys = {"PathDiagramData"};
  g.dynamics.push_back({"_DesignHeight", set.height});
  g.dynamics.push_back({"_DesignWidth", set.width});
  g.dynamics.push_back({"_TextSizeMin", std::to_string(set.textmin) + "pt"});
  g.dynamics.push_back({"_pdScale", set.scale});
  g.dynamics.push_back({"_pdalg", set.algorithm});
  g.dynamics.push_back({"_TitleText", set.title});
  std::string why;
  try {
    com->ods->delivery->add_graph(std::move(g));
    return 0;
  } catch (const std::bad_alloc&) {
    return -1;
  } catch (const std::exception& e) {
    why = e.what();
  }
  zodsexit(com, odsstatus(1, 1), why);
  return 0;
}

}  // namespace

int Render_a_PD(COMSTR* com, const ParsedRecord* statement, int number) {
  if (!com->ods || !com->fact || com->nfact < 1) return 0;
  const int nvar = com->nvar, m = com->nfact;
  PDSETTINGS set = settings(com, statement, number);
  const Salience rule = salience_rule(com, set);
  const bool oblique = final_oblique(com);

  try {
    PDTABLE pd;
    std::vector<char> connected(static_cast<std::size_t>(nvar), 0);
    const std::size_t cells = static_cast<std::size_t>(nvar) * static_cast<std::size_t>(m);
    pd.table.rows.reserve(cells + static_cast<std::size_t>(m * (m + 1) / 2 + 2 * nvar + m));
    link_loadings(com, pd, set, rule, connected);
    link_factors(com, pd, set, rule, oblique);
    link_error_variances(com, pd, set);
    add_nodes(com, pd, set, rule, connected);
    pd.table.label = set.label;
    factoadd(com, std::move(pd.table));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return add_diagram_graph(com, set);
}

void factpdg(COMSTR* com) {
  if (!com->ods || !com->step) return;
  const auto& list = com->step->parsed.statements;
  std::vector<const ParsedRecord*> statements;
  std::size_t at = 0, found = 0;
  while (at < list.size() && findstmt("PATHDIAG", nullptr, list, at, &found, 0, nullptr, 0) == 1) {
    statements.push_back(&list[found].record);
    at = found + 1;
  }
  if (statements.size() <= 1) {
    if (Render_a_PD(com, statements.empty() ? nullptr : statements[0], 0) != 0)
      com->host->xpmlog(kFactorGroup, kMsgPdNoMemory);
    return;
  }
  com->ods->delivery->open_group("PathDiagrams", msg(kMsgPdGroup));
  for (std::size_t k = 0; k < statements.size(); ++k)
    if (Render_a_PD(com, statements[k], static_cast<int>(k) + 1) != 0) {
      com->host->xpmlog(kFactorGroup, kMsgPdNoMemory);
      break;
    }
  com->ods->delivery->close_group();
}

}  // namespace kav
