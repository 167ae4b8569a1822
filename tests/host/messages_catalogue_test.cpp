// The message catalogue of the procedure and its shared routines: table
// shape (argument numbering, order, uniqueness), formatting, and the numbers
// and severities that callers and tests rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <span>
#include <sstream>
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
  // Every entry is found again by its own number, so no number is used twice.
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
TEST(MessageCatalogue, NumbersSeveritiesAndArguments) {
  // group/number, severity letter, argument count.
  const char* expected =
      "180/1E0 180/2E0 180/3E2 180/4E1 180/7E1 180/9E0 180/10E0 180/12E0 180/77E0 180/78N0 "
      "180/80E0 180/115E0 180/175N0 180/176E0 180/181N0 180/185E1 180/299N0 180/304E0 "
      "180/305E0 180/308N0 180/309E0 180/310N2 180/352N1 180/353N0 180/354N0 180/420N0 "
      "180/421E2 180/422N2 180/25E0 180/91E0 180/13W0 180/14N1 180/15N1 180/16N1 180/17W0 "
      "180/18W0 180/21W0 180/24W1 180/184W1 180/311E0 180/312E0 180/430E0 180/431N0 "
      "180/432N0 180/33N4 180/34N3 180/35W0 180/36N2 180/37W0 180/41N0 180/42E0 180/55N0 "
      "180/73N0 180/188N2 180/189N2 180/190N2 180/191N2 180/193N0 180/194N2 180/289N1 "
      "180/294N1 180/296N1 180/28E0 180/179W0 180/117W0 180/118W0 180/119W0 180/120W0 "
      "180/124E0 180/126N0 180/127N1 180/131N1 180/192W0 180/31E0 180/32E0 180/53E0 "
      "180/57E0 180/58N1 180/59E0 180/81E0 180/82N0 180/84W0 180/100N0 180/102N1 180/103N1 "
      "180/174N0 180/178E1 180/183W0 180/195E0 180/196E0 180/197N0 180/301N3 180/500E0 "
      "180/110W0 180/88N1 180/90N1 180/50N1 180/51N1 180/52N2 180/355W0 180/359N0 "
      "180/360N0 180/39W0 180/93N0 180/95N2 180/362N1 180/363W0 180/365N2 180/366N1 "
      "180/382N1 180/392N2 180/405N2 180/409N3 230/1W1 230/3N3 230/4N3 230/5E0 230/6E0 "
      "230/7E1 230/8E0 230/13W0 230/17W0 230/22N2 230/23E2 230/24W0 230/25W0 230/27E1 "
      "230/28N2 230/33E0 230/40E0 174/43E0 174/54E0 174/56E0 271/1N0 271/2E0 271/3E0 "
      "271/4N0 271/5N0 271/6E0 271/100N0 210/1100N0 210/1102N0 210/1104N0 ";
  std::istringstream in(expected);
  std::string item;
  int checked = 0;
  while (in >> item) {
    int group = 0, number = 0, args = 0;
    char sev = 0;
    ASSERT_EQ(std::sscanf(item.c_str(), "%d/%d%c%d", &group, &number, &sev, &args), 4) << item;
    const Severity want = sev == 'N'   ? Severity::Note
                          : sev == 'W' ? Severity::Warning
                                       : Severity::Error;
    const MessageDef& m = lookup(group, number);
    ++checked;
    if (!m.group) continue;
    EXPECT_EQ(m.severity, want) << item << ": " << m.text;
    EXPECT_EQ(argument_count(m.text), args) << item << ": " << m.text;
  }
  EXPECT_EQ(checked, 143);
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
