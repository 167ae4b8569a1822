// The procedure's plots.  Character plots go to the listing as text (the
// scree plot drawn with the small plot package below, the factor plots on
// their fixed grid); statistical graphs leave as graph objects that name
// their template and the hidden tables they are drawn from, so every value
// a graph shows can also be read from the results.
#include "factor/output/factplo.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/state/factmsg.h"
#include "factor/state/factorg.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/format.h"
#include "host/log.h"
#include "host/output.h"
#include "host/services.h"
#include "host/step.h"
#include "host/value.h"
#include "tkxfac/tkxfac.h"

namespace kav {

namespace {

namespace F = factorg_field;
namespace PO = factorg_plotopt;

constexpr double kPi = 3.141592653589793;
constexpr double kAxisFuzz = 1.053671212772351e-8;
constexpr double kTiny = 2.225073858507202e-308;

std::string msg(int number, const std::vector<std::string>& args = {}) {
  return format_message(kFactorGroup, number, args);
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  std::size_t k = 0;
  while (k < s.size() && s[k] == ' ') ++k;
  return s.substr(k);
}

std::string spaces(int n) {
  return std::string(static_cast<std::size_t>(std::max(n, 0)), ' ');
}

std::string centred(const std::string& text, int width) {
  return spaces((width - static_cast<int>(text.size())) / 2) + text;
}

std::string trim_right(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  // A rounded negative zero reads as a sign error.
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);
  return s;
}

// Graphs and groups go straight to the delivery layer; a failure there is
// an output failure of the step like any table's.
OutputDelivery* delivery(COMSTR* com) {
  return com->ods ? com->ods->delivery : nullptr;
}

void add_graph(COMSTR* com, Graph graph) {
  OutputDelivery* d = delivery(com);
  if (!d) return;
  std::string why;
  try {
    d->add_graph(std::move(graph));
    return;
  } catch (const std::exception& e) {
    why = e.what();
  }
  zodsexit(com, odsstatus(1, 1), why);
}

void add_note(COMSTR* com, const std::string& name, std::vector<std::string> lines) {
  OutputDelivery* d = delivery(com);
  if (!d) return;
  std::string why;
  try {
    d->add_note(Note{name, std::move(lines)});
    return;
  } catch (const std::exception& e) {
    why = e.what();
  }
  zodsexit(com, odsstatus(1, 1), why);
}

// A group inside the solution's group, closed by the same routine that
// opened it.
void open_plot_group(COMSTR* com, const char* name, int label) {
  if (OutputDelivery* d = delivery(com)) d->open_group(name, msg(label));
}
void close_plot_group(COMSTR* com) {
  if (OutputDelivery* d = delivery(com)) d->close_group();
}

// ---------------------------------------------------------------------------
// PLOTS= options

struct PLOTOPT {
  bool flip = false, vector = false, plotref = false, circle = false, unpack = false;
  int nplot = 0;                 // 0: not given
  std::vector<double> circles;  // CIRCLE= values
};

void read_options(const ParsedRecord& r, PLOTOPT& o) {
  o.flip = o.flip || r.bit(PO::kFlip);
  o.vector = o.vector || r.bit(PO::kVector);
  o.plotref = o.plotref || r.bit(PO::kPlotref);
  o.unpack = o.unpack || r.bit(PO::kUnpack);
  if (r.bit(PO::kCircle) || r.has(PO::kCircleValues)) o.circle = true;
  if (r.has(PO::kCircleValues)) o.circles = r[PO::kCircleValues].numbers;
  if (r.has(PO::kNplot)) o.nplot = static_cast<int>(r[PO::kNplot].number);
}

// The options of PLOTS(options)= (`general`) and those given with the
// request `code` itself (`own`).
void plot_options(const COMSTR* com, int code, PLOTOPT* general, PLOTOPT* own) {
  if (!com->step) return;
  const FieldValue& plots = com->step->parsed.proc[F::kPlots];
  if (plots.sub && general) read_options(*plots.sub, *general);
  if (!own) return;
  for (const ListItem& item : plots.items)
    if (item.code == code && item.options) read_options(*item.options, *own);
}

}  // namespace

// ---------------------------------------------------------------------------
// Character-plot package

std::string ZPAXIS::tick_label(double value) const {
  return fixed(value, decimals);
}

void zscale(ZPAXIS* a) {
  double lo = std::min(a->min, a->max), hi = std::max(a->min, a->max);
  const double big = std::max(std::fabs(lo), std::fabs(hi));
  if (hi - lo < kAxisFuzz * big || hi - lo < 2.225073858507202e-305) {
    const double centre = (lo + hi) / 2;
    const double widen = a->step > 0 ? a->step : std::fabs(centre) > 0 ? std::fabs(centre) : 1.0;
    lo = centre - widen;
    hi = centre + widen;
  }
  if (a->include_zero) {
    lo = std::min(lo, 0.0);
    hi = std::max(hi, 0.0);
  }
  const int wanted = a->intervals > 0 ? a->intervals : 5;
  static const double kAccept[] = {1, 2, 2.5, 5, 10};
  // The step for a raw step t, and the next finer accepted step.
  auto choose = [](double t, int* index, double* power) {
    const double e = std::floor(std::log10(t));
    *power = std::pow(10.0, e);
    const double m = t / *power - 1.110223024625157e-13;
    for (int k = 0; k < 5; ++k)
      if (kAccept[k] >= m) {
        *index = k;
        return kAccept[k] * *power;
      }
    *index = 4;
    return 10 * *power;
  };
  int index = 0;
  double power = 1;
  double step = choose((hi - lo) / wanted, &index, &power);
  auto limits = [&](double s, double* l, double* u) {
    const double eps = s * kAxisFuzz;
    *l = std::floor((lo + eps) / s) * s;
    *u = std::ceil((hi - eps) / s) * s;
    if (*u <= *l) *u = *l + s;
    return static_cast<int>(std::llround((*u - *l) / s));
  };
  double l = 0, u = 0;
  int got = limits(step, &l, &u);
  // A step that leaves far fewer intervals than asked for gives a bare axis:
  // one accepted multiplier finer is tried.
  if (got < std::max(2, wanted / 2)) {
    const double finer = index > 0 ? kAccept[index - 1] * power : 5 * power / 10;
    double l2 = 0, u2 = 0;
    const int got2 = limits(finer, &l2, &u2);
    if (got2 <= 2 * wanted) {
      step = finer, l = l2, u = u2, got = got2;
    }
  }
  a->min = l;
  a->max = u;
  a->step = step;
  a->intervals = got;
  // Enough decimals for every tick: 2.5 times a power of ten needs one more.
  const double e = std::floor(std::log10(step) + 1e-9);
  int decimals = e < 0 ? static_cast<int>(-e) : 0;
  const double mantissa = step / std::pow(10.0, e);
  if (std::fabs(mantissa - 2.5) < 1e-9 && e <= 0) ++decimals;
  a->decimals = decimals;
}

int zpgrini(ZPGRAF* g, ZPAXIS* h, ZPAXIS* v) {
  g->h = h;
  g->v = v;
  g->area.clear();
  // Room outside the area: title and blank, the vertical label, the
  // horizontal axis with its tick labels and label, and the two lines the
  // page keeps free.
  int rows = g->rows > 0 ? g->rows : std::max(10, g->pagesize - 2 - 7);
  if (v->intervals <= 0) v->intervals = std::max(2, rows / 5);
  zscale(v);
  int width = 0;
  for (int k = 0; k <= v->intervals; ++k)
    width = std::max(width, static_cast<int>(v->tick_label(v->min + k * v->step).size()));
  g->tick_width = std::min(std::max(width, 1), 12);
  int columns = g->columns > 0 ? g->columns : std::max(20, g->linesize - g->tick_width - 2 - 2);
  if (h->intervals <= 0) h->intervals = std::max(2, columns / 8);
  zscale(h);
  // Whole cells per interval, so that every tick falls on a cell.
  const int per_row = std::max(1, (rows - 1) / v->intervals);
  const int per_column = std::max(1, (columns - 1) / h->intervals);
  g->rows = v->intervals * per_row + 1;
  g->columns = h->intervals * per_column + 1;
  g->dy = v->step / per_row;
  g->dx = h->step / per_column;
  if (static_cast<double>(g->rows) * g->columns >= 2147483648.0) return 1;
  try {
    g->area.assign(static_cast<std::size_t>(g->rows),
                   std::string(static_cast<std::size_t>(g->columns), ' '));
  } catch (const std::bad_alloc&) {
    g->area.clear();
    return 1;
  }
  return 0;
}

std::pair<int, int> zpgrafd(ZPGRAF* g, char symbol, double x, double y) {
  if (g->area.empty()) return {-1, -1};
  auto cell = [](double value, double origin, double per_cell, int cells) {
    const double t = std::trunc((value - origin) / per_cell + 0.5 + kAxisFuzz);
    if (!(t > 0)) return 0;  // also a NaN
    return static_cast<int>(std::min(t, static_cast<double>(cells - 1)));
  };
  const int c = cell(x, g->h->min, g->dx, g->columns);
  const int r = cell(y, g->v->min, g->dy, g->rows);
  char& at = g->area[static_cast<std::size_t>(g->rows - 1 - r)][static_cast<std::size_t>(c)];
  if (at == ' ') at = symbol;
  return {r, c};
}

std::vector<std::string> zpgrafp(const ZPGRAF& g) {
  std::vector<std::string> lines;
  if (g.area.empty() || !g.h || !g.v) return lines;
  const int per_row = (g.rows - 1) / std::max(g.v->intervals, 1);
  const int per_column = (g.columns - 1) / std::max(g.h->intervals, 1);
  const int left = g.tick_width + 2;  // tick labels, a blank and the axis
  lines.push_back(g.v->label);
  for (int k = 0; k < g.rows; ++k) {
    const int r = g.rows - 1 - k;  // from the bottom
    std::string line;
    if (r % per_row == 0) {
      const std::string label = g.v->tick_label(g.v->min + (r / per_row) * g.v->step);
      line = spaces(g.tick_width - static_cast<int>(label.size())) + label + " +";
    } else {
      line = spaces(g.tick_width) + " |";
    }
    lines.push_back(trim_right(line + g.area[static_cast<std::size_t>(k)]));
  }
  std::string axis = spaces(g.tick_width) + " +";
  for (int c = 0; c < g.columns; ++c) axis += c % per_column == 0 ? '+' : '-';
  lines.push_back(axis);
  // Tick labels centred under their ticks, each clear of the one before.
  std::string ticks;
  for (int m = 0; m <= g.h->intervals; ++m) {
    const std::string label = g.h->tick_label(g.h->min + m * g.h->step);
    const int at = left + m * per_column - static_cast<int>(label.size() - 1) / 2;
    const int room = static_cast<int>(ticks.size()) + (ticks.empty() ? 0 : 1);
    if (at < room) continue;
    ticks += spaces(at - static_cast<int>(ticks.size())) + label;
  }
  lines.push_back(ticks);
  lines.push_back(spaces(left) + centred(g.h->label, g.columns));
  return lines;
}

void zpgrafe(ZPGRAF* g, std::vector<std::string>* lines) {
  std::vector<std::string> printed = zpgrafp(*g);
  if (lines) lines->insert(lines->end(), printed.begin(), printed.end());
  g->area.clear();
  g->area.shrink_to_fit();
}

// ---------------------------------------------------------------------------
// Scree and variance plots

namespace {

std::string axis_label(int number) {
  std::string s = trim(msg(number));
  if (s.size() > 40) s.resize(40);
  return trim_right(s);
}

// The character scree plot; false when the plot could not be prepared.
bool character_scree(COMSTR* com) {
  const int n = com->nvar, i0 = com->iscree;
  const double* ev = com->eigval;
  ZPAXIS h, v;
  h.label = axis_label(kMsgScreeAxisNumber);
  v.label = axis_label(kMsgScreeAxisEigenvalue);
  h.min = i0;
  h.max = n;
  // Ranks are whole numbers: about one tick per rank, fewer when many.
  h.intervals = std::clamp(n - i0, 1, 20);
  v.min = std::min(0.0, ev[n - 1]);
  v.max = ev[i0];
  ZPGRAF g;
  g.pagesize = com->host->options().pagesize;
  g.linesize = com->host->options().linesize;
  if (zpgrini(&g, &h, &v) != 0) return false;

  for (int i = i0; i < n; ++i) {
    if (is_missing(ev[i])) continue;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%8d", i + 1);
    zpgrafd(&g, digits[7], i + 1, ev[i]);
  }
  std::vector<std::string> body;
  zpgrafe(&g, &body);
  int width = 0;
  for (const std::string& line : body) width = std::max(width, static_cast<int>(line.size()));
  std::vector<std::string> lines = {centred(msg(kMsgScreeTitle), width), ""};
  lines.insert(lines.end(), body.begin(), body.end());
  add_note(com, "ScreePlot", std::move(lines));
  return true;
}

void scree_graphs(COMSTR* com) {
  if (com->scree_path[0] == '\0') return;  // the Eigenvalues table was not linked
  PLOTOPT general, own;
  plot_options(com, kPlotScree, &general, &own);
  const std::string prefix = kGraphPrefix;
  if (!general.unpack && !own.unpack) {
    Graph g;
    g.name = "ScreePlot";
    g.label = msg(kMsgScreeVarianceLabel);
    g.template_path = prefix + "ScreePlot2";
    g.link_keys = {com->scree_path};
    add_graph(com, std::move(g));
    return;
  }
  open_plot_group(com, "ScreeAndVarExp", kMsgScreeVarianceLabel);
  Graph scree;
  scree.name = "ScreePlot";
  scree.label = msg(kMsgScreeLabel);
  scree.template_path = prefix + "ScreePlot1";
  scree.link_keys = {com->scree_path};
  add_graph(com, std::move(scree));
  Graph variance;
  variance.name = "VariancePlot";
  variance.label = msg(kMsgVarianceLabel);
  variance.template_path = prefix + "VariancePlot";
  variance.dynamics.push_back({"Title", msg(kMsgVarianceTitle)});
  variance.link_keys = {com->scree_path};
  add_graph(com, std::move(variance));
  close_plot_group(com);
}

}  // namespace

void factscre(COMSTR* com) {
  if (com->fscree || !com->ods || !com->eigval) return;
  if (fopt_test(com, kFoptScree) && com->iscree < com->nvar && !character_scree(com)) {
    com->host->xpmlog(kFactorGroup, kMsgScreeNoPlot);
    return;
  }
  if (com->graphics && fopt_test(com, kFoptPlotScree)) scree_graphs(com);
  com->fscree = 1;
}

// ---------------------------------------------------------------------------
// Character factor plots

namespace {

constexpr int kGridRows = 41;
constexpr int kGridColumns = 64;
constexpr char kAxisCharacters[] = "1 9 8 7 6 5 4 3 2 1 0 1 2 3 4 5 6 7 8 9 1";
constexpr char kTickLine[] = "-1 -.9-.8-.7-.6-.5-.4-.3-.2-.1  0 .1 .2 .3 .4 .5 .6 .7 .8 .9 1.0";
static_assert(sizeof kAxisCharacters - 1 == kGridRows);
static_assert(sizeof kTickLine - 1 == kGridColumns);

// The row's band of values: [1 - 0.05 r, 1.05 - 0.05 r), the end rows
// open towards any value a loading can take.
std::pair<double, double> band(int r) {
  const double lo = r == kGridRows - 1 ? -1000.0 : 1.0 - 0.05 * r;
  const double hi = r == 0 ? 1000.0 : 1.05 - 0.05 * r;
  return {lo, hi};
}

const char* plot_name(int stage, bool reference) {
  if (stage == 1) return reference ? "InitRefStructurePlot" : "InitPatternPlot";
  if (stage == -1) return reference ? "PreRefStructurePlot" : "PrePatternPlot";
  return reference ? "RefStructurePlot" : "PatternPlot";
}

double packed(const double* a, int i, int j) {
  if (i < j) std::swap(i, j);
  return a[static_cast<std::size_t>(i) * (i + 1) / 2 + static_cast<std::size_t>(j)];
}

std::string short_name(const COMSTR* com, int k) {
  std::string s = factvnam(com, k);
  if (s.size() > 8) s.resize(8);
  return s;
}

// One plot: factor i vertically against factor j horizontally.
void plotfac(COMSTR* com, const double* x, bool reference, bool oblique, int i, int j) {
  const int nvar = com->nvar;
  const std::string fi = factfnam(com, i), fj = factfnam(com, j);
  std::vector<std::string> lines;
  lines.push_back(msg(reference ? kMsgPlotRefTitle : kMsgPlotPatternTitle, {fi, fj}));
  if (oblique) {
    const double* c = reference ? com->rcor : com->fcor;
    if (c) {
      const double r = std::clamp(packed(c, i, j), -1.0, 1.0);
      lines.push_back(msg(reference ? kMsgPlotRefAngle : kMsgPlotPatternAngle,
                          {fixed(std::acos(r) * 180 / kPi, 1)}));
    }
  }
  lines.emplace_back();
  const int left = 2;  // the axis character and the axis line
  lines.push_back(spaces(left) + centred(fi, kGridColumns));

  std::vector<std::string> grid(kGridRows, std::string(kGridColumns, ' '));
  grid[20] = kTickLine;
  std::vector<char> symbol(static_cast<std::size_t>(nvar), ' ');
  const int pc = com->plotchar;
  for (int r = 0; r < kGridRows; ++r) {
    const auto [lo, hi] = band(r);
    for (int k = 0; k < nvar; ++k) {
      const double vy = x[static_cast<std::size_t>(i) * nvar + k];
      const double vx = x[static_cast<std::size_t>(j) * nvar + k];
      if (is_missing(vy) || is_missing(vx) || !(vy >= lo && vy < hi)) continue;
      const int column = factplot_column(vx);
      std::string& row = grid[static_cast<std::size_t>(r)];
      if (pc == 0) {
        char& cell = row[static_cast<std::size_t>(column - 1)];
        const char own = static_cast<char>('A' + k % 26);
        if (!std::isalpha(static_cast<unsigned char>(cell))) cell = own;
        symbol[static_cast<std::size_t>(k)] = cell;
      } else {
        std::string name = short_name(com, k);
        if (pc > 0)
          name.resize(std::min(name.size(), static_cast<std::size_t>(pc)));
        else
          name = name.substr(std::min(name.size(), static_cast<std::size_t>(-std::int64_t{pc})));
        const int len = static_cast<int>(name.size());
        const int start = std::max(1, std::min(kGridColumns - len, column - len / 2 - 1));
        for (int c = 0; c < len; ++c) row[static_cast<std::size_t>(start - 1 + c)] = name[c];
      }
    }
  }
  // The horizontal factor's name runs down the right-hand side when the
  // line has room for it.
  const int linesize = com->host->options().linesize;
  const bool side = linesize >= left + kGridColumns + 3;
  const int first = 20 - static_cast<int>(fj.size()) / 2;
  for (int r = 0; r < kGridRows; ++r) {
    const char a = kAxisCharacters[r];
    std::string line = std::string(1, a) + (std::isdigit(static_cast<unsigned char>(a)) ? '+' : '|');
    line += grid[static_cast<std::size_t>(r)];
    const int at = r - std::max(first, 0);
    if (side && at >= 0 && at < static_cast<int>(fj.size()))
      line += "  " + std::string(1, fj[static_cast<std::size_t>(at)]);
    lines.push_back(trim_right(line));
  }

  if (pc == 0) {
    const int per_line = std::max(1, (linesize + 4) / 14);
    std::vector<std::string> entries;
    for (int k = 0; k < nvar; ++k) {
      if (symbol[static_cast<std::size_t>(k)] == ' ') continue;  // not in the plot
      std::string name = factvnam(com, k);
      if (name.size() > 10) name.resize(10);
      entries.push_back(name + "=" + symbol[static_cast<std::size_t>(k)]);
    }
    if (!entries.empty()) lines.emplace_back();
    const bool one_line = static_cast<int>(entries.size()) <= per_line;
    for (std::size_t e = 0; e < entries.size(); e += static_cast<std::size_t>(per_line)) {
      std::string line;
      for (std::size_t k = e; k < entries.size() && k < e + static_cast<std::size_t>(per_line); ++k) {
        std::string entry = entries[k];
        entry.resize(14, ' ');
        line += entry;
      }
      line = trim_right(line);
      lines.push_back(one_line ? centred(line, left + kGridColumns) : line);
    }
  }
  add_note(com, "PatternPlot", std::move(lines));
}

}  // namespace

int factplot_row(double value) {
  for (int r = 0; r < kGridRows; ++r) {
    const auto [lo, hi] = band(r);
    if (value >= lo && value < hi) return r;
  }
  return -1;
}

int factplot_column(double value) {
  const double c = std::trunc(30 * value + 33);
  return static_cast<int>(std::max(1.0, std::min(64.0, c)));
}

void factplt(COMSTR* com, int oblique, int stage) {
  if (!com->ods || com->nfact < 1 || !com->fact) return;
  const bool reference = oblique && fopt_test(com, kFoptPlotRef) && com->ref;
  open_plot_group(com, plot_name(stage, reference),
                  reference ? kMsgRefStructPlots : kMsgPatternPlots);
  const int p = com->nplot == 0 ? com->nfact : std::min(com->nplot, com->nfact);
  const double* x = reference ? com->ref : com->fact;
  for (int i = 0; i < p; ++i)
    for (int j = i + 1; j < p; ++j) plotfac(com, x, reference, oblique != 0, i, j);
  close_plot_group(com);
}

// ---------------------------------------------------------------------------
// Loadings graphs

namespace {

int request_of(int stage) {
  return stage == 1 ? kPlotInitLoadings : stage == -1 ? kPlotPreLoadings : kPlotLoadings;
}

std::string percent(double v) {
  return fixed(v, 1);
}

// The radii of the circles asked for: proportions (percentages above 1),
// at most five, a sixth value taking the place of the first.
std::vector<double> circle_radii(const PLOTOPT& general, const PLOTOPT& own) {
  const PLOTOPT& o = own.circle ? own : general;
  if (!o.circle) return {};
  if (o.circles.empty()) return {1.0};
  std::vector<double> radii;
  std::size_t next = 0;
  for (double v : o.circles) {
    if (is_missing(v) || !(v >= kTiny)) continue;
    if (v > 1) v /= 100;
    const double r = std::sqrt(v);
    if (radii.size() < 5) {
      radii.push_back(r);
    } else {
      radii[next] = r;
      next = (next + 1) % 5;
    }
  }
  return radii;
}

std::string circle_label(double r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%5g%%", r * r * 100);
  return buf;
}

// How many factors the graphs take: the plot's own NPLOT=, else the general
// one, else the statement's; 0 means up to five.  Never more than there are.
int plotted_factors(const COMSTR* com, const PLOTOPT& general, const PLOTOPT& own, int m) {
  int p = own.nplot > 0 ? own.nplot : general.nplot > 0 ? general.nplot : com->nplot;
  if (p == 0) p = std::min(5, m);
  return std::min(p, m);
}

// Whether vectors are drawn: asked for, and for orthogonal solutions only
// (an oblique one says why they are not).
bool vectors_drawn(COMSTR* com, const PLOTOPT& general, const PLOTOPT& own, int oblique,
                   bool reference) {
  const bool vectors = own.vector || general.vector;
  if (vectors && oblique) {
    com->host->xpmlog(kFactorGroup, reference ? kMsgVectorsRefStruct : kMsgVectorsPattern);
    return false;
  }
  return vectors;
}

// The share of the common variance each factor of an orthogonal solution
// has, in percent, plain and (with variable weights) weighted; the axis
// headings quote them.  An oblique solution's headings give the factor's
// number only.
struct FactorHeadings {
  bool oblique, weighted;
  std::vector<double> share, wshare;
  std::string operator()(int j) const {
    const std::string k = std::to_string(j + 1);
    if (oblique) return msg(kMsgPlotFactorNumber, {k});
    if (weighted)
      return msg(kMsgPlotVarianceWeighted, {percent(wshare[static_cast<std::size_t>(j)]),
                                            percent(share[static_cast<std::size_t>(j)]), k});
    return msg(kMsgPlotVariance, {percent(share[static_cast<std::size_t>(j)]), k});
  }
};

FactorHeadings factor_headings(const COMSTR* com, int oblique) {
  const int nvar = com->nvar, m = com->nfact;
  std::vector<double> share(static_cast<std::size_t>(m), 0.0), wshare(share);
  const bool weighted = fopt_test(com, kFoptVarWeights) && com->wt;
  if (!oblique) {
    std::vector<double> v(share.size(), 0.0), w(share.size(), 0.0);
    double vt = 0, wt = 0;
    for (int j = 0; j < m; ++j) {
      for (int i = 0; i < nvar; ++i) {
        const double a = com->fact[static_cast<std::size_t>(j) * nvar + i];
        if (is_missing(a)) continue;
        v[static_cast<std::size_t>(j)] += a * a;
        if (weighted && !is_missing(com->wt[i])) w[static_cast<std::size_t>(j)] += com->wt[i] * a * a;
      }
      vt += v[static_cast<std::size_t>(j)];
      wt += w[static_cast<std::size_t>(j)];
    }
    for (std::size_t j = 0; j < share.size(); ++j) {
      share[j] = 100 * v[j] > vt * kTiny ? 100 * v[j] / vt : 0.0;
      wshare[j] = 100 * w[j] > wt * kTiny ? 100 * w[j] / wt : 0.0;
    }
  }
  return {oblique != 0, weighted, std::move(share), std::move(wshare)};
}

// A table the loadings graphs are drawn from, linked to them by its name.
Table graph_data_table(const char* name, int labelno) {
  Table t;
  t.name = name;
  t.label = msg(labelno);
  t.template_path = std::string(kTablePrefix) + name;
  t.link_key = name;
  return t;
}

// The table the graphs are drawn from: the variables' names and the first
// p columns of the plotted loadings x, headed as the axes are.
void add_pattern_table(COMSTR* com, const double* x, int p, const FactorHeadings& header) {
  const int nvar = com->nvar;
  Table t = graph_data_table("Pattern", kMsgPlotData);
  t.add_column("Variable", ColumnKind::Text).hidden = true;
  for (int j = 0; j < p; ++j) {
    Column& c = t.add_column(factfnam(com, j), ColumnKind::Number, header(j));
    c.template_column = "Factor";
    c.hidden = true;
  }
  for (int i = 0; i < nvar; ++i) {
    Row r(t.columns.size());
    r[0] = factvnam(com, i);
    for (int j = 0; j < p; ++j) r[static_cast<std::size_t>(j) + 1] = x[static_cast<std::size_t>(j) * nvar + i];
    t.add_row(std::move(r));
  }
  factoadd(com, std::move(t));
}

// The labels of the circles, each written on both sides of the origin just
// below the horizontal axis.
void add_circle_labels(COMSTR* com, const std::vector<double>& radii) {
  Table c = graph_data_table("CirclePhantom", kMsgCircleLabels);
  c.add_column("CircleLabel", ColumnKind::Text).hidden = true;
  c.add_column("xCircleLabel", ColumnKind::Number).hidden = true;
  c.add_column("yCircleLabel", ColumnKind::Number).hidden = true;
  for (double r : radii) {
    if (!(r > 0)) continue;
    for (double side : {r, -r}) c.add_row({circle_label(r), side, -0.1});
  }
  factoadd(com, std::move(c));
}

// What every graph of a loadings plot shares.
struct LoadingsGraphs {
  const char* name;
  int oblique;
  bool reference, vectors, swap;
  bool circle_option, circle_labels;
  std::vector<double> radii;
  FactorHeadings header;
};

// The graph of factors a and b (swapped on the axes with FLIP): the axes'
// variables and labels, the angle between the axes, vectors and circles.
void add_pair_graph(COMSTR* com, const LoadingsGraphs& spec, int a, int b) {
  const int oblique = spec.oblique;
  const int hx = spec.swap ? b : a, vy = spec.swap ? a : b;
  Graph g;
  g.name = spec.name;
  g.label = msg(kMsgPlotOfFactors, {std::to_string(a + 1), std::to_string(b + 1)});
  g.template_path = std::string(kGraphPrefix) + spec.name;
  g.link_keys = {"Pattern"};
  if (spec.circle_labels) g.link_keys.push_back("CirclePhantom");
  double corr = 0, angle = 90;
  if (oblique) {
    const double* c = spec.reference ? com->rcor : com->fcor;
    corr = c ? std::clamp(packed(c, a, b), -1.0, 1.0) : 0.0;
    angle = std::acos(corr) * 180 / kPi;
  }
  for (const auto& [axis, j] : {std::pair<const char*, int>{"XVAR", hx}, {"YVAR", vy}}) {
    const std::string prefix = axis;
    const std::string fname = factfnam(com, j);
    g.dynamics.push_back({prefix, fname});
    if (oblique) {
      const std::string text = msg(kMsgPlotFactorNumber, {std::to_string(j + 1)});
      g.dynamics.push_back({prefix + "_label", text});
      g.dynamics.push_back({prefix + "_label2", text});
      g.dynamics.push_back({prefix + "_slabel", fname});
    } else {
      g.dynamics.push_back({prefix + "_label", spec.header(j)});
      g.dynamics.push_back(
          {prefix + "_label2", fname + " (" +
                                   msg(kMsgPlotVarianceShort,
                                       {percent(spec.header.share[static_cast<std::size_t>(j)])}) +
                                   ")"});
      g.dynamics.push_back({prefix + "_slabel", fname});
    }
  }
  g.dynamics.push_back({"Axis_Corr", corr});
  g.dynamics.push_back({"Axis_Ang", angle});
  g.dynamics.push_back({"Oblique", oblique ? 1.0 : 0.0});
  g.dynamics.push_back({"VPLOT", spec.vectors ? 1.0 : 0.0});
  g.dynamics.push_back({"CircleLab", spec.circle_labels ? 1.0 : 0.0});
  g.dynamics.push_back({"CircleOpt", spec.circle_option ? 1.0 : 0.0});
  for (int k = 0; k < 5; ++k)
    g.dynamics.push_back(
        {"Radius" + std::to_string(k + 1),
         k < static_cast<int>(spec.radii.size()) ? spec.radii[static_cast<std::size_t>(k)] : 0.0});
  add_graph(com, std::move(g));
}

}  // namespace

// The loadings plots of one stage: the pattern (or, when asked for, the
// reference structure of an oblique solution) in a table, circle labels,
// and one graph per pair of the plotted factors.
void factgpt(COMSTR* com, int oblique, int stage) {
  if (!com->ods || !com->graphics || com->nfact < 1 || !com->fact) return;
  const int m = com->nfact;
  PLOTOPT general, own;
  plot_options(com, request_of(stage), &general, &own);

  const bool reference =
      oblique && com->ref && (own.plotref || general.plotref || fopt_test(com, kFoptPlotRef));
  const double* x = reference ? com->ref : com->fact;
  LoadingsGraphs spec{plot_name(stage, reference),
                      oblique,
                      reference,
                      false,
                      own.flip || general.flip,
                      false,
                      false,
                      {},
                      {}};
  const int p = plotted_factors(com, general, own, m);
  spec.vectors = vectors_drawn(com, general, own, oblique, reference);
  spec.header = factor_headings(com, oblique);

  open_plot_group(com, spec.name, reference ? kMsgRefStructPlots : kMsgPatternPlots);
  add_pattern_table(com, x, p, spec.header);

  // Circles, for orthogonal solutions; vectors come with the unit circle.
  if (!oblique) {
    spec.radii = circle_radii(general, own);
    spec.circle_option = !spec.radii.empty() || spec.vectors;
    spec.circle_labels = !spec.radii.empty();
  }
  if (spec.circle_labels) add_circle_labels(com, spec.radii);

  for (int b = 1; b < p; ++b)
    for (int a = 0; a < b; ++a) add_pair_graph(com, spec, a, b);
  close_plot_group(com);
}

// ---------------------------------------------------------------------------
// MAP and parallel analysis

void factomap(COMSTR* com) {
  if (!com->ods || !com->fmap2 || !com->fmap4) return;
  const int n = com->nvar;
  const bool two = fopt_test(com, kFoptPlotMap2), four = fopt_test(com, kFoptPlotMap4);
  const bool graph = com->graphics && (two || four);
  Table t;
  t.name = "AveParCorrControlPC";
  t.label = "AveParCorrControlPC";
  t.template_path = std::string(kTablePrefix) + "AveParCorrControlPC";
  t.title.push_back(factitle(com, kMsgMapTitle));
  if (graph) {
    std::snprintf(com->map_path, sizeof com->map_path, "AveParCorr");
    t.link_key = com->map_path;
  }
  t.add_column("NComp", ColumnKind::Integer);
  t.add_column("AveParCor2", ColumnKind::Number);
  t.add_column("OptAveParCor2", ColumnKind::Number);
  t.add_column("AveParCor4", ColumnKind::Number);
  t.add_column("OptAveParCor4", ColumnKind::Number);
  bool incomplete = false;
  for (int k = 0; k < n; ++k) {
    const double a2 = com->fmap2[k], a4 = com->fmap4[k];
    incomplete = incomplete || is_missing(a2) || is_missing(a4);
    t.add_row({static_cast<double>(k), is_missing(a2) ? missing_value() : a2,
               k == com->nfactmap2 ? 1.0 : 0.0, is_missing(a4) ? missing_value() : a4,
               k == com->nfactmap4 ? 1.0 : 0.0});
  }
  factoadd(com, std::move(t));
  if (incomplete) com->host->xpmlog(kFactorGroup, kMsgMapIncomplete);
  if (!graph) return;
  Graph g;
  g.name = "MAPPlot";
  g.label = "Average Partial Correlations Plot";
  g.template_path =
      std::string(kGraphPrefix) + (two && four ? "MAPPlot" : two ? "MAP2Plot" : "MAP4Plot");
  g.link_keys = {com->map_path};
  add_graph(com, std::move(g));
}

void factopa(COMSTR* com) {
  if (!com->ods || !com->evalstd || !com->evalpa || !com->aveevalpa) return;
  const int n = com->nvar;
  const bool graph = com->graphics && fopt_test(com, kFoptPlotParallel);
  double threads = missing_value();
  if (TKXFAC_INSTANCE* inst = com->tkxfacInst;
      inst && inst->FactoryPtr && inst->FactoryPtr->ValueGet) {
    std::int32_t count = 0;
    std::size_t bytes = sizeof count;
    if (inst->FactoryPtr->ValueGet(inst, TKXFAC_VAL_THREADS, &count, &bytes, 0, 0) != TKXFAC_OK) {
      factrc(com, kExitExtension);
      xexit(com->rc, 0);
    }
    threads = count;
  }
  double largest = 0;
  for (int k = 0; k < n; ++k)
    if (!is_missing(com->evalstd[k])) largest = std::max(largest, std::fabs(com->evalstd[k]));
  Table t;
  t.name = "ParallelAnalysis";
  t.label = "ParallelAnalysis";
  t.template_path = std::string(kTablePrefix) + "ParallelAnalysis";
  t.dynamics.push_back({"NSims", static_cast<double>(com->nsimspa)});
  t.dynamics.push_back({"Seed", static_cast<double>(com->pa_seed)});
  t.dynamics.push_back({"Alpha", com->alphapa});
  t.title.push_back(factitle(com, kMsgPaTitle));
  t.dynamics.push_back({"Foot0", com->nfactpa < 1 ? 1.0 : 0.0});
  t.dynamics.push_back({"Foot1", com->nfactpa > 0 ? 1.0 : 0.0});
  if (graph) {
    std::snprintf(com->pa_path, sizeof com->pa_path, "ParallelAnalysis");
    t.link_key = com->pa_path;
  }
  t.add_column("Number", ColumnKind::Integer);
  const Format chosen = choose_format(largest / 10, 10);
  t.add_column("Eigenvalue", ColumnKind::Number, std::nullopt, chosen);
  t.add_column("AveEigPA", ColumnKind::Number, std::nullopt, chosen);
  t.add_column("CritEigPA", ColumnKind::Number, std::nullopt, chosen);
  t.add_column("FgEigen", ColumnKind::Number);
  t.add_column("NThreads", ColumnKind::Integer).hidden = true;
  for (int k = 0; k < n; ++k) {
    const bool missing = is_missing(com->evalstd[k]);
    t.add_row({static_cast<double>(k + 1), missing ? special_missing('_') : com->evalstd[k],
               missing ? missing_value() : com->aveevalpa[k],
               missing ? missing_value() : com->evalpa[k], k + 1 <= com->nfactpa ? 1.0 : 0.0,
               threads});
  }
  factoadd(com, std::move(t));
  if (!graph) return;
  Graph g;
  g.name = "ParallelPlot";
  g.label = "Parallel Analysis Plot";
  g.template_path = std::string(kGraphPrefix) + "ParallelPlot";
  g.link_keys = {com->pa_path};
  g.dynamics.push_back({"NSims", static_cast<double>(com->nsimspa)});
  g.dynamics.push_back({"Alpha", msg(kMsgPaAlphaText, {factnum(com->alphapa)})});
  add_graph(com, std::move(g));
}

}  // namespace kav
