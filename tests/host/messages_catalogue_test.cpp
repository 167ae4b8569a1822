// The message catalogue of the procedure and its shared routines: table
// shape (argument numbering, order, uniqueness), formatting, and the numbers
// and severities that callers and tests rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/log.h"
#include "host/messages.h"

namespace kav {
std::span<const MessageDef> procedure_messages();
}

namespace {

using kav::MessageDef;
using kav::Severity;

// The argument numbers a text refers to (%1 .. %9).
std::set<int> argument_numbers(const char* text) {
  std::set<int> used;
  for (const char* p = text; *p; ++p)
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') used.insert(p[1] - '0');
  return used;
}

int argument_count(const char* text) {
  auto used = argument_numbers(text);
  return used.empty() ? 0 : *used.rbegin();
}

const MessageDef& lookup(int group, int number) {
  const MessageDef* m = kav::find_message(group, number);
  if (!m) {
    ADD_FAILURE() << "message " << group << "/" << number << " is not in the catalogue";
    static const MessageDef none{0, 0, Severity::Note, ""};
    return none;
  }
  return *m;
}

TEST(MessageCatalogue, ArgumentsAreNumberedWithoutGaps) {
  for (const MessageDef& m : kav::message_catalogue()) {
    auto used = argument_numbers(m.text);
    int k = argument_count(m.text);
    EXPECT_EQ(static_cast<int>(used.size()), k)
        << m.group << "/" << m.number << " skips an argument number: " << m.text;
    EXPECT_EQ(std::string(m.text).find("%0"), std::string::npos) << m.group << "/" << m.number;
  }
}

TEST(MessageCatalogue, NoDuplicateNumbers) {
  std::set<std::pair<int, int>> seen;
  for (const MessageDef& m : kav::message_catalogue())
    EXPECT_TRUE(seen.insert({m.group, m.number}).second)
        << "duplicate message " << m.group << "/" << m.number;
}

TEST(MessageCatalogue, ProcedureTableIsSortedAndUsesItsGroupsOnly) {
  auto table = kav::procedure_messages();
  ASSERT_FALSE(table.empty());
  const std::set<int> groups{174, 180, 210, 230, 271};
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_TRUE(groups.count(table[i].group)) << table[i].group << "/" << table[i].number;
    EXPECT_NE(std::string(table[i].text), "") << table[i].group << "/" << table[i].number;
    if (i > 0) {
      auto prev = std::pair(table[i - 1].group, table[i - 1].number);
      auto cur = std::pair(table[i].group, table[i].number);
      EXPECT_LT(prev, cur) << "out of order at " << cur.first << "/" << cur.second;
    }
  }
  // The placeholder that stood in for the procedure's messages is gone.
  EXPECT_EQ(kav::find_message(180, 0), nullptr);
}

TEST(MessageCatalogue, WholeCatalogueIsSortedForLookup) {
  const auto& all = kav::message_catalogue();
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](const MessageDef& a, const MessageDef& b) {
    return std::pair(a.group, a.number) < std::pair(b.group, b.number);
  }));
  // Every entry is found again by its own number.
  for (const MessageDef& m : all) EXPECT_EQ(kav::find_message(m.group, m.number), &m);
}

TEST(MessageCatalogue, FormatSubstitutesArgumentsInOrder) {
  Severity sev = Severity::Error;
  std::string s = kav::format_message(230, 3, {"17", "250", "WORK.SURVEY"}, &sev);
  EXPECT_EQ(sev, Severity::Note);
  auto a = s.find("17"), b = s.find("250"), c = s.find("WORK.SURVEY");
  ASSERT_NE(a, std::string::npos) << s;
  ASSERT_NE(b, std::string::npos) << s;
  ASSERT_NE(c, std::string::npos) << s;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(s.find('%'), std::string::npos) << s;

  // An argument used twice is substituted at both places.
  s = kav::format_message(180, 310, {"8", "2"}, &sev);
  EXPECT_EQ(sev, Severity::Note);
  EXPECT_NE(s.find("8"), std::string::npos) << s;
  EXPECT_NE(s.find("2"), s.rfind("2")) << s;

  // Arguments reach the places their numbers name, not their order in the text.
  s = kav::format_message(180, 33, {"6.5", "1.3", "5", "Eigenvalues of the Correlation Matrix"});
  EXPECT_EQ(s.rfind("Eigenvalues of the Correlation Matrix", 0), 0u) << s;
  EXPECT_NE(s.find("6.5"), std::string::npos) << s;
  EXPECT_NE(s.find("1.3"), std::string::npos) << s;
}

TEST(MessageCatalogue, UnknownNumbersAreReportedAsErrors) {
  Severity sev = Severity::Note;
  std::string s = kav::format_message(180, 9999, {"abc"}, &sev);
  EXPECT_EQ(sev, Severity::Error);
  EXPECT_NE(s.find("9999"), std::string::npos) << s;
  EXPECT_NE(s.find("180"), std::string::npos) << s;
  EXPECT_NE(s.find("abc"), std::string::npos) << s;
  EXPECT_FALSE(kav::message_known(180, 9999));
  EXPECT_FALSE(kav::message_known(271, 7));
  EXPECT_TRUE(kav::message_known(271, 6));
}

TEST(MessageCatalogue, LogEntriesCarryCatalogueSeverity) {
  kav::Log log;
  log.message(180, 21);
  log.message(230, 8);
  log.message(180, 15, {"12345"});
  ASSERT_EQ(log.entries().size(), 3u);
  EXPECT_EQ(log.entries()[0].severity, Severity::Warning);
  EXPECT_EQ(log.entries()[1].severity, Severity::Error);
  EXPECT_EQ(log.entries()[2].severity, Severity::Note);
  EXPECT_NE(log.entries()[2].text.find("12345"), std::string::npos);
  EXPECT_EQ(log.errors_since(0), 1);
}

// Numbers, severities and argument counts that the procedure's callers pass.
// A renumbered or re-graded message fails here.
struct Expected {
  int group;
  int number;
  Severity severity;
  int args;
};

TEST(MessageCatalogue, NumbersSeveritiesAndArguments) {
  const Severity N = Severity::Note, W = Severity::Warning, E = Severity::Error;
  const Expected expected[] = {
      // Statement checks.
      {180, 1, E, 0},
      {180, 2, E, 0},
      {180, 3, E, 2},
      {180, 4, E, 1},
      {180, 7, E, 1},
      {180, 9, E, 0},
      {180, 10, E, 0},
      {180, 12, E, 0},
      {180, 77, E, 0},
      {180, 78, N, 0},
      {180, 80, E, 0},
      {180, 115, E, 0},
      {180, 175, N, 0},
      {180, 176, E, 0},
      {180, 181, N, 0},
      {180, 185, E, 1},
      {180, 299, N, 0},
      {180, 304, E, 0},
      {180, 305, E, 0},
      {180, 308, N, 0},
      {180, 309, E, 0},
      {180, 310, N, 2},
      {180, 352, N, 1},
      {180, 353, N, 0},
      {180, 354, N, 0},
      {180, 420, N, 0},
      {180, 421, E, 2},
      {180, 422, N, 2},
      // The BY-group driver and storage.
      {180, 25, E, 0},
      {180, 91, E, 0},
      // Correlation preparation, diagnostics and priors.
      {180, 13, W, 0},
      {180, 14, N, 1},
      {180, 15, N, 1},
      {180, 16, N, 1},
      {180, 17, W, 0},
      {180, 18, W, 0},
      {180, 21, W, 0},
      {180, 24, W, 1},
      {180, 184, W, 1},
      {180, 311, E, 0},
      {180, 312, E, 0},
      {180, 430, E, 0},
      {180, 431, N, 0},
      {180, 432, N, 0},
      // Extraction and the number of factors.
      {180, 33, N, 4},
      {180, 34, N, 3},
      {180, 35, W, 0},
      {180, 36, N, 2},
      {180, 37, W, 0},
      {180, 41, N, 0},
      {180, 42, E, 0},
      {180, 55, N, 0},
      {180, 73, N, 0},
      {180, 188, N, 2},
      {180, 189, N, 2},
      {180, 190, N, 2},
      {180, 191, N, 2},
      {180, 193, N, 0},
      {180, 194, N, 2},
      {180, 289, N, 1},
      {180, 294, N, 1},
      {180, 296, N, 1},
      {180, 28, E, 0},
      {180, 179, W, 0},
      // Newton-Raphson fit and its tests.
      {180, 117, W, 0},
      {180, 118, W, 0},
      {180, 119, W, 0},
      {180, 120, W, 0},
      {180, 124, E, 0},
      {180, 126, N, 0},
      {180, 127, N, 1},
      {180, 131, N, 1},
      {180, 192, W, 0},
      // Input solutions, the unrotated solution, rotations.
      {180, 31, E, 0},
      {180, 32, E, 0},
      {180, 53, E, 0},
      {180, 57, E, 0},
      {180, 58, N, 1},
      {180, 59, E, 0},
      {180, 81, E, 0},
      {180, 82, N, 0},
      {180, 84, W, 0},
      {180, 100, N, 0},
      {180, 102, N, 1},
      {180, 103, N, 1},
      {180, 174, N, 0},
      {180, 178, E, 1},
      {180, 183, W, 0},
      {180, 195, E, 0},
      {180, 196, E, 0},
      {180, 197, N, 0},
      {180, 301, N, 3},
      {180, 500, E, 0},
      // Scores, residuals, standard errors, plots, path diagrams.
      {180, 110, W, 0},
      {180, 88, N, 1},
      {180, 90, N, 1},
      {180, 50, N, 1},
      {180, 51, N, 1},
      {180, 52, N, 2},
      {180, 355, W, 0},
      {180, 359, N, 0},
      {180, 360, N, 0},
      {180, 39, W, 0},
      {180, 93, N, 0},
      {180, 95, N, 2},
      {180, 362, N, 1},
      {180, 363, W, 0},
      {180, 365, N, 2},
      {180, 366, N, 1},
      {180, 382, N, 1},
      {180, 392, N, 2},
      {180, 405, N, 2},
      {180, 409, N, 3},
      // The moment pass and the special data sets.
      {230, 1, W, 1},
      {230, 3, N, 3},
      {230, 4, N, 3},
      {230, 5, E, 0},
      {230, 6, E, 0},
      {230, 7, E, 1},
      {230, 8, E, 0},
      {230, 13, W, 0},
      {230, 17, W, 0},
      {230, 22, N, 2},
      {230, 23, E, 2},
      {230, 24, W, 0},
      {230, 25, W, 0},
      {230, 27, E, 1},
      {230, 28, N, 2},
      {230, 33, E, 0},
      {230, 40, E, 0},
      // Thread pool, eigensolver, graphics notes.
      {174, 43, E, 0},
      {174, 54, E, 0},
      {174, 56, E, 0},
      {271, 1, N, 0},
      {271, 2, E, 0},
      {271, 3, E, 0},
      {271, 4, N, 0},
      {271, 5, N, 0},
      {271, 6, E, 0},
      {271, 100, N, 0},
      {210, 1100, N, 0},
      {210, 1102, N, 0},
      {210, 1104, N, 0},
  };
  for (const Expected& x : expected) {
    const MessageDef& m = lookup(x.group, x.number);
    if (!m.group) continue;
    EXPECT_EQ(m.severity, x.severity) << x.group << "/" << x.number << ": " << m.text;
    EXPECT_EQ(argument_count(m.text), x.args) << x.group << "/" << x.number << ": " << m.text;
  }
}

// Every number the procedure formats a title, label or note from must exist.
TEST(MessageCatalogue, OutputTextsArePresent) {
  const std::vector<std::pair<int, std::vector<int>>> wanted = {
      {180, {19,  20,  23,  27,  40,  44,  45,  46,  49,  63,  64,  65,  66,  67,  68,  75,  76,
             87,  89,  94,  96,  97,  98,  104, 105, 109, 111, 112, 113, 114, 125, 128, 129, 132,
             133, 134, 135, 136, 157, 158, 159, 160, 167, 168, 173, 180, 186, 187, 198, 199, 204,
             205, 209, 227, 231, 279, 280, 281, 282, 283, 284, 285, 286, 287, 288, 290, 291, 292,
             293, 295, 297, 302, 356, 357, 358, 361, 364, 367, 383, 384, 388, 389, 390, 393, 394,
             395, 396, 397, 400, 401, 402, 403, 404, 406, 407, 408, 410, 411, 412, 413}},
      {230, {9, 10, 11, 12, 14, 15, 16, 18, 19, 21, 26, 31, 32, 34, 35, 36, 38, 39}},
  };
  for (const auto& [group, numbers] : wanted)
    for (int n : numbers) EXPECT_TRUE(kav::message_known(group, n)) << group << "/" << n;
}

// Texts that the procedure falls back to when the catalogue has none, and
// texts composed from two entries, must read the same either way.
TEST(MessageCatalogue, FallbackTitlesAndComposedTexts) {
  EXPECT_STREQ(lookup(180, 114).text, "Preliminary Eigenvalues");
  EXPECT_STREQ(lookup(180, 64).text, "Eigenvalues of the Reduced Covariance Matrix");
  EXPECT_STREQ(lookup(180, 66).text, "Eigenvalues of the Weighted Reduced Correlation Matrix");
  EXPECT_STREQ(lookup(180, 68).text, "Eigenvalues of the Reduced Correlation Matrix");

  // The substitute for squared multiple correlations is either the literal
  // "1.0." or the text of 180/160; both end the sentence of 180/16.
  std::string with_one = kav::format_message(180, 16, {"1.0."});
  EXPECT_EQ(with_one.substr(with_one.size() - 4), "1.0.") << with_one;
  std::string with_max = kav::format_message(180, 16, {lookup(180, 160).text});
  EXPECT_EQ(with_max.back(), '.');
  EXPECT_EQ(with_max.find(".."), std::string::npos) << with_max;
  EXPECT_EQ(with_max.find(". the"), std::string::npos) << with_max;

  // Mode 0 of the variance-explained title is given a blank.
  EXPECT_EQ(kav::format_message(180, 44, {""}), "Variance Explained by Each Factor");
}

TEST(MessageCatalogue, LengthLimitsOfLabels) {
  // Axis labels of the character scree plot and the OUTSTAT= labels hold at most 40 characters.
  for (int n : {157, 158, 159, 167, 168})
    EXPECT_LE(std::string(lookup(180, n).text).size(), 40u) << "180/" << n;
  // Titles fit the 119 characters of the title buffer with room for their values.
  for (int n : {14, 23, 27, 40, 49, 76, 87, 88, 89, 90, 109, 111, 112, 127, 136})
    EXPECT_LE(std::string(lookup(180, n).text).size(), 90u) << "180/" << n;
}

TEST(MessageCatalogue, TextsNameNoInternalRoutines) {
  const char* internal[] = {"xpmlog",  "zacorrn", "zcthread", "zeigen2", "zeigvec", "zeigmsg",
                            "factcd",  "factnr",  "factrot",  "factpro", "factdo",  "kavfact",
                            "fact1",   "tkxfac",  "ValueGet", "COMSTR",  "fopt",    "nfact",
                            "rmethod", "zrcorr",  "zrsimp",   "xexit",   "TKXFAC"};
  for (const MessageDef& m : kav::procedure_messages())
    for (const char* word : internal)
      EXPECT_EQ(std::string(m.text).find(word), std::string::npos)
          << m.group << "/" << m.number << " mentions " << word << ": " << m.text;
}

}  // namespace
