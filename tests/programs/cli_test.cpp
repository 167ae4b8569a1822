// The kav command as a user runs it: exit statuses and the files it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fs = std::filesystem;

namespace {

struct Cli : ::testing::Test {
  const fs::path dir =
      fs::temp_directory_path() / ("kav_cli_" + std::to_string(::getpid()) + "_" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return (dir / name).string();
  }
  std::string read(const std::string& name) {
    std::stringstream ss;
    ss << std::ifstream(dir / name, std::ios::binary).rdbuf();
    return ss.str();
  }
  // Runs kav with these arguments; its output goes to out.txt and err.txt.
  int kav(const std::string& args) {
    const std::string cmd = std::string(KAV_BINARY) + " " + args + " >" +
                            (dir / "out.txt").string() + " 2>" + (dir / "err.txt").string();
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  bool said(const std::string& file, const std::string& what) {
    return read(file).find(what) != std::string::npos;
  }
};

TEST_F(Cli, ExitStatusesFollowWhatHappened) {
  const std::string good =
      write("good.kav", "data a; input x; datalines;\n1\n2\n;\nproc print data=a; run;\n");
  const std::string bad = write("bad.kav", "proc print data=nope; run;\n");
  EXPECT_EQ(kav("run " + good), 0);
  EXPECT_TRUE(said("out.txt", "The PRINT Procedure"));
  EXPECT_TRUE(said("err.txt", "NOTE: "));
  EXPECT_EQ(kav("run " + bad), 2);
  EXPECT_TRUE(said("err.txt", "ERROR: "));
  EXPECT_EQ(kav("run " + (dir / "missing.kav").string()), 2);
  for (const char* usage : {"", "run", "run x.kav --bogus"}) EXPECT_EQ(kav(usage), 64) << usage;
  EXPECT_EQ(kav("--help"), 0);
  EXPECT_TRUE(said("out.txt", "EXIT STATUS"));
  EXPECT_EQ(kav("--version"), 0);
}

TEST_F(Cli, ResultsGoToTheFilesNamed) {
  const std::string p = write("p.kav",
                              "data a; input x; datalines;\n1.5\n;\nproc print data=a; run;\n"
                              "proc print data=nosuch; run;\n");
  const std::string files = " --json " + (dir / "r.json").string() + " --html " +
                            (dir / "r.html").string() + " --log " + (dir / "r.log").string();
  EXPECT_EQ(kav("run " + p + files), 2);
  const auto j = nlohmann::json::parse(read("r.json"));
  ASSERT_EQ(j["steps"].size(), 3u);
  EXPECT_EQ(j["steps"][1]["outputs"][0]["rows"][0][1], 1.5);
  EXPECT_TRUE(said("r.html", "<html"));
  EXPECT_TRUE(said("r.log", "ERROR"));
}

TEST_F(Cli, WorkFolderKeepsDataSetsBetweenRuns) {
  const std::string work = " --work " + (dir / "work").string();
  const std::string one =
      write("one.kav", "data kept(label='from run one'); input v; datalines;\n7\n;\n");
  const std::string two = write("two.kav", "proc print data=kept; run;");
  ASSERT_EQ(kav("run " + one + work), 0);
  EXPECT_TRUE(fs::exists(dir / "work" / "kept.csv"));
  EXPECT_TRUE(fs::exists(dir / "work" / "kept.csv.json"));
  EXPECT_EQ(kav("run " + two + work), 0);
  EXPECT_TRUE(said("out.txt", "7"));
  EXPECT_EQ(kav("run " + two), 2);  // without --work the next run has a fresh, empty WORK
}

}  // namespace
