// The HTML file: escaping, a table of contents whose links all land, stacked
// rows, graphs with and without a drawing template, and the graphics folder.
// (The programs' browser test parses and renders whole reports.)
#include "render/html.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "host/value.h"
#include "render/destinations.h"
#include "support/matrix_table.h"
#include "support/temp_folder.h"

namespace kav {
namespace {

namespace fs = std::filesystem;
using testing_support::count_of;
using testing_support::slurp;

struct Html : testing_support::TempFolderTest {
  GraphTemplateRegistry graphs;
  OutputDelivery delivery;
  fs::path file = dir / "r.html";
  void SetUp() override {
    TempFolderTest::SetUp();
    install_destination_kinds(delivery, graphs, "1");
  }
};

TEST_F(Html, EscapesEveryTextDrawsGraphsByTheirTemplateAndLinksEveryObject) {
  graphs.add("stat.test.graphics.drawn", [](const Graph& g) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\"><title>" + g.name + "</title></svg>";
  });
  // Two steps: a BY group with two groups, a table, two graphs and a note;
  // every text that could break the markup has markup characters.
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
  delivery.add_graph(Graph{"DrawnPlot", "Drawn plot", "Stat.Test.Graphics.Drawn", {}, {}, {}});
  delivery.add_graph(
      Graph{"ScreePlot", "Scree plot", "Stat.Factor.Graphics.ScreePlot2", {}, {}, {}});
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
  const std::string html = slurp(file);
  for (const char* shown :
       {"&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;", "Survey &quot;A&quot; &amp; &lt;B&gt;",
        "a&lt;b", "region=n&lt;orth&gt;", "Initial &lt;Method&gt;", "x &lt; y",
        ">1.500<",  // the column's format
        ">D<"})     // special missing as its letter
    EXPECT_NE(html.find(shown), std::string::npos) << shown;
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("<svg xmlns=\"http://www.w3.org/2000/svg\"><title>DrawnPlot</title></svg>"),
            std::string::npos);
  EXPECT_NE(html.find("The graph ScreePlot (Stat.Factor.Graphics.ScreePlot2) has no drawing "
                      "template yet."),
            std::string::npos);
  EXPECT_EQ(html.find("The graph DrawnPlot"), std::string::npos);

  // The contents link to every heading and object, and every link lands.
  const std::size_t nav = html.find("<nav class=\"contents\""), nav_end = html.find("</nav>");
  ASSERT_NE(nav, std::string::npos);
  ASSERT_NE(nav_end, std::string::npos);
  const std::string contents = html.substr(nav, nav_end - nav);
  for (const char* label :
       {"The FACTOR Procedure", "region=n&lt;orth&gt;", "Initial &lt;Method&gt;",
        "Eigenvalues &amp; more", "Scree plot", "Rotated", "Second step table"})
    EXPECT_NE(contents.find(label), std::string::npos) << label;
  std::set<std::string> ids;
  const std::regex id_pattern("id=\"([^\"]+)\""), href_pattern("href=\"#([^\"]+)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), id_pattern);
       it != std::sregex_iterator(); ++it)
    EXPECT_TRUE(ids.insert((*it)[1]).second) << "duplicate id " << (*it)[1];
  int links = 0;
  for (auto it = std::sregex_iterator(contents.begin(), contents.end(), href_pattern);
       it != std::sregex_iterator(); ++it, ++links)
    EXPECT_EQ(ids.count((*it)[1]), 1u) << "dangling link " << (*it)[1];
  EXPECT_EQ(links, 9);  // 2 steps, 1 BY group, 2 groups, 4 objects (the note is unnamed)
}

TEST_F(Html, BytesThatAreNotUtf8AreReplacedAsInTheJsonResults) {
  // A Latin-1 title, a label cut inside a character, and an overlong form.
  ASSERT_EQ(delivery.open_html(file.string()), "");
  delivery.set_titles({"Caf\xE9 survey"});
  delivery.begin_step("FACTOR", 1);
  Table t;
  t.name = "Labels";
  t.label = "Cut \xE2\x82 short";
  t.add_column("Label", ColumnKind::Text, std::string("Label"));
  t.add_row(
      {std::string("a\xC0\xAF"
                   "b")});
  delivery.add_table(t);
  delivery.end_step(0, 0, {});
  ASSERT_EQ(delivery.close_html(), "");
  const std::string html = slurp(file);
  for (const char* shown : {"Caf\xEF\xBF\xBD survey", "Cut \xEF\xBF\xBD short",
                            "a\xEF\xBF\xBD\xEF\xBF\xBD"
                            "b"})
    EXPECT_NE(html.find(shown), std::string::npos) << shown;
  // The JSON library refuses to write text that is not UTF-8.
  EXPECT_NO_THROW(nlohmann::json(html).dump());
}

TEST_F(Html, StackedRowsFollowTheirRowAndMarksAdjoinTheirValues) {
  ASSERT_EQ(delivery.open_html(file.string()), "");
  delivery.begin_step("FACTOR", 1);
  Table t = testing_support::labelled_matrix("FactorPattern", 2, 1, {0.8, -0.3}, {"x1", "x2"},
                                             {"Factor1"}, fixed_format(8, 3));
  t.stacks = {{"L", {{0.61}, {-0.52}}},
              {"Coverage", {{std::string(" 0[]")}, {std::string("[*0]")}}}};
  delivery.add_table(t);
  Table flagged;
  flagged.name = "FactorPatternFlag";
  flagged.row_labels_first = true;
  flagged.add_column("Variable", ColumnKind::Text, std::string());
  flagged.add_column("RFactor1", ColumnKind::Number, std::string("Factor1"), fixed_format(6, 0));
  flagged.add_column("FgFactor1", ColumnKind::Text, std::string()).adjoins = true;
  flagged.add_row({std::string("x9"), 81.0, std::string("*")});
  delivery.add_table(flagged);
  delivery.end_step(0, 0, {});
  ASSERT_EQ(delivery.close_html(), "");
  const std::string html = slurp(file);
  EXPECT_NE(html.find("<th scope=\"row\">x9</th><td class=\"num\">81</td><td "
                      "class=\"adjoins\">*</td>"),
            std::string::npos);
  // Row x1, then its limit and its coverage, then row x2 with its own.
  const std::size_t x1 = html.find(">x1<"), x2 = html.find(">x2<");
  ASSERT_NE(x2, std::string::npos);
  const std::size_t l1 = html.find(">0.610<", x1), c1 = html.find("> 0[]<", x1);
  EXPECT_LT(x1, l1);
  EXPECT_LT(l1, c1);
  EXPECT_LT(c1, x2);
  const std::size_t c2 = html.find(">[*0]<", x2);
  ASSERT_NE(c2, std::string::npos);
  EXPECT_GT(c2, html.find(">-0.520<", x2));
  EXPECT_EQ(count_of(html, "<tr class=\"stack\">"), 4);
}

TEST_F(Html, GraphicsFolderGetsEveryGraphUnderAUniqueNameAndBadPathsAreReported) {
  const std::string bad = (dir / "missing" / "r.html").string();
  EXPECT_NE(delivery.open_html(bad).find(bad), std::string::npos);
  EXPECT_FALSE(delivery.destination_open("html"));

  const fs::path folder = dir / "graphs";
  ASSERT_EQ(delivery.open_destination("graphics", folder.string()), "");
  delivery.begin_step("FACTOR", 1);
  Graph g{"ScreePlot", "", "Stat.Factor.Graphics.ScreePlot1", {}, {}, {}};
  delivery.add_graph(g);
  delivery.add_graph(g);
  delivery.end_step(0, 0, {});
  delivery.close_all();
  ASSERT_TRUE(fs::exists(folder / "ScreePlot1.svg"));
  const std::string svg = slurp(folder / "ScreePlot.svg");
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find("has no drawing template yet"), std::string::npos);
}

}  // namespace
}  // namespace kav
