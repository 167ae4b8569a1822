// The kav command as a user runs it: exit statuses and the files it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

struct Cli : kav::testing_support::TempFolderTest {
  std::string write(const std::string& name, const std::string& text) { return write_file(name, text); }
  std::string read(const std::string& name) { return kav::testing_support::slurp(dir / name); }
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
  EXPECT_EQ(kav("run " + dir.string()), 2);
  EXPECT_TRUE(said("err.txt", "is a directory"));
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

TEST_F(Cli, AFailedStepLeavesTheDataSetsItNamesAsTheyWere) {
  const std::string lib = "libname out '" + dir.string() + "';\n";
  ASSERT_EQ(kav("run " + write("make.kav", lib + "data out.st; x = 1; run;\n"
                                                 "data out.sc; x = 2; run;\n"
                                                 "data out.d; x = 3; run;\n")),
            0);
  auto files = [&] {
    return read("st.csv") + read("st.csv.json") + read("sc.csv") + read("sc.csv.json") +
           read("d.csv") + read("d.csv.json");
  };
  const std::string before = files();
  // x3 follows x1 and x2 almost exactly: two maximum-likelihood factors of
  // three variables need a communality above 1.  In the second data x3 is
  // exactly x1 + x2, so the correlation matrix is singular.
  const std::string heywood =
      "data a; input x1 x2 x3; datalines;\n1 2 3\n2 4 5\n3 5 7\n4 8 8\n"
      "5 9 11\n6 12 12\n7 13 15\n8 16 16\n;\n";
  const std::string singular =
      "data a; input x1 x2 x3; datalines;\n1 2 3\n2 4 6\n3 5 8\n"
      "4 8 12\n5 9 14\n6 12 18\n;\n";
  const std::string factor = "proc factor data=a method=ml outstat=out.st out=out.sc ";
  const struct {
    const char* name;
    std::string program;
    int status;
  } cases[] = {
      {"Heywood case", heywood + factor + "nfactors=2; run;", 1},
      {"singular matrix", singular + factor + "priors=smc nfactors=1; run;", 1},
      {"invalid numeric data", "data out.d; input x; datalines;\n4\nabc\n;\n", 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kav("run " + write("fail.kav", lib + c.program)), c.status) << c.name;
    EXPECT_EQ(files(), before) << c.name;
  }
}

TEST_F(Cli, ArgumentsCannotAddStatementsOrOverwriteTheirOwnFiles) {
  const std::string p = write("p.kav", "data a; x = 1; run;\n");
  const std::string program = read("p.kav");
  // A data set argument that holds statements is one name, of a file that
  // does not exist: one step, which stops.
  EXPECT_EQ(kav("factor 'x; data injected; x=1; run' --json " + (dir / "r.json").string()), 2);
  EXPECT_EQ(nlohmann::json::parse(read("r.json"))["steps"].size(), 1u);
  const std::string out = (dir / "r.out").string(), again = (dir / "." / "r.out").string();
  for (const std::string& outputs : {" --json " + p, " --html " + out + " --json " + out,
                                     " --listing " + out + " --log " + again}) {
    const int status = kav("run " + p + outputs);
    EXPECT_EQ(status, 64) << outputs;
    EXPECT_EQ(read("p.kav"), program) << outputs;
  }
  const std::string ods = "ods html file='" + (dir / "ods.kav").string() + "';\n";
  EXPECT_EQ(kav("run " + write("ods.kav", ods)), 2);
  EXPECT_EQ(read("ods.kav"), ods);
}

// A file of correlations is marked as such by --type or by TYPE= after its
// path; kav help lists the topics and the FACTOR reference.
TEST_F(Cli, CorrelationFilesAreMarkedOnTheCommandLineAndHelpSaysHow) {
  const std::string corr =
      write("corr.csv", "_type_,_name_,x,y,z\nN,,100,100,100\nCORR,x,1,.5,.4\nCORR,y,.5,1,.3\n"
                        "CORR,z,.4,.3,1\n");
  for (const std::string& args : {"'" + corr + "(type=corr)'", corr + " --type corr"}) {
    EXPECT_EQ(kav("factor " + args + " nfactors=1"), 0) << args << read("err.txt");
    EXPECT_TRUE(said("out.txt", "Number of Observations Stated")) << args;
  }
  EXPECT_EQ(kav("factor " + corr + " --type 'corr;'"), 64);
  EXPECT_EQ(kav("help factor"), 0);
  EXPECT_TRUE(said("out.txt", "PATHDIAGRAM"));
  EXPECT_EQ(kav("help data sets"), 0);
  EXPECT_TRUE(said("out.txt", "--type corr"));
  EXPECT_EQ(kav("help nonsense"), 64);
}

}  // namespace
