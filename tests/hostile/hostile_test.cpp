// The hostile-input corpus: every program in tests/hostile/cases runs
// in-process, each as a test of its own, and must end with the exit status
// and the messages its first line states.  A case that hangs fails by
// running past the time limit ctest gives every test of this program.
//
// The first line of a case:
//   /* expect: status=2 message=1.90*3 words="text" */
// message=G.N[*K]: message N of group G is logged (K times, when given);
// words: the log holds this text (\" for a quote).  A case asks for files
// next to it with lines  /* file NAME: CONTENT */  (\n is a line break, \0
// a NUL byte).
// Big inputs are written small: {{N*text}} stands for N copies of text,
// with # in it numbering each copy from 1; {{dir}} is the case's folder,
// which is also its WORK library, so that WORK data sets go through the
// CSV engine and their sidecars.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "cli/run.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const fs::path kCases = fs::path(KAV_SOURCE_DIR) / "tests" / "hostile" / "cases";

struct Expectation {
  int status = -1;
  std::map<std::pair<int, int>, int> messages;  // (group, number) -> times, 0: at least once
  std::vector<std::string> words;
};

std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      ++i;
      out += s[i] == 'n' ? '\n' : s[i] == '0' ? '\0' : s[i];
    } else {
      out += s[i];
    }
  }
  return out;
}

Expectation expectation(const std::string& text) {
  Expectation e;
  const std::string first = text.substr(0, text.find('\n'));
  std::smatch m;
  if (std::regex_search(first, m, std::regex(R"(status=(\d+))"))) e.status = std::stoi(m[1]);
  const std::regex message(R"(message=(\d+)\.(\d+)(?:\*(\d+))?)");
  for (std::sregex_iterator it(first.begin(), first.end(), message), end; it != end; ++it)
    e.messages[{std::stoi((*it)[1]), std::stoi((*it)[2])}] =
        (*it)[3].matched ? std::stoi((*it)[3]) : 0;
  const std::regex words(R"re(words="((?:[^"\\]|\\.)*)")re");
  for (std::sregex_iterator it(first.begin(), first.end(), words), end; it != end; ++it)
    e.words.push_back(unescape((*it)[1]));
  return e;
}

// {{N*text}} and {{dir}}.
std::string expand(const std::string& text, const std::string& dir) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t open; (open = text.find("{{", at)) != std::string::npos;) {
    const std::size_t close = text.find("}}", open);
    out.append(text, at, open - at);
    const std::string inside = text.substr(open + 2, close - open - 2);
    if (inside == "dir") {
      out += dir;
    } else {
      const std::size_t star = inside.find('*');
      const long copies = std::stol(inside.substr(0, star));
      const std::string piece = inside.substr(star + 1);
      for (long k = 1; k <= copies; ++k)
        for (char c : piece) c == '#' ? out += std::to_string(k) : out += c;
    }
    at = close + 2;
  }
  return out + text.substr(at);
}

// Read by hand rather than by a regular expression: a file may be a line of
// many megabytes.
void write_files(const std::string& program, const fs::path& dir) {
  const std::string open = "/* file ";
  for (std::size_t at = 0; (at = program.find(open, at)) != std::string::npos;) {
    const std::size_t colon = program.find(": ", at);
    const std::size_t close = program.find(" */", colon);
    const std::string name = program.substr(at + open.size(), colon - at - open.size());
    std::ofstream(dir / name, std::ios::binary)
        << unescape(program.substr(colon + 2, close - colon - 2));
    at = close;
  }
}

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(kCases))
    if (e.path().extension() == ".kav") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class Hostile : public testing::TestWithParam<std::string> {};

TEST_P(Hostile, EndsAsExpected) {
  std::ostringstream source;
  source << std::ifstream(kCases / (GetParam() + ".kav")).rdbuf();
  const Expectation want = expectation(source.str());
  ASSERT_GE(want.status, 0) << "the case states no status on its first line";

  const fs::path dir =
      fs::temp_directory_path() / ("kav_hostile_" + std::to_string(::getpid()) + "_" + GetParam());
  fs::remove_all(dir);
  fs::create_directories(dir / "work");
  const std::string program = expand(source.str(), dir.string());
  write_files(program, dir);

  std::ostringstream listing, log;
  kav::RunOptions opts;
  opts.work = (dir / "work").string();
  opts.json = (dir / "results.json").string();
  opts.listing_stream = &listing;
  opts.log_stream = &log;
  const int status = kav::run_program(program, GetParam() + ".kav", opts);
  json results = json::parse(std::ifstream(dir / "results.json"));
  fs::remove_all(dir);

  const std::string text = log.str();
  const std::string shown = text.size() > 4000 ? text.substr(0, 4000) + "..." : text;
  EXPECT_EQ(status, want.status) << shown;
  std::map<std::pair<int, int>, int> seen;
  auto count = [&](const json& entries) {
    for (const auto& m : entries) ++seen[{m["group"].get<int>(), m["number"].get<int>()}];
  };
  count(results["log"]);
  for (const auto& step : results["steps"]) count(step["log"]);
  for (const auto& [id, times] : want.messages) {
    const int got = seen.count(id) ? seen[id] : 0;
    if (times == 0)
      EXPECT_GT(got, 0) << "message " << id.first << "." << id.second << "\n" << shown;
    else
      EXPECT_EQ(got, times) << "message " << id.first << "." << id.second << "\n" << shown;
  }
  for (const std::string& w : want.words)
    EXPECT_NE(text.find(w), std::string::npos) << "words: " << w << "\n" << shown;
}

INSTANTIATE_TEST_SUITE_P(Cases, Hostile, testing::ValuesIn(case_names()),
                         [](const testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
