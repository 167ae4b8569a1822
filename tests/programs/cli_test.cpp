// The kav command as a user runs it: exit statuses, the files it writes,
// and the results JSON read back.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fs = std::filesystem;

namespace {

struct Cli : ::testing::Test {
  fs::path dir;
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("kav_cli_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream f(dir / name, std::ios::binary);
    f << text;
    return (dir / name).string();
  }
  std::string read(const std::string& name) {
    std::ifstream f(dir / name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  int kav(const std::string& args) {
    std::string cmd = std::string(KAV_BINARY) + " " + args + " >" + (dir / "out.txt").string() +
                      " 2>" + (dir / "err.txt").string();
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
};

TEST_F(Cli, ExitStatusesFollowWhatHappened) {
  std::string good = write("good.kav", "data a; input x; datalines;\n1\n2\n;\nproc print data=a; run;\n");
  EXPECT_EQ(kav("run " + good), 0);
  EXPECT_NE(read("out.txt").find("The PRINT Procedure"), std::string::npos);
  EXPECT_NE(read("err.txt").find("NOTE: "), std::string::npos);

  std::string bad = write("bad.kav", "data a; input x; datalines;\n1\n;\nproc print data=nope; run;\n");
  EXPECT_EQ(kav("run " + bad), 2);
  EXPECT_NE(read("err.txt").find("ERROR: "), std::string::npos);

  EXPECT_EQ(kav("run " + (dir / "missing.kav").string()), 2);
  EXPECT_EQ(kav(""), 64);
  EXPECT_EQ(kav("run"), 64);
  EXPECT_EQ(kav("run " + good + " --bogus"), 64);
  EXPECT_EQ(kav("--help"), 0);
  EXPECT_NE(read("out.txt").find("EXIT STATUS"), std::string::npos);
  EXPECT_EQ(kav("--version"), 0);
}

TEST_F(Cli, JsonResultsCarryStepsObjectsAndNumberedLog) {
  std::string p = write("p.kav",
                        "data a; input x y $; datalines;\n1.5 u\n. v\n.C w\n;\n"
                        "proc print data=a; run;\nproc print data=nosuch; run;\n");
  std::string json = (dir / "r.json").string();
  std::string html = (dir / "r.html").string();
  std::string log = (dir / "r.log").string();
  EXPECT_EQ(kav("run " + p + " --json " + json + " --html " + html + " --log " + log), 2);
  auto j = nlohmann::json::parse(read("r.json"));
  ASSERT_TRUE(j.contains("kav"));
  ASSERT_EQ(j["steps"].size(), 3u);
  const auto& print = j["steps"][1];
  EXPECT_EQ(print["procedure"], "PRINT");
  EXPECT_EQ(print["exit_code"], 0);
  const auto& table = print["outputs"][0];
  EXPECT_EQ(table["name"], "Print");
  EXPECT_EQ(table["rows"][0][1], 1.5);
  EXPECT_TRUE(table["rows"][1][1].is_null());
  EXPECT_EQ(table["rows"][2][1], ".C");
  const auto& failed = j["steps"][2];
  EXPECT_GE(failed["exit_code"].get<int>(), 1000);
  bool found = false;
  for (const auto& e : failed["log"])
    if (e["severity"] == "ERROR" && e["group"] == 1 && e["number"] == 24) found = true;
  EXPECT_TRUE(found) << failed["log"].dump();
  EXPECT_NE(read("r.html").find("<html"), std::string::npos);
  EXPECT_NE(read("r.log").find("ERROR"), std::string::npos);
}

TEST_F(Cli, WorkFolderKeepsDataSetsBetweenRuns) {
  std::string work = (dir / "work").string();
  std::string one = write("one.kav", "data kept(label='from run one'); input v; datalines;\n7\n;\n");
  ASSERT_EQ(kav("run " + one + " --work " + work), 0);
  EXPECT_TRUE(fs::exists(dir / "work" / "kept.csv"));
  EXPECT_TRUE(fs::exists(dir / "work" / "kept.csv.json"));
  std::string two = write("two.kav", "proc print data=kept; run;");
  EXPECT_EQ(kav("run " + two + " --work " + work), 0);
  EXPECT_NE(read("out.txt").find("7"), std::string::npos);
  // Without --work the next run has a fresh, empty WORK.
  EXPECT_EQ(kav("run " + two), 2);
}

}  // namespace
