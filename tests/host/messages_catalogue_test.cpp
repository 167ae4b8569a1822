// The message catalogue: every number the code names has a text, and
// formatting puts the arguments where their numbers say.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "host/log.h"
#include "host/messages.h"

namespace {

using kav::Severity;

// Every number named in the procedure's and the run-time's message headers
// has a text in the catalogue, and no number has two names (two features
// taking the same number print each other's texts).
TEST(MessageCatalogue, EveryNamedNumberHasATextOfItsOwn) {
  const std::pair<const char*, int> headers[] = {{"src/factor/state/factmsg.h", 180},
                                                 {"src/host/host_messages.h", 1}};
  const std::regex constant(R"(constexpr int (k\w+) = (\d+);)");
  for (const auto& [header, group] : headers) {
    std::ifstream in(std::string(KAV_SOURCE_DIR) + "/" + header);
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    int named = 0;
    std::map<int, std::string> names;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), constant); it != std::sregex_iterator();
         ++it) {
      if ((*it)[1] == "kFactorGroup") continue;
      ++named;
      const auto [at, fresh] = names.emplace(std::stoi((*it)[2]), (*it)[1]);
      EXPECT_TRUE(fresh) << header << ": " << (*it)[2] << " is " << at->second << " and " << (*it)[1];
      EXPECT_TRUE(kav::message_known(group, std::stoi((*it)[2]))) << header << ": " << (*it)[1];
    }
    EXPECT_GT(named, 40) << header;
  }
}

TEST(MessageCatalogue, FormatPutsArgumentsWhereTheirNumbersSay) {
  Severity sev = Severity::Error;
  std::string s = kav::format_message(230, 3, {"17", "250", "WORK.SURVEY"}, &sev);
  EXPECT_EQ(sev, kav::find_message(230, 3)->severity);
  EXPECT_LT(s.find("17"), s.find("250")) << s;
  EXPECT_LT(s.find("250"), s.find("WORK.SURVEY")) << s;
  EXPECT_NE(s.find("WORK.SURVEY"), std::string::npos) << s;
  EXPECT_EQ(s.find('%'), std::string::npos) << s;
  // An argument used twice is substituted at both places.
  s = kav::format_message(180, 310, {"8", "2"});
  EXPECT_NE(s.find("2"), s.rfind("2")) << s;
  // Arguments reach the places their numbers name, not their order in the text.
  s = kav::format_message(180, 33, {"6.5", "1.3", "5", "Eigenvalues of the Correlation Matrix"});
  EXPECT_EQ(s.rfind("Eigenvalues of the Correlation Matrix", 0), 0u) << s;
  EXPECT_NE(s.find("6.5"), std::string::npos) << s;

  // An unknown number is an error that still shows what was asked.
  s = kav::format_message(180, 9999, {"abc"}, &sev);
  EXPECT_EQ(sev, Severity::Error);
  for (const char* part : {"9999", "180", "abc"}) EXPECT_NE(s.find(part), std::string::npos) << s;
  EXPECT_FALSE(kav::message_known(180, 9999));
}

}  // namespace
