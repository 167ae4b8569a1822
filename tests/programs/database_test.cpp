// Database libraries against real engines: the same analysis read from a
// CSV file, an SQLite table and (when tests/programs/with_postgres.sh has
// started a server and set KAV_TEST_PG) a PostgreSQL table, with the moment
// pass pushed down and row by row, agrees to 1e-12; a failed step leaves
// the output tables as they were, also when the server goes away; bad
// libraries and tables are named.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sstream>

#include <unistd.h>

#include "cli/run.h"
#include "host/db_engine.h"
#include "host/host_messages.h"
#include "support/temp_folder.h"

namespace {

using nlohmann::json;
using Sql = std::function<void(const std::string&)>;

std::string pg_conninfo() {
  const char* c = std::getenv("KAV_TEST_PG");
  return c ? c : "";
}

struct Outcome {
  int status;
  std::string log;
  json results;
};

struct DatabaseTest : kav::testing_support::TempFolderTest {
  Outcome run(const std::string& program) {
    std::ostringstream listing, log;
    kav::RunOptions opts;
    opts.work = ":memory:";
    opts.json = (dir / "r.json").string();
    opts.listing_stream = &listing;
    opts.log_stream = &log;
    Outcome r{kav::run_program(program, "t.kav", opts), log.str(), {}};
    r.results = json::parse(kav::testing_support::slurp(dir / "r.json"));
    return r;
  }
  Sql sqlite_file(const std::string& file) {
    return [file](const std::string& sql) {
      sqlite3* db = nullptr;
      sqlite3_open(file.c_str(), &db);
      char* err = nullptr;
      ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err << sql.substr(0, 200);
      sqlite3_close(db);
    };
  }
  Sql postgres() {
    return [](const std::string& sql) {
      PGconn* c = PQconnectdb(pg_conninfo().c_str());
      PGresult* r = PQexec(c, sql.c_str());
      EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
          << PQresultErrorMessage(r);
      PQclear(r);
      PQfinish(c);
    };
  }
};

// Two factors behind four measures, two BY groups, weights, frequencies
// (some 0) and missing values, as SQL and as CSV text of the same numbers.
void make_data(const Sql& sql, std::string* csv) {
  unsigned long long s = 12345;
  auto u = [&s] {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s >> 11) / 9007199254740992.0;
  };
  std::string insert = "CREATE TABLE t (g INTEGER, w DOUBLE PRECISION, f INTEGER, x1 DOUBLE PRECISION, "
                       "x2 DOUBLE PRECISION, x3 DOUBLE PRECISION, x4 DOUBLE PRECISION, s DOUBLE PRECISION); "
                       "INSERT INTO t VALUES ";
  *csv = "g,w,f,x1,x2,x3,x4,s\n";
  char buf[400];
  for (int i = 0; i < 240; ++i) {
    const double a = u() - 0.5, b = u() - 0.5;
    const double x[4] = {100 + a + 0.8 * u(), 50 + a + 0.5 * b + 0.8 * u(), 0.6 * a + b + 0.8 * u(), 7 - a + 0.8 * u()};
    char x2[40] = "";
    if (i % 17 != 3) std::snprintf(x2, sizeof x2, "%.17g", x[1]);
    // s: stiff, the digits that vary are the last eight of sixteen.
    std::snprintf(buf, sizeof buf, "%d,%.17g,%d,%.17g,%s,%.17g,%.17g,%.17g", 1 + i / 130, 0.5 + 1.5 * u(),
                  i % 11 == 5 ? 0 : 1 + i % 3, x[0], x2, x[2], x[3], 1e8 + x[2] + 0.5 * u());
    *csv += std::string(buf) + "\n";
    std::string row = buf;
    for (std::size_t at = row.find(",,"); at != std::string::npos; at = row.find(",,")) row.replace(at, 2, ",NULL,");
    insert += std::string(i ? ", (" : "(") + row + ")";
  }
  sql(insert);
}

// Every number of every table of the step, in order.
std::vector<double> numbers(const json& step) {
  std::vector<double> v;
  for (const auto& o : step["outputs"])
    for (const auto& row : o.value("rows", json::array()))
      for (const auto& cell : row)
        if (cell.is_number()) v.push_back(cell.get<double>());
  return v;
}

bool logged(const json& results, int number) {
  bool found = false;
  std::function<void(const json&)> walk = [&](const json& j) {
    if (j.is_object() && j.value("number", -1) == number && j.value("group", -1) == 1) found = true;
    if (j.is_structured())
      for (const auto& e : j) walk(e);
  };
  walk(results);
  return found;
}

TEST_F(DatabaseTest, SameAnalysisFromCsvSqliteAndPostgres) {
  std::string csv;
  const std::string file = (dir / "d.db").string();
  make_data(sqlite_file(file), &csv);
  write_file("t.csv", csv);
  std::vector<std::pair<std::string, std::string>> sources = {{"sqlite '" + file + "'", "db.t"}};
  if (!pg_conninfo().empty()) {
    postgres()("DROP TABLE IF EXISTS t");
    make_data(postgres(), &csv);
    sources.push_back({"postgres '" + pg_conninfo() + "'", "db.t"});
  }
  const struct {
    const char* options;
    const char* statements;
  } cases[] = {
      {"nfactors=2", "var x1-x4;"},
      {"nfactors=2", "var x1-x4; by g;"},
      {"nfactors=2", "var x1-x4; weight w;"},
      {"nfactors=2", "var x1-x4; freq f;"},
      {"nfactors=2 vardef=weight", "var x1-x4; by g; weight w; freq f;"},
      {"nfactors=2 noint", "var x1-x4; freq f;"},
      {"method=ml nfactors=1", "var x1-x4; by g; weight w;"},
      {"nfactors=1", "var x1 x3 s; by g; weight w;"},
      // A filtered read is never pushed down without its filter.
      {"nfactors=2", "var x1-x4; where x1 > 0;"},
  };
  for (const auto& c : cases) {
    auto program = [&](const std::string& data, const std::string& lib, bool push) {
      return std::string("options ") + (push ? "pushdown" : "nopushdown") + ";\n" + lib +
             "proc factor data=" + data + " " + c.options + " outstat=work.s;\n" +
             c.statements + "\nrun;\n";
    };
    const Outcome base = run(program("'" + (dir / "t.csv").string() + "'", "", true));
    ASSERT_EQ(base.status, 0) << base.log;
    const std::vector<double> want = numbers(base.results["steps"].back());
    for (const auto& [lib, data] : sources)
      for (bool push : {true, false}) {
        const Outcome r = run(program(data, "libname db " + lib + ";\n", push));
        const std::string where = std::string(c.options) + " " + c.statements + " " + lib + (push ? " pushed" : " rows");
        ASSERT_EQ(r.status, 0) << where << r.log;
        EXPECT_EQ(logged(r.results, kav::msg::kMomentsPushedDown), push && !strstr(c.statements, "where"))
            << where;
        const std::vector<double> got = numbers(r.results["steps"].back());
        ASSERT_EQ(got.size(), want.size()) << where;
        for (std::size_t i = 0; i < want.size(); ++i)
          ASSERT_NEAR(got[i], want[i], 1e-12 * std::max(1.0, std::fabs(want[i]))) << where << " #" << i;
      }
  }
}

TEST_F(DatabaseTest, FailedStepLeavesTheOutputTableAsItWas) {
  const std::string file = (dir / "d.db").string();
  std::vector<std::pair<std::string, Sql>> engines = {{"sqlite '" + file + "'", sqlite_file(file)}};
  if (!pg_conninfo().empty()) engines.push_back({"postgres '" + pg_conninfo() + "'", postgres()});
  for (const auto& [lib, sql] : engines) {
    sql("DROP TABLE IF EXISTS keep; DROP TABLE IF EXISTS e; CREATE TABLE keep (x DOUBLE PRECISION); "
        "INSERT INTO keep VALUES (42); CREATE TABLE e (x DOUBLE PRECISION, y DOUBLE PRECISION); "
        "INSERT INTO e VALUES (1, NULL), (2, NULL), (3, NULL)");
    const Outcome r = run("libname db " + lib + ";\nproc factor data=db.e outstat=db.keep; var x y; run;\n"
                      "proc print data=db.keep; run;\n");
    EXPECT_NE(r.status, 0) << lib;
    EXPECT_EQ(numbers(r.results["steps"].back()), (std::vector<double>{1, 42})) << lib << r.log;
  }
}

// The first value of a query's first row, as text.
std::string scalar(const std::string& sqlite_file, const std::string& sql) {
  std::string v;
  if (sqlite_file.empty()) {
    PGconn* c = PQconnectdb(pg_conninfo().c_str());
    PGresult* r = PQexec(c, sql.c_str());
    if (PQntuples(r) > 0) v = PQgetvalue(r, 0, 0);
    PQclear(r);
    PQfinish(c);
    return v;
  }
  sqlite3* db = nullptr;
  sqlite3_open(sqlite_file.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  if (sqlite3_step(st) == SQLITE_ROW) v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return v;
}

// The output tables of a step go in together when it ends well, or not at
// all: a table that cannot be put in place (its name is an index's) keeps
// the other one out too, and no note says either was written.
TEST_F(DatabaseTest, OutputTablesOfAStepCommitTogether) {
  const std::string file = (dir / "d.db").string();
  std::string csv;
  struct Engine {
    std::string lib, file;
    Sql sql;
  };
  std::vector<Engine> engines = {{"sqlite '" + file + "'", file, sqlite_file(file)}};
  if (!pg_conninfo().empty()) engines.push_back({"postgres '" + pg_conninfo() + "'", "", postgres()});
  for (const auto& e : engines) {
    e.sql("DROP TABLE IF EXISTS t; DROP TABLE IF EXISTS scores; DROP TABLE IF EXISTS stat");
    make_data(e.sql, &csv);
    e.sql("CREATE TABLE scores (x DOUBLE PRECISION); INSERT INTO scores VALUES (42); "
          "CREATE TABLE stat (x DOUBLE PRECISION); INSERT INTO stat VALUES (42); CREATE INDEX idx ON t (g)");
    const std::string lib = "libname db " + e.lib + ";\n";
    const Outcome bad = run(lib + "proc factor data=db.t nfactors=2 out=db.idx outstat=db.stat; var x1-x4; run;");
    EXPECT_EQ(bad.status, 2) << e.lib;
    EXPECT_TRUE(logged(bad.results, kav::msg::kWriteFailed)) << bad.log;
    EXPECT_FALSE(logged(bad.results, kav::msg::kDataSetWritten)) << bad.log;
    for (const char* w : {"table idx of library DB", "DB.STAT"}) EXPECT_NE(bad.log.find(w), std::string::npos) << w << bad.log;
    // OUTSTAT= is committed first: the old way it was in place before OUT= failed.
    EXPECT_EQ(scalar(e.file, "SELECT COUNT(*) || ' ' || CAST(MAX(x) AS INTEGER) FROM stat"), "1 42") << e.lib;

    const Outcome good = run(lib + "proc factor data=db.t nfactors=2 out=db.scores outstat=db.stat; var x1-x4; run;\n"
                                   "data db.sp; input x; datalines;\n.A\n1\n._\n;\nrun;");
    ASSERT_EQ(good.status, 0) << good.log;
    EXPECT_EQ(scalar(e.file, "SELECT COUNT(*) FROM scores"), "240") << e.lib;
    EXPECT_EQ(scalar(e.file, "SELECT CASE WHEN COUNT(*) > 1 THEN 'new' END FROM stat"), "new") << e.lib;
    EXPECT_NE(good.log.find("Data set DB.SCORES has 240 observations"), std::string::npos) << good.log;
    EXPECT_NE(good.log.find("2 special missing value(s)"), std::string::npos) << good.log;
  }
}

// SQLite keeps text in a numeric column.  Read row by row or summed in the
// database, such a value is missing, and both say how many there were.
TEST_F(DatabaseTest, SqliteTextInANumericColumnIsMissingBothWays) {
  const std::string file = (dir / "d.db").string();
  std::string csv;
  make_data(sqlite_file(file), &csv);
  sqlite_file(file)("UPDATE t SET x3 = 'abc' WHERE rowid % 50 = 7; UPDATE t SET x1 = '0x10' WHERE rowid = 9; "
                    "UPDATE t SET g = 'none' WHERE rowid <= 10");
  std::vector<double> first;
  std::vector<int> first_told;
  for (const char* push : {"pushdown", "nopushdown"}) {
    const Outcome r = run(std::string("options ") + push + ";\nlibname db sqlite '" + file +
                          "';\nproc factor data=db.t nfactors=2 outstat=work.s; var x1-x4; by g; run;");
    ASSERT_EQ(r.status, 0) << push << r.log;
    // 10 BY values, 5 of x3 and 1 of x1, told group by group both ways.
    std::vector<int> told;
    const std::string note = " value(s) of numeric columns of DB.T were not numbers";
    for (std::size_t at = r.log.find(note); at != std::string::npos; at = r.log.find(note, at + 1))
      told.push_back(std::atoi(r.log.c_str() + r.log.rfind("NOTE: ", at) + 6));
    EXPECT_EQ(std::accumulate(told.begin(), told.end(), 0), 16) << push << r.log;
    if (first_told.empty()) first_told = told;
    EXPECT_EQ(told, first_told) << push << r.log;
    const std::vector<double> got = numbers(r.results["steps"].back());
    if (first.empty()) first = got;
    ASSERT_EQ(got.size(), first.size()) << push;
    for (std::size_t i = 0; i < got.size(); ++i)
      EXPECT_NEAR(got[i], first[i], 1e-12 * std::max(1.0, std::fabs(first[i]))) << push << " #" << i;
  }
}

// The server goes away at a known point of a step: while rows are read,
// between the two queries of the pushed-down pass, after a writer staged its
// table, and just before the COMMIT.  The step stops with an error naming
// the library and the table, and the tables it would have replaced are as
// they were.
std::string kill_at;
void kill_kav(const char* event) {
  if (kill_at != event) return;
  kill_at.clear();
  PGconn* c = PQconnectdb(pg_conninfo().c_str());
  PQclear(PQexec(c, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'kav'"));
  for (int i = 0; i < 500; ++i) {
    PGresult* r = PQexec(c, "SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = 'kav'");
    const bool gone = PQntuples(r) == 1 && std::strcmp(PQgetvalue(r, 0, 0), "0") == 0;
    PQclear(r);
    if (gone) break;
    usleep(10000);
  }
  PQfinish(c);
}

TEST_F(DatabaseTest, ServerGoneMidStep) {
  if (pg_conninfo().empty()) GTEST_SKIP() << "no PostgreSQL server (tests/programs/with_postgres.sh)";
  postgres()("DROP TABLE IF EXISTS big; DROP TABLE IF EXISTS keep; DROP TABLE IF EXISTS scores; "
             "CREATE TABLE big AS SELECT i % 2 AS g, sin(i) AS x1, sin(i) + 0.5 * cos(1.7 * i) AS x2, "
             "cos(0.3 * i) AS x3, sin(2.1 * i) + cos(0.3 * i) AS x4 FROM generate_series(1, 10000) AS i; "
             "CREATE TABLE keep (x DOUBLE PRECISION); INSERT INTO keep VALUES (42); "
             "CREATE TABLE scores (x DOUBLE PRECISION); INSERT INTO scores VALUES (42)");
  const struct {
    const char* event;
    const char* step;
    const char* words;
  } cases[] = {
      {"fetch", "options nopushdown; proc factor data=pg.big nfactors=2 outstat=pg.keep;", "table big of library PG"},
      {"moments", "options pushdown; proc factor data=pg.big nfactors=2 outstat=pg.keep;", "moments of table big of library PG"},
      {"staged", "proc factor data=pg.big nfactors=2 out=pg.scores outstat=pg.keep;", "of library PG"},
      {"commit", "proc factor data=pg.big nfactors=2 out=pg.scores outstat=pg.keep;", "COMMIT of table"},
  };
  kav::db_test_hook = kill_kav;
  for (const auto& c : cases) {
    kill_at = c.event;
    const Outcome r = run("libname pg postgres '" + pg_conninfo() + "';\n" + c.step + " var x1-x4; run;");
    EXPECT_TRUE(kill_at.empty()) << c.event << " did not happen";
    EXPECT_EQ(r.status, 2) << c.event;
    EXPECT_NE(r.log.find(c.words), std::string::npos) << c.event << r.log;
    EXPECT_FALSE(logged(r.results, kav::msg::kDataSetWritten)) << c.event << r.log;
    EXPECT_EQ(scalar("", "SELECT COUNT(*) || ' ' || CAST(MAX(x) AS INTEGER) FROM keep"), "1 42") << c.event;
    EXPECT_EQ(scalar("", "SELECT COUNT(*) || ' ' || CAST(MAX(x) AS INTEGER) FROM scores"), "1 42") << c.event;
  }
  // A DATA step whose table was not put in place does not become _LAST_.
  kill_at = "commit";
  const Outcome d = run("libname pg postgres '" + pg_conninfo() +
                        "';\ndata a; x = 7; run;\ndata pg.keep; set pg.big; run;\nproc print; run;");
  EXPECT_TRUE(kill_at.empty());
  EXPECT_EQ(numbers(d.results["steps"].back()), (std::vector<double>{1, 7})) << d.log;
  kav::db_test_hook = nullptr;
  EXPECT_EQ(scalar("", "SELECT COUNT(*) FROM pg_class WHERE relname LIKE 'kav_new%'"), "0");
}

TEST_F(DatabaseTest, BadLibrariesAndTablesAreNamed) {
  const std::string file = (dir / "d.db").string();
  sqlite_file(file)("CREATE TABLE pics (x DOUBLE PRECISION, img BLOB)");
  const std::string db = "libname db sqlite '" + file + "';\n";
  struct Case {
    std::string program;
    int number;
    std::vector<std::string> words;
  };
  std::vector<Case> cases = {
      {"libname db sqlite '" + (dir / "no" / "d.db").string() + "';", kav::msg::kDatabaseUnusable, {"DB", "d.db"}},
      {"libname pg postgres 'host=" + dir.string() + " dbname=nosuch connect_timeout=2';", kav::msg::kDatabaseUnusable, {"PG", "nosuch"}},
      {db + "proc factor data=db.nosuch; run;", 24, {"DB.NOSUCH", "library DB"}},
      {db + "proc print data=db.pics; run;", 27, {"DB.PICS", "column img", "blob", "library DB"}},
  };
  if (!pg_conninfo().empty()) {
    postgres()("DROP TABLE IF EXISTS pics; CREATE TABLE pics (x DOUBLE PRECISION, img BYTEA)");
    const std::string pg = "libname pg postgres '" + pg_conninfo() + "';\n";
    cases.push_back({pg + "proc factor data=pg.nosuch; run;", 24, {"PG.NOSUCH", "library PG"}});
    cases.push_back({pg + "proc print data=pg.pics; run;", 27, {"PG.PICS", "column img", "bytea", "library PG"}});
  }
  for (const auto& c : cases) {
    const Outcome r = run(c.program);
    EXPECT_NE(r.status, 0) << c.program;
    EXPECT_TRUE(logged(r.results, c.number)) << c.program << r.log;
    for (const auto& w : c.words) EXPECT_NE(r.log.find(w), std::string::npos) << w << "\n" << r.log;
  }
}

}  // namespace
