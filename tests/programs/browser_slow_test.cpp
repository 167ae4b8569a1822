// The HTML report of every program in tests/programs parses without an
// error in an HTML5 parser (html5lib) and loads in headless Chromium without
// console messages, while a script measures every text of every graph as
// the browser lays it out: none may reach outside its picture or cover
// another.  Every graph has one drawn picture; the program that turns every
// plot on (all_plots.kav) makes each graph the options ask for.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "cli/run.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using kav::testing_support::count_of;
using kav::testing_support::slurp;

int shell(const std::string& cmd) {
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Writes into the page, once it has loaded: "GRAPHS n", one line per text
// that is clipped or overlaps another, "END".
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

struct Browser : kav::testing_support::TempFolderTest {
  // What html5lib finds wrong with the page, one error per line.
  std::string parse_errors(const fs::path& html) {
    const std::string script =
        write_file("parse.py",
                   "import sys, html5lib\n"
                   "p = html5lib.HTMLParser(strict=False)\n"
                   "p.parse(open(sys.argv[1], 'rb'))\n"
                   "for pos, code, data in p.errors: print(pos, code, data)\n");
    const int rc = shell("/usr/bin/python3 " + script + " " + html.string() + " >" +
                         (dir / "parse.txt").string() + " 2>&1");
    return (rc == 0 ? "" : "parser failed: ") + slurp(dir / "parse.txt");
  }

  // The page with the measuring script, loaded in Chromium: the script's
  // report, then the console lines, then Chromium's own failures.
  std::string measure(const std::string& html) {
    std::string page = html;
    const std::size_t end = page.rfind("</body>");
    page.insert(end == std::string::npos ? page.size() : end,
                std::string("<script>") + kMeasure + "</script>");
    const fs::path file = write_file("measured.html", page), dom = dir / "dom.html",
                   err = dir / "err.txt";
    fs::remove_all(dir / "profile");
    const int rc = shell(
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--user-data-dir=" +
        (dir / "profile").string() +
        " --enable-logging=stderr --log-level=0 --window-size=1400,1000 "
        "--virtual-time-budget=5000 --dump-dom file://" +
        file.string() + " >" + dom.string() + " 2>" + err.string());
    const std::string text = slurp(dom), mark = "id=\"kav-check\">";
    const std::size_t at = text.find(mark);
    std::string report =
        at == std::string::npos
            ? "no report from the page\n"
            : text.substr(at + mark.size(), text.find("END", at) - at - mark.size());
    std::istringstream lines(slurp(err));
    for (std::string line; std::getline(lines, line);)
      if (line.find(":CONSOLE") != std::string::npos) report += line + "\n";
    if (rc != 0) report += "chromium exited with " + std::to_string(rc) + "\n";
    return report;
  }
};

TEST_F(Browser, TheCheckersSeeBrokenPages) {
  const std::string bad = write_file(
      "bad.html",
      "<!DOCTYPE html><html><head><title>x</title></head><body><figure class=\"graph\">"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"50\" aria-label=\"bad\">"
      "<text x=\"10\" y=\"20\" font-size=\"14\">first</text>"
      "<text x=\"14\" y=\"22\" font-size=\"14\">second</text>"
      "<text x=\"80\" y=\"40\" font-size=\"14\">outside</text></svg></figure>"
      "<table><tr><td>cell</table></div><script>nosuch();</script></body></html>");
  EXPECT_NE(parse_errors(bad), "");
  const std::string report = measure(slurp(bad));
  for (const char* seen :
       {"GRAPHS 1", "\"first\" overlaps \"second\"", "clipped \"outside\"", "nosuch"})
    EXPECT_NE(report.find(seen), std::string::npos) << seen << " in " << report;
}

TEST_F(Browser, EveryProgramsReportParsesLoadsAndPlacesItsTextCleanly) {
  int checked = 0;
  for (const auto& e : fs::directory_iterator(fs::path(KAV_SOURCE_DIR) / "tests" / "programs")) {
    if (e.path().extension() != ".kav") continue;
    SCOPED_TRACE(e.path().filename().string());
    std::ostringstream listing, log;
    kav::RunOptions opts;
    opts.work = ":memory:";
    opts.html = (dir / "report.html").string();
    opts.json = (dir / "results.json").string();
    opts.listing_stream = &listing;
    opts.log_stream = &log;
    const int status = kav::run_program(slurp(e.path()), e.path().string(), opts);
    const std::string html = slurp(dir / "report.html");
    const json results = json::parse(slurp(dir / "results.json"));
    std::map<std::string, int> graphs;
    int total = 0;
    for (const json& step : results["steps"])
      for (const json& o : step["outputs"])
        if (o["type"] == "graph") ++graphs[o["path"].get<std::string>()], ++total;
    // One drawn picture per graph, every one with a drawer.
    EXPECT_EQ(count_of(html, "<figure class=\"output graph\""), total);
    EXPECT_EQ(count_of(html, "<p class=\"no-template\""), 0);
    EXPECT_EQ(parse_errors(dir / "report.html"), "");
    EXPECT_EQ(measure(html), "GRAPHS " + std::to_string(total) + "\n\n");
    ++checked;
    if (e.path().stem() != "all_plots") continue;
    EXPECT_EQ(status, 0) << log.str();
    // Three factors give three pairs for each loadings stage, and three
    // PATHDIAGRAM statements three diagrams.
    const std::string g = "Stat.Factor.Graphics.";
    EXPECT_EQ(graphs, (std::map<std::string, int>{{g + "ScreePlot1", 1},
                                                  {g + "VariancePlot", 1},
                                                  {g + "InitPatternPlot", 3},
                                                  {g + "PrePatternPlot", 3},
                                                  {g + "RefStructurePlot", 3},
                                                  {g + "PathDiagram", 3}}));
  }
  EXPECT_GE(checked, 3);
}

}  // namespace
