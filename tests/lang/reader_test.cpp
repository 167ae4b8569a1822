#include "lang/reader.h"

#include <gtest/gtest.h>

#include "host/host_messages.h"
#include "host/value.h"

namespace kav {
namespace {

struct Read {
  MacroTable macros;
  Log log;
  std::vector<Statement> statements;
  void run(const std::string& text) {
    ProgramReader r(text, "t.kav", macros, log);
    Statement st;
    while (r.next(st)) statements.push_back(st);
  }
  std::vector<const LogEntry*> host(int number) const {
    std::vector<const LogEntry*> found;
    for (const auto& e : log.entries())
      if (e.group == kHostGroup && e.number == number) found.push_back(&e);
    return found;
  }
};

TEST(Reader, TokensKeepLineAndColumnAcrossCommentsAndStrings) {
  Read r;
  r.run("/* head */ data a;\n  x = 'it''s' ;  * a comment; \n  y=\"q\"n; z = .B; w = ._ ;");
  ASSERT_EQ(r.statements.size(), 5u);
  const auto& d = r.statements[0].tokens;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].pos.line, 1);
  EXPECT_EQ(d[0].pos.column, 12);
  EXPECT_EQ(d[1].value, "a");
  const auto& x = r.statements[1].tokens;
  EXPECT_EQ(x[2].kind, TokenKind::String);
  EXPECT_EQ(x[2].value, "it's");
  EXPECT_EQ(x[2].pos.line, 2);
  EXPECT_EQ(x[2].pos.column, 7);
  EXPECT_EQ(r.statements[2].tokens[2].kind, TokenKind::NameLiteral);
  EXPECT_EQ(r.statements[2].tokens[2].value, "q");
  const Token& b = r.statements[3].tokens[2];
  EXPECT_EQ(b.kind, TokenKind::Missing);
  EXPECT_EQ(missing_letter(b.number), 'B');
  EXPECT_EQ(missing_letter(r.statements[4].tokens[2].number), '_');
  EXPECT_TRUE(r.log.entries().empty());
}

TEST(Reader, NumbersSymbolsAndTwoLevelNames) {
  Read r;
  r.run("proc factor data=out.fa2 nfactors=-1 singular=1e-8 x=.5 a--b c-numeric-d @@;");
  const auto& t = r.statements[0].tokens;
  std::string values;
  for (const auto& k : t) values += k.value + " ";
  EXPECT_EQ(values,
            "proc factor data = out . fa2 nfactors = - 1 singular = 1e-8 x = .5 a -- b c - numeric "
            "- d @@ ");
  EXPECT_DOUBLE_EQ(t[13].number, 1e-8);
  EXPECT_DOUBLE_EQ(t[16].number, 0.5);
}

TEST(Reader, MacroVariablesAreReplacedOutsideSingleQuotes) {
  Read r;
  r.macros.set("n", "3");
  r.macros.set("ds", "scores");
  r.macros.set("chain", "&n");
  r.run("proc factor data=&ds. nfactors=&n; title \"&ds results\" '&ds'; x=&chain;");
  const auto& p = r.statements[0].tokens;
  EXPECT_EQ(p[4].value, "scores");
  EXPECT_EQ(p[7].number, 3);
  EXPECT_EQ(r.statements[1].tokens[1].value, "scores results");
  EXPECT_EQ(r.statements[1].tokens[2].value, "&ds");
  EXPECT_EQ(r.statements[2].tokens[2].number, 3);
  // A replaced token points at the reference in the program.
  EXPECT_EQ(p[7].pos.column, 32);
}

// Each fault is reported once, where it starts (line 0: not checked), and
// the statement holding it is marked bad; reading goes on after it.
TEST(Reader, ErrorsAreReportedOnceWhereTheyStart) {
  struct Case {
    const char* text;
    int number, line, column, bad_statement;
  } cases[] = {
      {"data a;\n  x = &nothere;\nrun;", msg::kUndefinedMacro, 2, 7, 1},
      {"data a;\nx=1; /* never closed\nrun;", msg::kUnclosedComment, 2, 6, -1},
      {"title 'oops;\ndata b; x=1;\nrun;", msg::kUnclosedString, 1, 7, 0},
      {"x = 12abc;\nrun;", msg::kBadNumber, 0, 0, 0},
      {"x=&a;", msg::kMacroLoop, 0, 0, -1},  // a and b refer to each other
      {"proc print data=a", msg::kNoFinalSemicolon, 0, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Read r;
    r.macros.set("a", "&b");
    r.macros.set("b", "&a");
    r.run(c.text);
    const auto found = r.host(c.number);
    ASSERT_EQ(found.size(), 1u);
    const LogEntry* e = found[0];
    EXPECT_EQ(e->severity, Severity::Error);
    if (c.line) {
      EXPECT_EQ(e->pos.line, c.line);
      EXPECT_EQ(e->pos.column, c.column);
    }
    if (c.bad_statement >= 0) {
      ASSERT_GT(r.statements.size(), std::size_t(c.bad_statement));
      for (std::size_t k = 0; k < r.statements.size(); ++k)
        EXPECT_EQ(r.statements[k].bad, int(k) == c.bad_statement) << k;
      EXPECT_EQ(r.statements.back().keyword(), "RUN");
    }
  }
}

TEST(Reader, DatalinesAreTakenRawUntilASemicolonLine) {
  Read r;
  r.run("data a;\n input x y;\n datalines;\n1 2 /* not a comment */\n&m 'x\n ; \nproc print;run;");
  ASSERT_EQ(r.statements.size(), 5u);
  const Statement& d = r.statements[2];
  EXPECT_EQ(d.keyword(), "DATALINES");
  ASSERT_EQ(d.lines.size(), 2u);
  EXPECT_EQ(d.lines[0], "1 2 /* not a comment */");
  EXPECT_EQ(d.lines[1], "&m 'x");
  EXPECT_EQ(d.first_line, 4);
  EXPECT_EQ(r.statements[3].keyword(), "PROC");
  EXPECT_TRUE(r.log.entries().empty());
}

}  // namespace
}  // namespace kav
