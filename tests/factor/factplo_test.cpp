// The procedure's plots on hand-built solutions: the axis steps of the
// character plots, the factor plots of PLOT on their fixed grid (each letter
// in the row band and column its loadings give, worked out here from the
// grid's definition), the scree plot read back against its printed axes,
// and the loadings graphs (variance shares, circles, oblique axes).
#include "factor/output/factplo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/state/factorg.h"
#include "factor/state/step_record.h"
#include "host/stmtparse.h"
#include "host/value.h"
#include "lang/reader.h"
#include "table_fixture.h"

namespace kav {
namespace {

using testing_support::TableFixture;

// The printed plot read back: the value of each area row from the vertical
// tick labels, the column of each horizontal tick from the axis line.
struct ReadPlot {
  std::vector<std::string> lines;
  std::vector<std::pair<int, double>> row_ticks;     // line index, value
  std::vector<std::pair<int, double>> column_ticks;  // text column, value

  explicit ReadPlot(std::vector<std::string> text) : lines(std::move(text)) {
    std::size_t k = 0, bar = 0;
    for (; k < lines.size(); ++k) {
      const std::string& l = lines[k];
      bar = l.find_first_of("+|");
      if (bar == std::string::npos) continue;
      if (l.find_first_not_of(' ') == bar && l.find("--") != std::string::npos) break;  // the axis
      std::istringstream in(l.substr(0, bar));
      double v;
      if (l[bar] == '+' && bar > 0 && in >> v) row_ticks.push_back({static_cast<int>(k), v});
    }
    if (k + 1 >= lines.size()) return;
    const std::string &axis = lines[k], &labels = lines[k + 1];
    // Each label is centred under its '+'; read it at every tick.
    for (std::size_t c = bar + 1; c < axis.size() && c < labels.size(); ++c) {
      if (axis[c] != '+' || labels[c] == ' ') continue;
      std::size_t s = c, e = c;
      while (s > 0 && labels[s - 1] != ' ') --s;
      while (e + 1 < labels.size() && labels[e + 1] != ' ') ++e;
      column_ticks.push_back({static_cast<int>(c), std::stod(labels.substr(s, e - s + 1))});
    }
  }
  // Line index and text column where a value should be drawn: linear
  // between the outermost ticks, rounded to the nearest cell.
  std::pair<int, int> cell(double x, double y) const {
    const auto [r0, v0] = row_ticks.front();
    const auto [r1, v1] = row_ticks.back();
    const auto [c0, u0] = column_ticks.front();
    const auto [c1, u1] = column_ticks.back();
    return {static_cast<int>(std::lround(r0 + (y - v0) / (v1 - v0) * (r1 - r0))),
            static_cast<int>(std::lround(c0 + (x - u0) / (u1 - u0) * (c1 - c0)))};
  }
  char at(std::pair<int, int> cell) const {
    const std::string& l = lines[static_cast<std::size_t>(cell.first)];
    const auto c = static_cast<std::size_t>(cell.second);
    return c < l.size() ? l[c] : ' ';
  }
};

// The row of a value on the vertical factor of a factor plot, from the bands
// of width 0.05 that start at 1 - 0.05 r, the end rows open; the column of
// a value on the horizontal factor.
int expected_row(double y) {
  for (int r = 0; r < 40; ++r)
    if (y >= 1.0 - 0.05 * r) return r;
  return 40;
}
int expected_column(double x) {
  return std::clamp(static_cast<int>(std::trunc(30 * x + 33)), 1, 64);
}

struct Plots : TableFixture {
  std::ostringstream parse_sink;
  Log parse_log{&parse_sink};

  // A solution of `m` factors whose loadings are given column by column.
  void solution(int nvar, int m, const std::vector<double>& loadings) {
    std::vector<std::string> names;
    for (int k = 0; k < nvar; ++k) names.push_back("Var" + std::to_string(k + 1));
    variables(names);
    factor_names(m);
    com->nfact = com->maxfact = m;
    com->fact = doubles(loadings);
    com->graphics = 1;
  }
  void parse(const std::string& options) {
    Statement st;
    st.tokens = tokenize_text("PROC FACTOR " + options, parse_log);
    step->parsed = ParsedStep{};
    ASSERT_EQ(xsparse(factorg(), {st}, parse_log, step->parsed), 0) << parse_sink.str();
  }
  std::vector<const Note*> notes(const std::string& name) const {
    std::vector<const Note*> found;
    for (const OutputObject& o : objects)
      if (const Note* n = o.note(); n && n->name == name) found.push_back(n);
    return found;
  }
  std::vector<const Graph*> graphs() const {
    std::vector<const Graph*> found;
    for (const OutputObject& o : objects)
      if (o.graph()) found.push_back(o.graph());
    return found;
  }
  static DynamicValue dynamic(const Graph& g, const std::string& name) {
    for (const Dynamic& d : g.dynamics)
      if (d.name == name) return d.value;
    ADD_FAILURE() << "no dynamic " << name;
    return std::string();
  }
  static double number(const Graph& g, const std::string& name) {
    return std::get<double>(dynamic(g, name));
  }
  static std::string text(const Graph& g, const std::string& name) {
    return std::get<std::string>(dynamic(g, name));
  }
  static const Table* linked(const Graph& g, const std::string& name) {
    for (const auto& t : g.tables)
      if (t->name == name) return t.get();
    return nullptr;
  }
};

std::string joined(const Note& n) {
  std::string text;
  for (const std::string& l : n.lines) text += l + "\n";
  return text;
}

// The grid rows of a factor plot: the 41 lines from the one starting "1+".
std::vector<std::string> grid_of(const Note& n) {
  auto it = std::find_if(n.lines.begin(), n.lines.end(),
                         [](const std::string& l) { return l.rfind("1+", 0) == 0; });
  if (it == n.lines.end() || n.lines.end() - it < 41) return {};
  return std::vector<std::string>(it, it + 41);
}

TEST_F(Plots, EveryVariableSitsInTheRowBandAndColumnItsLoadingsGive) {
  // 28 variables, so that letters start again at A after the 26th.
  const int p = 28;
  std::vector<double> loadings(static_cast<std::size_t>(2 * p));
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-0.99, 0.99);
  for (double& v : loadings) v = std::round(u(rng) * 1000) / 1000;
  loadings[0] = 1.0, loadings[p] = 0.0;        // Var1 at the top, on the zero column
  loadings[1] = -0.96, loadings[p + 1] = 1.2;  // Var2 at the bottom, in the last column
  loadings[2] = 0.40, loadings[p + 2] = -0.5;  // Var3 and Var4 share a cell
  loadings[3] = 0.41, loadings[p + 3] = -0.49;
  loadings[4] = -0.001, loadings[p + 4] = -2.0;  // Var5 just below zero, in the first column
  solution(p, 2, loadings);
  factplt(com, 0, 0);
  const auto plots = notes("PatternPlot");
  ASSERT_EQ(plots.size(), 1u);
  const auto grid = grid_of(*plots[0]);
  ASSERT_EQ(grid.size(), 41u);
  // Replays the plot: cells in variable order, the first letter in a cell stays.
  std::map<std::pair<int, int>, char> cells;
  std::vector<char> shown(p);
  for (std::size_t k = 0; k < p; ++k) {
    const auto key = std::pair{expected_row(loadings[k]), expected_column(loadings[p + k])};
    shown[k] = cells.emplace(key, static_cast<char>('A' + k % 26)).first->second;
  }
  for (const auto& [cell, letter] : cells) {
    // The axis character and the axis line come before the 64 columns.
    const std::string& row = grid[static_cast<std::size_t>(cell.first)];
    ASSERT_GT(row.size(), static_cast<std::size_t>(cell.second + 1));
    EXPECT_EQ(row[static_cast<std::size_t>(cell.second + 1)], letter)
        << "row " << cell.first << " column " << cell.second;
  }
  int letters = 0;
  for (const std::string& row : grid)
    for (std::size_t c = 2; c < row.size() && c < 66; ++c)
      letters += std::isalpha(static_cast<unsigned char>(row[c])) != 0;
  EXPECT_EQ(letters, static_cast<int>(cells.size()));
  EXPECT_EQ(shown[26], 'A');
  EXPECT_EQ(shown[3], shown[2]);
  // The legend names each variable with the letter it is shown by.
  const std::string legend = joined(*plots[0]);
  for (int k = 0; k < p; ++k)
    EXPECT_NE(legend.find("Var" + std::to_string(k + 1) + "=" + shown[static_cast<std::size_t>(k)]),
              std::string::npos)
        << k;
}

TEST_F(Plots, CirclesTakeProportionsOrPercentagesAndObliqueAxesTheirAngle) {
  solution(3, 2, {0.8, 0.1, 0.5, 0.2, 0.7, -0.4});
  parse("PLOTS=INITLOADINGS(CIRCLE=0.5 50 0 FLIP)");
  factgpt(com, 0, 1);
  ASSERT_EQ(graphs().size(), 1u);
  const Graph& graph = *graphs()[0];
  EXPECT_NEAR(number(graph, "Radius1"), std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(number(graph, "Radius2"), std::sqrt(0.5), 1e-15);
  EXPECT_EQ(number(graph, "Radius3"), 0);
  EXPECT_EQ(text(graph, "XVAR"), "Factor2");  // FLIP
  const Table* c = linked(graph, "CirclePhantom");
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->rows.size(), 4u);
  for (std::size_t r = 0; r < 4; ++r) {
    EXPECT_EQ(std::get<std::string>(c->rows[r][0]), "   50%");
    EXPECT_NEAR(std::get<double>(c->rows[r][1]), (r % 2 ? -1 : 1) * std::sqrt(0.5), 1e-15);
  }
  // Six values keep five radii, the sixth in the first one's place.
  objects.clear();
  parse("PLOTS(CIRCLE=0.1 0.2 0.3 0.4 0.5 0.6)=LOADINGS");
  factgpt(com, 0, 0);
  EXPECT_NEAR(number(*graphs().at(0), "Radius1"), std::sqrt(0.6), 1e-15);
  EXPECT_NEAR(number(*graphs().at(0), "Radius5"), std::sqrt(0.5), 1e-15);

  // Oblique, factor correlation 0.5: axes 60 degrees apart, no vectors nor
  // circles; the reference structure's axes 120 degrees apart.
  com->fcor = doubles({1, 0.5, 1});
  com->rcor = doubles({1, -0.5, 1});
  com->ref = doubles({0.7, 0.1, 0.4, 0.1, 0.6, -0.3});
  for (bool plotref : {false, true}) {
    objects.clear();
    parse(plotref ? "PLOTS=LOADINGS(PLOTREF VECTOR)" : "PLOTS=LOADINGS(VECTOR CIRCLE)");
    factgpt(com, 1, 0);
    EXPECT_TRUE(logged(180, plotref ? 94 : 93));
    const Graph& oblique = *graphs().at(0);
    EXPECT_NEAR(number(oblique, "Axis_Ang"), plotref ? 120 : 60, 1e-12);
    EXPECT_EQ(number(oblique, "VPLOT"), 0);
    EXPECT_EQ(linked(oblique, "CirclePhantom"), nullptr);
    EXPECT_EQ(std::get<double>(linked(oblique, "Pattern")->rows[2][2]), plotref ? -0.3 : -0.4);
  }
}

struct Scree : Plots {
  void eigen(const std::vector<double>& values) {
    solution(static_cast<int>(values.size()), 1, std::vector<double>(values.size(), 0.5));
    com->eigval = doubles(values);
    com->fopt[3] |= 0x08;  // PLOTS=SCREE
    factevt(com, "Eigenvalues", com->nvar);
  }
};

TEST_F(Scree, TheCharacterPlotNumbersEachRankByItsLastDigit) {
  std::vector<double> ev;
  for (int k = 0; k < 12; ++k) ev.push_back(6.0 / (1 + k) - 0.6);
  eigen(ev);
  com->fopt[1] |= 0x10;  // SCREE
  com->iscree = 0;
  factscre(com);
  const auto plot = notes("ScreePlot");
  ASSERT_EQ(plot.size(), 1u);
  const ReadPlot read(plot[0]->lines);
  ASSERT_GE(read.row_ticks.size(), 2u);
  ASSERT_GE(read.column_ticks.size(), 2u);
  std::map<std::pair<int, int>, char> cells;
  for (int k = 0; k < 12; ++k) cells.emplace(read.cell(k + 1, ev[k]), "123456789012"[k]);
  for (const auto& [cell, digit] : cells) EXPECT_EQ(read.at(cell), digit);
  // The last eigenvalue is negative, so the axis reaches below 0.
  EXPECT_LT(read.row_ticks.back().second, 0);
}

}  // namespace
}  // namespace kav
