// Whole programs run in-process on an in-memory WORK library; the output
// objects are captured as they are delivered.
#include "lang/program.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "host/host_messages.h"
#include "host/output.h"
#include "host/session.h"
#include "host/support/dataset_text.h"
#include "support/capture_destination.h"
#include "support/temp_folder.h"

namespace kav {
namespace {

using testing_support::Capture;
using testing_support::cells;
using testing_support::layout;

struct ProgramRun {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  OutputDelivery delivery;
  std::vector<OutputObject> objects;

  ProgramRun() {
    register_builtin_procedures(session.procedures);
    session.output = &delivery;
    delivery.attach_destination("capture", std::make_unique<Capture>(&objects));
  }
  ProgramRun& go(const std::string& program) {
    Interpreter(session).run(program, "p.kav");
    return *this;
  }
  // The run-time's messages of that number.
  std::vector<const LogEntry*> host(int number) const {
    std::vector<const LogEntry*> found;
    for (const auto& e : session.log.entries())
      if (e.group == kHostGroup && e.number == number) found.push_back(&e);
    return found;
  }
  std::size_t count(int number) const { return host(number).size(); }
  int errors() const { return session.log.errors_since(0); }
  const Table* table(const std::string& name, int occurrence = 1) const {
    for (const auto& o : objects)
      if (o.table() && o.table()->name == name && --occurrence == 0) return o.table();
    return nullptr;
  }
  MemoryDataSet data(const std::string& member, const std::string& libref = "WORK") {
    DataSetName n;
    n.libref = libref;
    n.member = member;
    auto r = session.libraries.open_read(n, ValidVarName::V7);
    return read_all(*r);
  }
};

std::string str(const Cell& c) {
  return std::get<std::string>(c);
}

TEST(Program, DatalinesWithRangesCharactersAndDoubleAt) {
  ProgramRun r;
  r.go(R"(
    data pairs;
      length name $ 12;
      input name $ v1-v3 @@;
      label v1 = 'First value';
      datalines;
    alpha 1 2 3 bravo-longer 4 .
    5 charlie .B -6.5 7e2
    ;
  )");
  EXPECT_EQ(r.errors(), 0) << r.log_text.str();
  // List input runs on into the next line.
  auto d = r.data("pairs");
  EXPECT_EQ(layout(d.header), "name::C12 v1:First value:N8 v2::N8 v3::N8 ");
  EXPECT_EQ(cells(d), "alpha 1 2 3|bravo-longer 4 . 5|charlie B -6.5 700|");
  // A period is a blank character value in list input.
  r.go("data n; input _type_ $ _name_ $ v; datalines;\nN . 305\nCORR v 1\n;\n");
  EXPECT_EQ(r.data("n").rows[0].str[1], "");
}

TEST(Program, EachMalformedProgramGetsOneErrorAndLaterStepsRun) {
  struct Case {
    const char* program;
    int message;
    int line;
    bool later_runs = true;  // an unclosed comment swallows the rest
  };
  const Case cases[] = {
      {"data a; x=1;\n /* never closed\nrun;", msg::kUnclosedComment, 2, false},
      {"title 'unterminated;\ndata a; x=1; run;", msg::kUnclosedString, 1},
      {"frobnicate now;", msg::kUnknownStatement, 1},
      {"data a;\n input x 12;\n datalines;\n1\n;", msg::kInputListBad, 2},
      {"data a; input x;\n datalines;\nabc\n;", msg::kInvalidNumericData, 3},
      {"data a; x=1;\nproc print data=a run;", msg::kMissingSemicolonBeforeRun, 2},
      {"data a; x = &undefinedvar; run;", msg::kUndefinedMacro, 1},
      {"proc print data=nolib.a; run;", msg::kLibrefUnassigned, 1},
      {"data a; x = 1;\n merge b c; run;", msg::kDataStepStatementUnsupported, 2},
      {"data a; x = (1 + ;", msg::kSyntax, 1},
      {"data a; x = 'a' + 1;", msg::kExprType, 1},
      {"data a;\n do i = 1 to 3; x = i;", msg::kBlockBad, 2},
      {"data a; x = 1;\n else x = 2;", msg::kBlockBad, 2},
      {"data a; x = frob(1);", msg::kUnknownFunction, 1},
      {"data a; x = sqrt(1, 2);", msg::kFunctionArguments, 1},
      {"data a; input g; datalines;\n2\n1\n;\ndata b; set a; by g;", msg::kNotSortedBy, 5},
      {"proc nosuchproc; run;", msg::kUnknownProcedure, 1},
  };
  for (const auto& c : cases) {
    ProgramRun r;
    r.go(std::string(c.program) + "\ndata later; z = 42; run;\n");
    const auto found = r.host(c.message);
    ASSERT_EQ(found.size(), 1u) << c.program << "\n" << r.log_text.str();
    const LogEntry* e = found[0];
    EXPECT_EQ(e->severity, Severity::Error) << c.program;
    EXPECT_EQ(e->pos.line, c.line) << c.program;
    EXPECT_GT(e->pos.column, 0) << c.program;
    EXPECT_EQ(r.session.run_status(), 2) << c.program;
    // The step after the bad one still runs.
    if (c.later_runs) {
      EXPECT_EQ(r.data("later").rows.at(0).num[0], 42) << c.program;
    }
  }
}

TEST(Program, MacroVariablesLetPutAndStatus) {
  ProgramRun r;
  r.go("%let n = 3;\n%let ds = k;\ndata &ds.x; v = &n; run;\n%put value is &n;");
  EXPECT_EQ(r.errors(), 0) << r.log_text.str();
  EXPECT_EQ(r.data("kx").rows[0].num[0], 3);
  EXPECT_NE(r.log_text.str().find("value is 3"), std::string::npos);
  EXPECT_EQ(r.session.run_status(), 0);
}

TEST(Program, OptionsAndTitles) {
  ProgramRun r;
  r.go(
      "options validvarname=v6 nothreads cpucount=3 ls=100 debug=zacorr;\ntitle 'A';\ntitle2 "
      "'B';\ntitle 'C';");
  EXPECT_EQ(r.errors(), 0) << r.log_text.str();
  EXPECT_EQ(r.session.options.validvarname, ValidVarName::V6);
  EXPECT_FALSE(r.session.options.threads);
  EXPECT_EQ(r.session.options.cpucount, 3);
  EXPECT_EQ(r.session.options.linesize, 100);
  EXPECT_TRUE(r.session.options.debug_on("-zacorr"));
  EXPECT_EQ(r.session.titles[0], "C");
  EXPECT_EQ(r.session.titles[1], "");  // TITLE clears the lines below it
  ProgramRun bad;
  bad.go("options linesize=5 frob;");
  EXPECT_EQ(bad.count(msg::kSystemOptionValue), 1u);
  EXPECT_EQ(bad.count(msg::kUnknownSystemOption), 1u);
  // V6 names are at most 8 characters.
  ProgramRun v6;
  v6.go("options validvarname=v6; data a; longername = 1; run;");
  EXPECT_EQ(v6.count(msg::kInvalidName), 1u);
}

// Each expression against its value worked out by hand (NaN: missing).
TEST(Program, ExpressionsGiveTheirClosedFormValues) {
  const double M = std::nan("");
  const struct {
    const char* expression;
    double value;
  } cases[] = {
      {"2 + 3 * 4", 14},
      {"(2 + 3) * 4", 20},
      {"2 ** 3 ** 2", 512},
      {"-2 ** 2", -4},
      {"7 / 2 - 1", 2.5},
      {"sqrt(16) + abs(-2.5)", 6.5},
      {"log(exp(2))", 2},
      {"int(-3.7)", -3},
      {"round(2.675, .01)", 2.68},
      {"round(17, 5)", 15},
      {"mod(-7, 3) + floor(-.5) + ceil(.5)", -1},
      {"mod(1, 0)", M},
      {"min(3, ., -1)", -1},
      {"max(., .)", M},
      {"sum(1, ., 2)", 3},
      {"mean(2, ., 4)", 3},
      {"std(2, 4, 4, 4, 5, 5, 7, 9)", std::sqrt(32.0 / 7)},
      {"n(1, ., 3)", 2},
      {"nmiss(1, ., .)", 2},
      {"sum(of q1-q3) + mean(of a{*})", 8},
      // Missing values, division by zero, overflow, domain errors.
      {". + 1", M},
      {"1 / 0", M},
      {"1e200 * 1e200", M},
      {"exp(1000)", M},
      {"sqrt(-4)", M},
      {"log(0)", M},
      {"0 ** -1", M},
      {"missing(.) + missing(' ')", 2},
      // Comparisons and logic: a missing value is below every number and false.
      {". < -1e300", 1},
      {".a > .", 1},
      {"3 > 2 and not (1 = 2)", 1},
      {"0 or .", 0},
      {"-2 in (1, -2, 3)", 1},
      {"q2 ge 2 & q3 le 2", 0},
      // Character values: blanks at the end do not count.
      {"'ab' || 'c' = 'abc'", 1},
      {"'abc' < 'abd'", 1},
      {"'a  ' = 'a'", 1},
      {"length('abc' || 'de')", 5},
      {"upcase('ab') = 'AB'", 1},
      {"'x' in ('a', 'b')", 0},
      {"('n=' || 12) = 'n=12'", 1},
  };
  std::ostringstream program;
  program << "data e; q1 = 1; q2 = 2; q3 = 3; array a{2} q1 q3;\n";
  int k = 0;
  for (const auto& c : cases) program << 'v' << ++k << " = " << c.expression << ";\n";
  ProgramRun r;
  r.go(program.str() + "run;");
  EXPECT_EQ(r.errors(), 0) << r.log_text.str();
  const auto d = r.data("e");
  k = 0;
  for (const auto& c : cases) {
    const int at = d.header.find('v' + std::to_string(++k));
    ASSERT_GE(at, 0) << c.expression;
    const double got = d.rows.at(0).num[static_cast<std::size_t>(at)];
    if (std::isnan(c.value))
      EXPECT_TRUE(is_missing(got)) << c.expression << " gave " << got;
    else
      EXPECT_NEAR(got, c.value, 1e-12) << c.expression;
  }
  // Each place that made a missing value is noted once, with its count.
  ProgramRun notes;
  notes.go("data n;\n do i = 1 to 3; x = . + i; y = i / (i - i); end;\nrun;");
  ASSERT_EQ(notes.count(msg::kMissingGenerated), 1u) << notes.log_text.str();
  EXPECT_EQ(notes.host(msg::kMissingGenerated)[0]->pos.line, 2);
  EXPECT_EQ(notes.host(msg::kMissingGenerated)[0]->pos.column, 23);
  EXPECT_NE(notes.host(msg::kMissingGenerated)[0]->text.find(" 3 times"), std::string::npos);
  EXPECT_EQ(notes.count(msg::kDivisionByZero), 1u);
}

// The random-number functions share one stream per step, started by the
// first seed: a seed repeats its values, and the values have the moments of
// their distributions (bounds of four standard errors over 20000 draws).
TEST(Program, RandomNumbersRepeatWithTheirSeedAndHaveTheirMoments) {
  ProgramRun r;
  r.go(
      "data u; do i = 1 to 20000; u = ranuni(11); z = rannor(11); output; end; run;\n"
      "data v; u = ranuni(11); run;\ndata w; u = ranuni(0); run;");
  EXPECT_EQ(r.data("u").rows[0].num[1], r.data("v").rows[0].num[0]);
  EXPECT_EQ(r.count(msg::kRandomSeed), 1u);  // the clock's seed, for data w
  double m[2] = {0, 0}, ss[2] = {0, 0};
  const auto u = r.data("u");
  for (const auto& row : u.rows)
    for (int k : {0, 1}) {
      m[k] += row.num[1 + k] / 20000;
      ss[k] += row.num[1 + k] * row.num[1 + k] / 20000;
    }
  EXPECT_NEAR(m[0], 0.5, 0.0082);
  EXPECT_NEAR(ss[0] - m[0] * m[0], 1.0 / 12, 0.0012);
  EXPECT_NEAR(m[1], 0, 0.029);
  EXPECT_NEAR(ss[1] - m[1] * m[1], 1, 0.04);
}

// The statements of the DATA step, each program with the rows it must write.
TEST(Program, DataStepStatementsWriteTheRowsTheySay) {
  const std::string input =
      "data in; input g $ x y; datalines;\na 1 5\na 2 .\nb 3 4\nb 4 1\nc 5 2\n;\n"
      "data more; input g $ x; datalines;\nb 6\n;\n";
  const struct {
    const char* step;
    const char* rows;
  } cases[] = {
      // SET reads its data sets in turn, or with BY interleaves them and
      // gives FIRST. and LAST.
      {"data out; set in more; keep x;", "1|2|3|4|5|6|"},
      {"data out; set in more; by g; f = first.g; l = last.g; keep g x f l;",
       "a 1 1 0|a 2 0 1|b 3 1 0|b 4 0 0|b 6 0 1|c 5 1 1|"},
      // Subsetting IF, DELETE, IF-THEN-ELSE with a DO block.
      {"data out; set in; if y; if x = 3 then delete; if x > 3 then do; z = 1; w = 'big'; end;"
       " else z = 0; keep x z w;",
       "1 0 |4 1 big|5 1 big|"},
      // RETAIN with a start value, OUTPUT only at the end of the data.
      {"data out; set in end = last; retain total 100; total = total + x; if last then output;"
       " keep total;",
       "115|"},
      // Arrays: DO OVER and an iterative DO with BY reverse and double.
      {"data out; set in(obs=2); array s x y; do over s; s = 6 - s; end;"
       " array t{2} x y; do i = 2 to 1 by -1; t{i} = t{i} * 2; end; drop g i;",
       "10 2|8 .|"},
      // DO WHILE and UNTIL; OUTPUT writes each pass.
      {"data out; n = 1; do while (n < 8); n = n * 2; output; end; do until (n < 4); n = n - 3;"
       " end; output;",
       "2|4|8|2|"},
      // KEEP, DROP and RENAME statements; WHERE on the data set read.
      {"data out; set in; where x >= 4 or g = 'a'; rename x = ex; drop y;", "a 1|a 2|b 4|c 5|"},
      // Data set options on both sides.
      {"data out(rename = (x = ex) where = (ex < 5)); set in(firstobs = 2 keep = x g);",
       "a 2|b 3|b 4|"},
  };
  for (const auto& c : cases) {
    ProgramRun r;
    r.go(input + c.step + "\nrun;");
    EXPECT_EQ(r.errors(), 0) << c.step << "\n" << r.log_text.str();
    EXPECT_EQ(cells(r.data("out")), c.rows) << c.step;
  }
}

using ProgramFiles = testing_support::TempFolderTest;

TEST_F(ProgramFiles, InfileOfADelimitedFileAndPrintByGroups) {
  const std::string file =
      write_file("in.csv",
                 "\xEF\xBB\xBFregion,x,comment\r\nnorth,1,\"a, b\"\r\nnorth,2,\r\nsouth,,\"say "
                 "\"\"hi\"\"\"\r\n");
  ProgramRun r;
  r.go("data s; length comment $ 20; infile '" + file +
       "' dsd firstobs=2; input region $ x comment $; run;\nproc print data=s; by region; run;");
  EXPECT_EQ(r.errors(), 0) << r.log_text.str();
  EXPECT_EQ(cells(r.data("s")), "a, b north 1| north 2|say \"hi\" south .|");
  ASSERT_NE(r.table("Print", 2), nullptr);
  EXPECT_EQ(r.table("Print", 1)->rows.size(), 2u);
  EXPECT_EQ(r.table("Print", 2)->rows.size(), 1u);
}

TEST_F(ProgramFiles, LibnameRoundTripKeepsTypeLabelsKindsAndLengths) {
  const std::string libname = "libname keep '" + dir.string() + "';\n";
  ProgramRun r;
  r.go(libname +
       "data keep.fa(type=factor label='saved');\n length _name_ $ 20;\n _type_='PATTERN';\n"
       " input _name_ $ f1 f2;\n label f1='Factor one';\n datalines;\nverbal_ability 0.8 0.1\n;");
  EXPECT_EQ(r.errors(), 0) << r.log_text.str();
  // Another session finds it; TYPE= and LABEL= on a data set read override
  // what the data set says, each on its own.
  ProgramRun again;
  again.go(libname +
           "proc contents data=keep.fa(type=corr); run;\n"
           "proc contents data=keep.fa(label='read as correlations'); run;");
  EXPECT_EQ(again.errors(), 0) << again.log_text.str();
  auto d = again.data("fa", "KEEP");
  EXPECT_EQ(d.header.type, "FACTOR");
  EXPECT_EQ(d.header.label, "saved");
  EXPECT_EQ(layout(d.header), "_name_::C20 _type_::C7 f1:Factor one:N8 f2::N8 ");
  EXPECT_EQ(cells(d), "verbal_ability PATTERN 0.8 0.1|");
  const Table *typed = again.table("Attributes", 1), *labelled = again.table("Attributes", 2);
  ASSERT_NE(labelled, nullptr) << again.log_text.str();
  EXPECT_EQ(str(typed->rows[1][1]), "CORR");
  EXPECT_EQ(str(typed->rows[2][1]), "saved");
  EXPECT_EQ(str(labelled->rows[1][1]), "FACTOR");
  EXPECT_EQ(str(labelled->rows[2][1]), "read as correlations");
}

TEST(Program, AFailedStepLeavesTheEarlierDataSetIntact) {
  ProgramRun r;
  r.go("data a; x = 1; run;\ndata a; input x; datalines;\n;\n");
  // The second step had INPUT but its data lines were empty: it writes an
  // empty data set (that is what the user asked for).
  EXPECT_EQ(r.data("a").rows.size(), 0u);
  ProgramRun s;
  s.go("data a; x = 1; run;\ndata a; x = 2; array v{2} p1-p2; y = v{x + 1}; run;");
  EXPECT_EQ(s.count(msg::kArraySubscript), 1u);
  EXPECT_EQ(s.data("a").rows.at(0).num[0], 1);
}

}  // namespace
}  // namespace kav
