// The program that turns every plot on (all_plots.kav): one SVG in the
// HTML report per graph the step made, each graph's linked tables holding
// the solution it shows, the character plots in the listing, and the
// report opened in headless Chromium, where a script measures every text of
// every graph as the browser lays it out: none may reach outside its
// picture or cover another.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

int shell(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Measures every <text> of every graph once the page has loaded and writes
// what it found into the page: "GRAPHS n", one line per problem, "END".
const char* kMeasure = R"js(
window.addEventListener('load', () => {
  const problems = [];
  const svgs = document.querySelectorAll('figure.graph svg');
  svgs.forEach((svg, i) => {
    const frame = svg.getBoundingClientRect();
    const name = svg.getAttribute('aria-label') || 'graph ' + i;
    const texts = [...svg.querySelectorAll('text')].filter(t => t.textContent.trim() !== '');
    const boxes = texts.map(t => t.getBoundingClientRect());
    boxes.forEach((b, k) => {
      if (b.left < frame.left - 0.5 || b.right > frame.right + 0.5 || b.top < frame.top - 0.5 ||
          b.bottom > frame.bottom + 0.5)
        problems.push(name + ': clipped "' + texts[k].textContent + '"');
    });
    // Glyph boxes include the line's leading, so boxes of stacked lines may
    // share a few pixels; only a real overlap counts.
    for (let a = 0; a < boxes.length; ++a)
      for (let b = a + 1; b < boxes.length; ++b) {
        const w = Math.min(boxes[a].right, boxes[b].right) - Math.max(boxes[a].left, boxes[b].left);
        const h = Math.min(boxes[a].bottom, boxes[b].bottom) - Math.max(boxes[a].top, boxes[b].top);
        if (w > 1 && h > 3)
          problems.push(name + ': "' + texts[a].textContent + '" overlaps "' + texts[b].textContent + '"');
      }
  });
  const pre = document.createElement('pre');
  pre.id = 'kav-check';
  pre.textContent = 'GRAPHS ' + svgs.length + '\n' + problems.join('\n') + '\nEND';
  document.body.appendChild(pre);
});
)js";

struct Plots : kav::testing_support::TempFolderTest {

  // The page with the measuring script, loaded in Chromium: the script's
  // report, then the console lines, then Chromium's own failures.
  std::string measure(const std::string& html) {
    std::string page = html;
    const std::size_t end = page.rfind("</body>");
    page.insert(end == std::string::npos ? page.size() : end,
                std::string("<script>") + kMeasure + "</script>");
    const fs::path file = dir / "measured.html", dom = dir / "dom.html", err = dir / "err.txt";
    std::ofstream(file) << page;
    const int rc = shell(
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--user-data-dir=" + (dir / "profile").string() +
        " --enable-logging=stderr --log-level=0 --window-size=1400,1000 "
        "--virtual-time-budget=5000 --dump-dom file://" + file.string() + " >" + dom.string() +
        " 2>" + err.string());
    std::string report;
    const std::string text = slurp(dom);
    const std::size_t at = text.find("id=\"kav-check\">");
    if (at != std::string::npos) {
      const std::size_t from = at + std::string("id=\"kav-check\">").size();
      report = text.substr(from, text.find("END", from) - from);
    } else {
      report = "no report from the page\n";
    }
    std::istringstream lines(slurp(err));
    for (std::string line; std::getline(lines, line);)
      if (line.find(":CONSOLE") != std::string::npos) report += line + "\n";
    if (rc != 0) report += "chromium exited with " + std::to_string(rc) + "\n";
    return report;
  }
};

TEST_F(Plots, TheMeasureSeesClippedAndOverlappingText) {
  const std::string html =
      "<!DOCTYPE html><html><head><title>x</title></head><body><figure class=\"graph\">"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"50\" aria-label=\"bad\">"
      "<text x=\"10\" y=\"20\" font-size=\"14\">first</text>"
      "<text x=\"14\" y=\"22\" font-size=\"14\">second</text>"
      "<text x=\"80\" y=\"40\" font-size=\"14\">outside</text></svg></figure></body></html>";
  const std::string report = measure(html);
  EXPECT_NE(report.find("GRAPHS 1"), std::string::npos) << report;
  EXPECT_NE(report.find("\"first\" overlaps \"second\""), std::string::npos) << report;
  EXPECT_NE(report.find("clipped \"outside\""), std::string::npos) << report;
}

TEST_F(Plots, EveryPlotOfTheProgramIsDrawnFromTheSolutionItShows) {
  const fs::path program = fs::path(KAV_SOURCE_DIR) / "tests" / "programs" / "all_plots.kav";
  std::ostringstream listing, log;
  kav::RunOptions opts;
  opts.work = ":memory:";
  opts.html = (dir / "report.html").string();
  opts.json = (dir / "results.json").string();
  opts.listing_stream = &listing;
  opts.log_stream = &log;
  ASSERT_EQ(kav::run_program(slurp(program), program.string(), opts), 0) << log.str();
  const json results = json::parse(slurp(dir / "results.json"));
  const json& outputs = results["steps"].back()["outputs"];

  // Graphs by kind; three factors give three pairs for each loadings stage,
  // and three PATHDIAGRAM statements three diagrams.
  std::map<std::string, int> graphs;
  int total = 0;
  for (const json& o : outputs)
    if (o["type"] == "graph") ++graphs[o["path"].get<std::string>()], ++total;
  const std::string g = "Stat.Factor.Graphics.";
  EXPECT_EQ(graphs[g + "ScreePlot1"], 1);
  EXPECT_EQ(graphs[g + "VariancePlot"], 1);
  EXPECT_EQ(graphs[g + "InitPatternPlot"], 3);
  EXPECT_EQ(graphs[g + "PrePatternPlot"], 3);
  EXPECT_EQ(graphs[g + "RefStructurePlot"], 3);  // PLOTREF on the promax solution
  EXPECT_EQ(graphs[g + "PathDiagram"], 3);
  EXPECT_EQ(total, 14);

  // The linked tables: the last solution table before each graph.
  std::map<std::string, const json*> last;
  const std::map<std::string, std::string> source = {{"InitPatternPlot", "FactorPattern"},
                                                     {"PrePatternPlot", "OrthRotFactPat"},
                                                     {"RefStructurePlot", "ReferenceStructure"}};
  int checked = 0;
  for (const json& o : outputs) {
    if (o["type"] == "table") {
      last[o["name"].get<std::string>()] = &o;
      continue;
    }
    if (o["type"] != "graph") continue;
    const std::string name = o["name"];
    for (const json& t : o["tables"]) EXPECT_TRUE(last.count(t.get<std::string>())) << t;
    if (!source.count(name)) continue;
    const json& pattern = *last.at("Pattern");
    const json& solution = *last.at(source.at(name));
    const std::string x = o["dynamics"]["XVAR"], y = o["dynamics"]["YVAR"];
    auto column = [](const json& t, const std::string& c) {
      for (std::size_t k = 0; k < t["columns"].size(); ++k)
        if (t["columns"][k]["name"] == c) return k;
      return std::size_t(999);
    };
    ASSERT_EQ(pattern["rows"].size(), solution["rows"].size());
    for (std::size_t r = 0; r < pattern["rows"].size(); ++r)
      for (const std::string& f : {x, y}) {
        ASSERT_LT(column(pattern, f), 999u) << f;
        ASSERT_LT(column(solution, f), 999u) << f;
        EXPECT_EQ(pattern["rows"][r][column(pattern, f)].get<double>(),
                  solution["rows"][r][column(solution, f)].get<double>())
            << name << " " << f << " row " << r;
        ++checked;
      }
    // Circles (50% and 75% of the variance) on the initial plots only.
    const bool circles = name == "InitPatternPlot";
    EXPECT_EQ(o["tables"].size(), circles ? 2u : 1u);
    if (circles) {
      EXPECT_NEAR(o["dynamics"]["Radius1"].get<double>(), std::sqrt(0.5), 1e-15);
      EXPECT_NEAR(o["dynamics"]["Radius2"].get<double>(), std::sqrt(0.75), 1e-15);
    }
  }
  EXPECT_EQ(checked, 9 * 8 * 2);

  // The character plots: the scree plot and a factor plot per pair and stage.
  int scree = 0, factor_plots = 0;
  for (const json& o : outputs)
    if (o["type"] == "note" && o.contains("name")) {
      scree += o["name"] == "ScreePlot";
      factor_plots += o["name"] == "PatternPlot";
    }
  EXPECT_EQ(scree, 1);
  EXPECT_EQ(factor_plots, 9);
  EXPECT_NE(listing.str().find("Scree Plot of Eigenvalues"), std::string::npos);

  // The report: one drawn picture per graph, and in the browser no text
  // clipped or covering another.
  const std::string html = slurp(dir / "report.html");
  EXPECT_EQ(count(html, "<figure class=\"output graph\""), 14u);
  EXPECT_EQ(count(html, "<p class=\"no-template\""), 0u);
  const std::string report = measure(html);
  EXPECT_EQ(report, "GRAPHS 14\n\n") << report;
}

}  // namespace
