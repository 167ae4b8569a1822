// The HTML file: escaping, a table of contents whose links all land, graphs
// with and without a drawing template, and the graphics folder.
#include "render/html.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "host/value.h"
#include "render/destinations.h"

namespace kav {
namespace {

namespace fs = std::filesystem;

fs::path fresh_folder(const std::string& name) {
  fs::path dir =
      fs::temp_directory_path() / ("kav_html_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string read_file(const fs::path& file) {
  std::ifstream in(file);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string run_report(const fs::path& file, const GraphTemplateRegistry& graphs) {
  OutputDelivery delivery;
  install_destination_kinds(delivery, graphs, "1");
  EXPECT_EQ(delivery.open_html(file.string()), "");
  delivery.set_titles({"Survey \"A\" & <B>"});
  delivery.begin_step("FACTOR", 7);
  delivery.set_procedure_label("The FACTOR Procedure");
  delivery.set_by_values({{"region", std::string("n<orth>"), ""}});
  delivery.open_group("InitialSolution", "Initial <Method>");
  Table t;
  t.name = "Eigenvalues";
  t.label = "Eigenvalues & more";
  t.add_column("Label", ColumnKind::Text, std::string("a<b"));
  t.add_column("Value", ColumnKind::Number, std::nullopt, fixed_format(8, 3));
  t.add_row({std::string("<script>alert('x')</script>"), 1.5});
  t.add_row({std::string("plain"), special_missing('D')});
  delivery.add_table(t);
  Graph drawn;
  drawn.name = "DrawnPlot";
  drawn.label = "Drawn plot";
  drawn.template_path = "Stat.Test.Graphics.Drawn";
  delivery.add_graph(drawn);
  Graph undrawn;
  undrawn.name = "ScreePlot";
  undrawn.label = "Scree plot";
  undrawn.template_path = "Stat.Factor.Graphics.ScreePlot2";
  delivery.add_graph(undrawn);
  delivery.close_group();
  delivery.open_group("RotatedSolution", "Rotated");
  delivery.add_note_lines({"x < y"});
  delivery.end_step(0, 0, {});
  delivery.begin_step("FACTOR", 20);
  t.name = "Second";
  t.label = "Second step table";
  delivery.add_table(t);
  delivery.end_step(0, 0, {});
  EXPECT_EQ(delivery.close_html(), "");
  return read_file(file);
}

TEST(Html, EscapesEveryTextItShows) {
  GraphTemplateRegistry graphs;
  const std::string html = run_report(fresh_folder("escape") / "r.html", graphs);
  EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("Survey &quot;A&quot; &amp; &lt;B&gt;"), std::string::npos);
  EXPECT_NE(html.find("a&lt;b"), std::string::npos);
  EXPECT_NE(html.find("region=n&lt;orth&gt;"), std::string::npos);
  EXPECT_NE(html.find("Initial &lt;Method&gt;"), std::string::npos);
  EXPECT_NE(html.find("x &lt; y"), std::string::npos);
  EXPECT_NE(html.find(">1.500<"), std::string::npos);  // the column's format
  EXPECT_NE(html.find(">D<"), std::string::npos);      // special missing as its letter
}

TEST(Html, StackedRowsFollowTheirRowWithCoverageMarksKeptAsWritten) {
  const fs::path file = fresh_folder("stacks") / "r.html";
  OutputDelivery delivery;
  GraphTemplateRegistry graphs;
  install_destination_kinds(delivery, graphs, "1");
  ASSERT_EQ(delivery.open_html(file.string()), "");
  delivery.begin_step("FACTOR", 1);
  MatrixSpec spec;
  spec.name = "FactorPattern";
  spec.rows = 2;
  spec.columns = 1;
  spec.data = {0.8, -0.3};
  spec.row_labels = {"x1", "x2"};
  spec.column_labels = {"Factor1"};
  spec.format = fixed_format(8, 3);
  Table t = matrix_table(spec);
  t.stacks = {{"L", {{0.61}, {-0.52}}},
              {"Coverage", {{std::string(" 0[]")}, {std::string("[*0]")}}}};
  delivery.add_table(t);
  // One value per variable: no header at all, so no empty header bar either.
  Table msa = matrix_table(spec);
  msa.name = "SamplingAdequacy";
  msa.columns[1].header = std::string();
  msa.label = "SamplingAdequacy";
  msa.title = {"Sampling Adequacy: Overall MSA = 0.7"};
  delivery.add_table(msa);
  // A flag mark adjoins its value.
  Table flagged;
  flagged.name = "FactorPatternFlag";
  flagged.label = "Flagged Pattern";
  flagged.row_labels_first = true;
  flagged.add_column("Variable", ColumnKind::Text, std::string());
  flagged.add_column("RFactor1", ColumnKind::Number, std::string("Factor1"), fixed_format(6, 0));
  flagged.add_column("FgFactor1", ColumnKind::Text, std::string()).adjoins = true;
  flagged.add_row({std::string("x9"), 81.0, std::string("*")});
  delivery.add_table(flagged);
  delivery.end_step(0, 0, {});
  ASSERT_EQ(delivery.close_html(), "");
  const std::string html = read_file(file);
  EXPECT_EQ(count_of(html, "<thead>"), 2);
  // Contents: a label that is only the table's name gives way to the title's
  // words; a label in words stays.
  EXPECT_NE(html.find("\">Sampling Adequacy</a>"), std::string::npos);
  EXPECT_EQ(html.find(">SamplingAdequacy<"), std::string::npos);
  EXPECT_NE(html.find("\">Flagged Pattern</a>"), std::string::npos);
  EXPECT_NE(html.find("<th scope=\"row\">x9</th><td class=\"num\">81</td><td "
                      "class=\"adjoins\">*</td>"),
            std::string::npos);
  const std::size_t x1 = html.find(">x1<"), x2 = html.find(">x2<");
  ASSERT_NE(x1, std::string::npos);
  ASSERT_NE(x2, std::string::npos);
  // Row x1, then its limit and its coverage, then row x2 with its own.
  const std::size_t l1 = html.find(">0.610<", x1), c1 = html.find("> 0[]<", x1);
  EXPECT_LT(x1, l1);
  EXPECT_LT(l1, c1);
  EXPECT_LT(c1, x2);
  const std::size_t c2 = html.find(">[*0]<", x2);
  ASSERT_NE(c2, std::string::npos);
  EXPECT_GT(c2, html.find(">-0.520<", x2));
  EXPECT_EQ(count_of(html, "<td class=\"num marks\">"), 2);
  EXPECT_EQ(count_of(html, "<tr class=\"stack\">"), 4);
}

TEST(Html, ContentsLinkToEveryHeadingAndObject) {
  GraphTemplateRegistry graphs;
  const std::string html = run_report(fresh_folder("contents") / "r.html", graphs);
  const std::size_t nav = html.find("<nav class=\"contents\"");
  const std::size_t nav_end = html.find("</nav>");
  ASSERT_NE(nav, std::string::npos);
  ASSERT_NE(nav_end, std::string::npos);
  const std::string contents = html.substr(nav, nav_end - nav);
  for (const char* label :
       {"The FACTOR Procedure", "region=n&lt;orth&gt;", "Initial &lt;Method&gt;",
        "Eigenvalues &amp; more", "Scree plot", "Rotated", "Second step table"})
    EXPECT_NE(contents.find(label), std::string::npos) << label;

  std::set<std::string> ids;
  const std::regex id_pattern("id=\"([^\"]+)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), id_pattern);
       it != std::sregex_iterator(); ++it) {
    EXPECT_TRUE(ids.insert((*it)[1]).second) << "duplicate id " << (*it)[1];
  }
  const std::regex href_pattern("href=\"#([^\"]+)\"");
  int links = 0;
  for (auto it = std::sregex_iterator(contents.begin(), contents.end(), href_pattern);
       it != std::sregex_iterator(); ++it, ++links)
    EXPECT_EQ(ids.count((*it)[1]), 1u) << "dangling link " << (*it)[1];
  EXPECT_EQ(links, 9);  // 2 steps, 1 BY group, 2 groups, 4 objects (the note is unnamed)
  // Nested lists are closed properly.
  EXPECT_EQ(count_of(contents, "<ul>"), count_of(contents, "</ul>"));
  EXPECT_EQ(count_of(contents, "<li>"), count_of(contents, "</li>"));
  EXPECT_EQ(count_of(html, "<table>"), count_of(html, "</table>"));
  EXPECT_EQ(count_of(html, "<section"), count_of(html, "</section>"));
}

TEST(Html, SelfContainedResponsiveAndPrintable) {
  GraphTemplateRegistry graphs;
  const std::string html = run_report(fresh_folder("style") / "r.html", graphs);
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html.find("<meta name=\"viewport\""), std::string::npos);
  EXPECT_NE(html.find("overflow-x: auto"), std::string::npos);
  EXPECT_NE(html.find("@media print"), std::string::npos);
  EXPECT_EQ(html.find("<link"), std::string::npos);
  EXPECT_EQ(html.find("src=\"http"), std::string::npos);
  EXPECT_NE(html.find("</html>"), std::string::npos);
}

TEST(Html, GraphsDrawnByTheirTemplateOrSayWhyNot) {
  GraphTemplateRegistry graphs;
  graphs.add("stat.test.graphics.drawn", [](const Graph& g) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\"><title>" + g.name + "</title></svg>";
  });
  const std::string html = run_report(fresh_folder("graphs") / "r.html", graphs);
  EXPECT_NE(html.find("<svg xmlns=\"http://www.w3.org/2000/svg\"><title>DrawnPlot</title></svg>"),
            std::string::npos);
  EXPECT_NE(html.find("The graph ScreePlot (Stat.Factor.Graphics.ScreePlot2) has no drawing "
                      "template yet."),
            std::string::npos);
  EXPECT_EQ(html.find("The graph DrawnPlot"), std::string::npos);
}

TEST(Html, FileThatCannotBeOpenedIsReportedAtOpen) {
  GraphTemplateRegistry graphs;
  OutputDelivery delivery;
  install_destination_kinds(delivery, graphs, "1");
  const std::string bad = (fresh_folder("bad") / "missing" / "r.html").string();
  const std::string error = delivery.open_html(bad);
  EXPECT_NE(error.find(bad), std::string::npos) << error;
  EXPECT_FALSE(delivery.destination_open("html"));
}

TEST(GraphicsFolder, WritesEveryGraphUnderAUniqueName) {
  GraphTemplateRegistry graphs;
  OutputDelivery delivery;
  install_destination_kinds(delivery, graphs, "1");
  const fs::path folder = fresh_folder("svg") / "graphs";
  ASSERT_EQ(delivery.open_destination("graphics", folder.string()), "");
  delivery.begin_step("FACTOR", 1);
  Graph g;
  g.name = "ScreePlot";
  g.template_path = "Stat.Factor.Graphics.ScreePlot1";
  delivery.add_graph(g);
  delivery.add_graph(g);
  delivery.end_step(0, 0, {});
  delivery.close_all();
  ASSERT_TRUE(fs::exists(folder / "ScreePlot.svg"));
  ASSERT_TRUE(fs::exists(folder / "ScreePlot1.svg"));
  const std::string svg = read_file(folder / "ScreePlot.svg");
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find("has no drawing template yet"), std::string::npos);
}

}  // namespace
}  // namespace kav
