// The FACTOR graph templates, drawn from hand-built tables: every drawer
// gives a titled SVG, values land where the axes say they should, missing
// values are skipped, and absent tables or columns are explained.  (The
// browser test of the programs checks the pictures as a browser lays them out.)
#include "render/factor_graphs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/value.h"
#include "render/svg_canvas.h"

namespace kav {
namespace {

constexpr double kPi = 3.141592653589793;
const double kMissing = missing_value();

// ---------------------------------------------------------------------------
// The elements of a drawing, with a check that tags nest and entities are
// the five XML ones (the browser test of the programs parses whole reports).

struct Element {
  std::string tag;
  std::map<std::string, std::string> attributes;
  std::string text;  // content up to the next tag
  double number(const std::string& name) const {
    auto it = attributes.find(name);
    return it == attributes.end() ? NAN : std::stod(it->second);
  }
  bool has_class(const std::string& word) const {
    auto it = attributes.find("class");
    return it != attributes.end() &&
           (" " + it->second + " ").find(" " + word + " ") != std::string::npos;
  }
};

std::vector<Element> parse(const std::string& svg) {
  static const std::regex tag(R"re(<(/?)([\w-]+)([^>]*)>([^<]*))re"),
      attribute(R"re(([\w:-]+)="([^"<]*)")re");
  std::vector<Element> all;
  std::vector<std::string> open;
  for (auto t = std::sregex_iterator(svg.begin(), svg.end(), tag); t != std::sregex_iterator();
       ++t) {
    const std::string name = (*t)[2], rest = (*t)[3];
    if ((*t)[1].length()) {
      EXPECT_EQ(open.empty() ? "" : open.back(), name) << "at " << t->position();
      if (!open.empty()) open.pop_back();
      continue;
    }
    Element e{name, {}, (*t)[4]};
    for (auto m = std::sregex_iterator(rest.begin(), rest.end(), attribute);
         m != std::sregex_iterator(); ++m)
      e.attributes[(*m)[1]] = (*m)[2];
    if (rest.empty() || rest.back() != '/') open.push_back(name);
    all.push_back(std::move(e));
  }
  EXPECT_TRUE(open.empty()) << "unclosed <" << open.back() << ">";
  EXPECT_FALSE(std::regex_search(svg, std::regex("&(?!(amp|lt|gt|quot|#39);)"))) << "a bad entity";
  return all;
}

std::vector<Element> with_class(const std::vector<Element>& all, const std::string& tag,
                                const std::string& cls) {
  std::vector<Element> found;
  for (const Element& e : all)
    if ((tag.empty() || e.tag == tag) && e.has_class(cls)) found.push_back(e);
  return found;
}

// The explanatory text of a drawing, its wrapped lines joined again.
std::string message_text(const std::string& svg) {
  std::string text;
  for (const Element& e : with_class(parse(svg), "text", "message"))
    text += (text.empty() ? "" : " ") + e.text;
  return text;
}

std::pair<double, double> centre(const Element& e) {
  if (e.tag == "circle" || e.tag == "ellipse") return {e.number("cx"), e.number("cy")};
  return {e.number("x") + e.number("width") / 2, e.number("y") + e.number("height") / 2};
}

// Pixels per unit along the horizontal axis, from the tick labels.
double pixels_per_unit(const std::vector<Element>& all) {
  const auto ticks = with_class(all, "text", "tick-x");
  EXPECT_GE(ticks.size(), 2u);
  const double v0 = std::stod(ticks.front().text), v1 = std::stod(ticks.back().text);
  return (ticks.back().number("x") - ticks.front().number("x")) / (v1 - v0);
}

// ---------------------------------------------------------------------------
// Tables and graphs

using TablePtr = std::shared_ptr<const Table>;

// A table from text: column names separated by blanks ("#" after a name
// makes an integer column, "$" a text column), rows separated by ";" with
// their cells separated by blanks ("." and ".D" are missing, "-" an empty text).
std::shared_ptr<Table> table(const std::string& name, const std::string& columns,
                             const std::string& rows = "") {
  auto t = std::make_shared<Table>();
  t->name = name;
  std::istringstream cols(columns), all(rows);
  for (std::string c; cols >> c;) {
    const ColumnKind kind = c.back() == '#'   ? ColumnKind::Integer
                            : c.back() == '$' ? ColumnKind::Text
                                              : ColumnKind::Number;
    t->add_column(kind == ColumnKind::Number ? c : c.substr(0, c.size() - 1), kind);
  }
  for (std::string line; std::getline(all, line, ';');) {
    std::istringstream in(line);
    Row r;
    for (std::string cell; in >> cell;)
      if (t->columns[r.size()].is_numeric())
        r.push_back(cell[0] == '.' ? (cell.size() == 2 ? special_missing(cell[1]) : kMissing)
                                   : std::stod(cell));
      else
        r.push_back(cell == "-" ? std::string() : cell);  // "-" is an empty text
    if (!r.empty()) t->rows.push_back(r);
  }
  return t;
}

// Eigenvalues, and their proportions of the total when `proportions`.
TablePtr eigenvalues(const std::string& rows, bool proportions = false) {
  return table("Eigenvalues",
               proportions ? "Number# Eigenvalue Proportion Cumulative" : "Number# Eigenvalue",
               rows);
}

Graph graph(const std::string& name, std::vector<TablePtr> tables,
            std::vector<Dynamic> dynamics = {}) {
  return Graph{name, name + " label",  "Stat.Factor.Graphics." + name, std::move(dynamics),
               {},   std::move(tables)};
}

std::string draw(const Graph& g) {
  GraphTemplateRegistry registry;
  register_factor_graph_templates(registry);
  const GraphDrawer* drawer = registry.find(g.template_path);
  EXPECT_NE(drawer, nullptr) << g.template_path;
  return drawer ? (*drawer)(g) : std::string();
}
std::vector<Element> drawn(const std::string& name, std::vector<TablePtr> tables,
                           std::vector<Dynamic> dynamics = {}) {
  return parse(draw(graph(name, std::move(tables), std::move(dynamics))));
}

TablePtr map_table() {
  return table("AveParCorrControlPC", "NComp# AveParCor2 OptAveParCor2 AveParCor4 OptAveParCor4",
               "0 0.20 0 0.08 0; 1 0.07 0 0.02 0; 2 0.05 1 0.01 0; 3 0.09 0 0.005 1; 4 . 0 0.03 0");
}

// Loadings of the named variables on two factors, "name f1 f2; ...".
TablePtr pattern(const std::string& rows) {
  return table("Pattern", "Variable$ Factor1 Factor2", rows);
}

std::vector<Dynamic> pattern_dynamics(double angle, double radius1 = 0) {
  return {{"XVAR", std::string("Factor1")},
          {"YVAR", std::string("Factor2")},
          {"XVAR_label", std::string("Factor 1 (40.2%)")},
          {"YVAR_label", std::string("Factor 2 (21.7%)")},
          {"Axis_Corr", std::cos(angle * kPi / 180)},
          {"Axis_Ang", angle},
          {"Oblique", angle == 90 ? 0.0 : 1.0},
          {"CircleLab", radius1 > 0 ? 1.0 : 0.0},
          {"CircleOpt", radius1 > 0 ? 1.0 : 0.0},
          {"Radius1", radius1}};
}

// Factor F loads 0.8 on x1 and 0.2 on x2 (a minor link), with its variance.
TablePtr path_table() {
  return table("PathDiagramData",
               "NodeId$ VarLabel$ NodeLabel$ NodeShape$ NodeSize NodePriority LinkId$ FromId$ "
               "ToId$ LinkDir$ LinkLabel$ PathVal PathSe LinkPriority",
               "- - - - . . Link1 F x1 To 0.80 . . 1; - - - - . . Link2 F x2 To 0.20 . . -1;"
               "- - - - . . Link3 F F Both 1 . . 1; x1 x1 x1 rectangle 2 2 - - - - - . . .;"
               "x2 x2 x2 rectangle 2 2 - - - - - . . .; F F F oval 3 1 - - - - - . . .");
}

std::vector<Dynamic> path_dynamics(const std::string& algorithm) {
  return {{"_pdalg", algorithm}, {"_TitleText", std::string("Path Diagram <1>")}};
}

Graph complete_graph(const std::string& name) {
  if (name.rfind("Scree", 0) == 0 || name == "VariancePlot")
    return graph(name, {eigenvalues("1 3 0.6 0.6; 2 1.5 0.3 0.9; 3 0.5 0.1 1", true)});
  if (name.rfind("MAP", 0) == 0) return graph(name, {map_table()});
  if (name == "ParallelPlot")
    return graph(name,
                 {table("ParallelAnalysis", "Number# Eigenvalue AveEigPA CritEigPA FgEigen",
                        "1 3.1 1.4 1.6 1; 2 1.9 1.2 1.3 1; 3 0.7 1.05 1.1 0; 4 0.3 0.9 0.95 0")},
                 {{"NSims", 1000.0}, {"Alpha", std::string("alpha = 0.05")}});
  if (name == "PathDiagram") return graph(name, {path_table()}, path_dynamics("flow"));
  return graph(name, {pattern("x1 0.8 0.1; x2 -0.2 0.7")}, pattern_dynamics(90));
}

// Every graph template the procedure names.
const char* const kPlotNames =
    "ScreePlot1 ScreePlot2 VariancePlot MAPPlot MAP2Plot MAP4Plot ParallelPlot InitPatternPlot "
    "InitRefStructurePlot PrePatternPlot PreRefStructurePlot PatternPlot RefStructurePlot "
    "PathDiagram";

// ---------------------------------------------------------------------------

TEST(FactorGraphs, EveryDrawerIsFoundInAnyCaseGivesATitledSvgOrExplainsWhatIsMissing) {
  GraphTemplateRegistry registry;
  register_factor_graph_templates(registry);
  std::istringstream names(kPlotNames);
  for (std::string name; names >> name;) {
    SCOPED_TRACE(name);
    std::string lower = "stat.factor.graphics." + name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(registry.find(lower), nullptr) << lower;
    Graph g = complete_graph(name);
    const std::string svg = draw(g);
    parse(svg);
    EXPECT_NE(svg.find("<title>" + name + " label</title>"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
    EXPECT_EQ(svg.find(" id=\""), std::string::npos);  // inline in HTML, ids would clash
    EXPECT_EQ(svg.find("cannot be drawn"), std::string::npos);
    EXPECT_EQ(svg, draw(g));  // deterministic
    g.tables.clear();
    EXPECT_NE(message_text(draw(g)).find("that this graph is drawn from was not linked to it."),
              std::string::npos);
  }
  // A table that lacks a column the graph needs names the column.
  const std::pair<Graph, const char*> partial[] = {
      {graph("ScreePlot1", {table("Eigenvalues", "Number#", "1")}),
       "The table Eigenvalues has no column Eigenvalue."},
      {graph("MAPPlot", {table("AveParCorrControlPC", "NComp# AveParCor2", "0 0.1")}),
       "has no column AveParCor4"},
      {graph("PatternPlot", {pattern("x1 0.5 0.5")},
             {{"XVAR", std::string("Factor1")}, {"YVAR", std::string("Factor3")}}),
       "has no column Factor3"},
      {graph("VariancePlot", {eigenvalues("1 1; 2 0")}), "no Proportion and Cumulative columns"},
  };
  for (const auto& [g, text] : partial)
    EXPECT_NE(message_text(draw(g)).find(text), std::string::npos) << text;
  EXPECT_EQ(draw(graph("MAP2Plot", {partial[1].first.tables})).find("cannot be drawn"),
            std::string::npos);
}

TEST(ScreePlot, OneMarkerPerDrawableEigenvalueOnALinearScale) {
  // The missing leading eigenvalue is not drawn, and the horizontal axis
  // starts at the first rank that is; a missing one inside breaks the line.
  const auto all =
      drawn("ScreePlot1", {eigenvalues("1 .D; 2 3.2; 3 1.5; 4 .; 5 0.8; 6 0.3; 7 -0.1")});
  const auto markers = with_class(all, "circle", "marker");
  ASSERT_EQ(markers.size(), 5u);
  EXPECT_EQ(with_class(all, "polyline", "line").size(), 2u);
  // Equal steps in rank are equal steps across; y is linear in the eigenvalue.
  const double step = markers[1].number("cx") - markers[0].number("cx");
  EXPECT_GT(step, 0);
  EXPECT_NEAR(markers[4].number("cx") - markers[3].number("cx"), step, 0.02);
  EXPECT_NEAR(markers[2].number("cx") - markers[1].number("cx"), 2 * step, 0.02);
  const double slope = (markers[0].number("cy") - markers[1].number("cy")) / (3.2 - 1.5);
  EXPECT_LT(slope, 0);  // smaller values lower
  EXPECT_NEAR((markers[2].number("cy") - markers[4].number("cy")) / (0.8 - -0.1), slope, 0.01);
  // The reference line sits at eigenvalue 1.
  const auto reference = with_class(all, "line", "reference");
  ASSERT_EQ(reference.size(), 1u);
  EXPECT_NEAR(reference[0].number("y1"), markers[1].number("cy") + (1 - 1.5) * slope, 0.02);
  for (const Element& e : with_class(all, "text", "tick-x")) EXPECT_NE(e.text, "1");

  // An infinite eigenvalue is skipped like a missing one; with nothing
  // left, the drawing says there is nothing to plot.
  EXPECT_EQ(
      with_class(drawn("ScreePlot1", {eigenvalues("1 inf; 2 2; 3 1")}), "circle", "marker").size(),
      2u);
  const std::string none = draw(graph("ScreePlot1", {eigenvalues("1 .; 2 .")}));
  EXPECT_NE(none.find("nothing to plot"), std::string::npos);
  EXPECT_EQ(none.find("class=\"marker\""), std::string::npos);
  // Tables and columns are found in any case, and another table is not taken for them.
  auto t = table("EIGENVALUES", "number# EIGENVALUE", "1 2; 2 1; 3 0.5");
  EXPECT_EQ(
      with_class(drawn("ScreePlot1", {table("Pattern", "Eigenvalue", "9"), t}), "circle", "marker")
          .size(),
      3u);
}

TEST(PatternPlot, OrthogonalPointsCirclesAndLabels) {
  auto phantom = table("CirclePhantom", "CircleLabel$ xCircleLabel yCircleLabel");
  for (double x : {std::sqrt(0.5), -std::sqrt(0.5)})
    phantom->rows.push_back({std::string("  50%"), x, -0.1});
  const auto all =
      drawn("PatternPlot", {pattern("x1 0 0; x2 0.6 0; x3 0 -0.4; x<&> . 0.5"), phantom},
            pattern_dynamics(90, std::sqrt(0.5)));
  const auto points = with_class(all, "circle", "point");
  ASSERT_EQ(points.size(), 3u);  // the variable with a missing loading is skipped
  const double k = pixels_per_unit(all);
  EXPECT_NEAR(points[1].number("cx") - points[0].number("cx"), 0.6 * k, 0.02);
  EXPECT_NEAR(points[1].number("cy"), points[0].number("cy"), 0.01);
  EXPECT_NEAR(points[2].number("cy") - points[0].number("cy"), 0.4 * k, 0.02);  // below
  EXPECT_NEAR(points[2].number("cx"), points[0].number("cx"), 0.01);
  const auto circles = with_class(all, "circle", "circle");
  ASSERT_EQ(circles.size(), 1u);
  EXPECT_NEAR(circles[0].number("r"), std::sqrt(0.5) * k, 0.02);
  EXPECT_EQ(circles[0].number("cx"), points[0].number("cx"));
  EXPECT_EQ(with_class(all, "text", "circle-label").at(0).text, "50%");
  std::vector<std::string> names, titles;
  for (const Element& e : with_class(all, "text", "point-label")) names.push_back(e.text);
  EXPECT_EQ(names, (std::vector<std::string>{"x1", "x2", "x3"}));
  for (const Element& e : with_class(all, "text", "axis-title")) titles.push_back(e.text);
  EXPECT_EQ(titles, (std::vector<std::string>{"Factor 1 (40.2%)", "Factor 2 (21.7%)"}));
  EXPECT_TRUE(with_class(all, "line", "vector").empty());
}

TEST(PatternPlot, ObliqueAxesAtTheirAngleWithPointsInObliqueCoordinates) {
  for (bool from_correlation : {false, true}) {
    SCOPED_TRACE(from_correlation);
    std::vector<Dynamic> dynamics = pattern_dynamics(60);
    if (from_correlation)  // only the correlation 0.5 of the axes is known
      std::erase_if(dynamics, [](const Dynamic& d) { return d.name == "Axis_Ang"; });
    const auto all = drawn("PatternPlot", {pattern("o 0 0; a 1 0; b 0 1; c 0.4 0.3")}, dynamics);
    const auto y_axis = with_class(all, "line", "axis-y");
    ASSERT_EQ(y_axis.size(), 1u);
    const double dx = y_axis[0].number("x2") - y_axis[0].number("x1");
    const double dy = y_axis[0].number("y1") - y_axis[0].number("y2");  // SVG y grows downwards
    EXPECT_NEAR(std::atan2(dy, dx) * 180 / kPi, 60, 0.05);
    const auto p = with_class(all, "circle", "point");
    ASSERT_EQ(p.size(), 4u);
    const auto [ox, oy] = centre(p[0]);
    const auto [ax, ay] = centre(p[1]);
    const auto [bx, by] = centre(p[2]);
    const auto [cx, cy] = centre(p[3]);
    EXPECT_NEAR(ay, oy, 0.01);  // the first axis stays level
    EXPECT_NEAR(std::hypot(ax - ox, ay - oy), std::hypot(bx - ox, by - oy), 0.03);
    EXPECT_NEAR(std::atan2(oy - by, bx - ox) * 180 / kPi, 60, 0.05);
    EXPECT_NEAR(cx, ox + 0.4 * (ax - ox) + 0.3 * (bx - ox), 0.03);
    EXPECT_NEAR(cy, oy + 0.4 * (ay - oy) + 0.3 * (by - oy), 0.03);
  }
}

TEST(PathDiagram, OneShapePerNodeAndOnePathPerLink) {
  for (const char* algorithm : {"flow", "groupedflow", "grip"}) {
    SCOPED_TRACE(algorithm);
    const std::string svg = draw(graph("PathDiagram", {path_table()}, path_dynamics(algorithm)));
    const auto all = parse(svg);
    // One arrowhead per loading, two on the double-headed variance.
    const std::pair<const char*, std::size_t> counts[] = {
        {"factor", 1}, {"variable", 2}, {"node", 3},       {"link", 3},     {"to", 2},
        {"self", 1},   {"minor", 1},    {"link-label", 3}, {"arrowhead", 4}};
    for (const auto& [cls, n] : counts) EXPECT_EQ(with_class(all, "", cls).size(), n) << cls;
    EXPECT_EQ(with_class(all, "path", "minor").at(0).attributes.at("stroke-dasharray"), "5 4");
    EXPECT_NE(svg.find("Path Diagram &lt;1&gt;"), std::string::npos);
  }
  // A link to a node the table does not have is reported, not drawn.
  auto t = std::make_shared<Table>(*path_table());
  t->rows[0][8] = std::string("nosuch");
  const std::string svg = draw(graph("PathDiagram", {t}, path_dynamics("flow")));
  EXPECT_NE(svg.find("Link1"), std::string::npos);
  EXPECT_EQ(with_class(parse(svg), "path", "link").size(), 2u);
}

TEST(Svg, TextIsEscapedForXmlWithMalformedBytesReplaced) {
  EXPECT_EQ(svg::escape("a<b & \"c\" 'd'>"), "a&lt;b &amp; &quot;c&quot; &#39;d&#39;&gt;");
  EXPECT_EQ(svg::escape(std::string("x\x01y\tz")), "xy\tz");
  EXPECT_EQ(svg::escape("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xC3\xA9 \xE2\x82\xAC");  // kept whole
  EXPECT_EQ(svg::escape("a\xC3(b"), "a\xEF\xBF\xBD(b");                            // cut short
  EXPECT_EQ(svg::escape("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong
  EXPECT_EQ(svg::escape("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
}

}  // namespace
}  // namespace kav
