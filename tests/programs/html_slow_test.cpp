// The HTML report of every program in tests/programs parses without a
// single error in an HTML5 parser (html5lib) and renders in headless Chromium
// without console messages, at phone width; each page leaves a screenshot.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/run.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

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

struct Html : kav::testing_support::TempFolderTest {

  // Errors reported by html5lib's strict parser, one per line ("" when none).
  std::string parse_errors(const fs::path& html) {
    fs::path script = dir / "parse.py";
    std::ofstream(script) << "import sys, html5lib\n"
                             "p = html5lib.HTMLParser(strict=False)\n"
                             "p.parse(open(sys.argv[1], 'rb'))\n"
                             "for pos, code, data in p.errors: print(pos, code, data)\n";
    fs::path out = dir / "parse.txt";
    int rc = shell("/usr/bin/python3 " + script.string() + " " + html.string() + " >" +
                   out.string() + " 2>&1");
    std::string text = slurp(out);
    return rc == 0 ? text : "parser failed: " + text;
  }

  // Console lines Chromium logs while loading and drawing the page.
  std::string console_lines(const fs::path& html, const fs::path& png) {
    fs::path profile = dir / "profile";
    fs::remove_all(profile);
    fs::path out = dir / "chromium.txt";
    int rc = shell(
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update "
        "--disable-sync --user-data-dir=" +
        profile.string() + " --enable-logging=stderr --log-level=0 --window-size=390,844 --screenshot=" +
        png.string() + " file://" + html.string() + " >" + out.string() + " 2>&1");
    std::string console;
    std::istringstream lines(slurp(out));
    for (std::string line; std::getline(lines, line);)
      if (line.find(":CONSOLE") != std::string::npos) console += line + "\n";
    if (rc != 0) console += "chromium exited with " + std::to_string(rc) + "\n";
    if (!fs::exists(png) || fs::file_size(png) == 0) console += "no screenshot was made\n";
    return console;
  }
};

TEST_F(Html, TheCheckersSeeBrokenPages) {
  fs::path bad = dir / "bad.html";
  std::ofstream(bad) << "<!DOCTYPE html><html><head><title>x</title></head><body>"
                        "<table><tr><td>cell</table></div><script>nosuch();</script></body></html>";
  EXPECT_NE(parse_errors(bad), "");
  EXPECT_NE(console_lines(bad, dir / "bad.png").find("nosuch"), std::string::npos);
}

TEST_F(Html, EveryProgramsReportParsesAndRendersCleanly) {
  int checked = 0;
  for (const auto& e : fs::directory_iterator(fs::path(KAV_SOURCE_DIR) / "tests" / "programs")) {
    if (e.path().extension() != ".kav") continue;
    std::ostringstream listing, log;
    kav::RunOptions opts;
    opts.work = ":memory:";
    fs::path html = dir / (e.path().stem().string() + ".html");
    opts.html = html.string();
    opts.listing_stream = &listing;
    opts.log_stream = &log;
    kav::run_program(slurp(e.path()), e.path().string(), opts);
    ASSERT_TRUE(fs::exists(html)) << e.path();
    EXPECT_EQ(parse_errors(html), "") << e.path();
    EXPECT_EQ(console_lines(html, dir / (e.path().stem().string() + ".png")), "") << e.path();
    ++checked;
  }
  EXPECT_GE(checked, 3);
}

}  // namespace
