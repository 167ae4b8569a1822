#include "host/csv.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cfloat>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/csv_sidecar.h"
#include "host/support/dataset_text.h"
#include "support/temp_folder.h"

// Every rename of this test program passes here, so that a test can cut a
// commit short at its n-th rename: the rename fails, or the process ends
// before it as if killed.
namespace rename_fault {
int countdown = 0;  // 0: not armed
bool kill = false;
}  // namespace rename_fault

extern "C" int rename(const char* from, const char* to) noexcept {
  if (rename_fault::countdown > 0 && --rename_fault::countdown == 0) {
    if (rename_fault::kill) ::_exit(0);
    errno = EIO;
    return -1;
  }
  return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace kav {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing_support::cells;
using testing_support::layout;
using testing_support::slurp;

struct CsvTest : testing_support::TempFolderTest {
  struct Read {
    MemoryDataSet data;
    std::vector<std::string> notes;
  };
  static Read read(const std::string& path, ValidVarName rule = ValidVarName::V7) {
    CsvReadOptions opts;
    opts.name = "WORK.T";
    opts.validvarname = rule;
    auto reader = open_csv_reader(path, opts);
    Read r;
    r.data = read_all(*reader);
    r.notes = reader->take_notes();
    return r;
  }
};

// The DataError thrown by `f`.
template <typename F>
DataError error_of(F f) {
  try {
    f();
  } catch (const DataError& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return DataError("", "", "");
}

// ---------------------------------------------------------------------------
// Records

// Quoted fields with delimiters, doubled quotes and line breaks; a byte
// order mark, blank lines, a lone CR and another delimiter.
TEST_F(CsvTest, RecordsSplitFieldsAndKeepTheLineEachStartsOn) {
  using Rec = std::vector<std::string>;
  struct Case {
    const char* text;
    char delimiter;
    std::vector<Rec> records;
    std::vector<std::int64_t> lines;
  } cases[] = {
      {"a,b,c\r\n\"x, y\",\"say \"\"hi\"\"\",\"line1\r\nline2\"\r\n1,,3\r\n\"\",\"\"\"\",z",
       ',',
       {{"a", "b", "c"}, {"x, y", "say \"hi\"", "line1\r\nline2"}, {"1", "", "3"}, {"", "\"", "z"}},
       {1, 2, 4, 5}},
      {"\xEF\xBB\xBFx;y\n\n1;2\r3;\"a;b\"\n\n",
       ';',
       {{"x", "y"}, {"1", "2"}, {"3", "a;b"}},
       {1, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CsvRecordOptions opts;
    opts.delimiter = c.delimiter;
    CsvRecordReader r(write_file("r.csv", c.text), opts);
    std::vector<Rec> records;
    std::vector<std::int64_t> lines;
    while (r.next()) {
      records.emplace_back();
      for (std::size_t i = 0; i < r.size(); ++i) records.back().emplace_back(r[i]);
      lines.push_back(r.line());
    }
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(lines, c.lines);
  }
}

// Records that straddle the reader's buffer boundaries at every possible
// point (inside a doubled quote, between CR and LF) and one record far longer
// than the buffer.
TEST_F(CsvTest, RecordsSurviveBufferBoundariesAndHugeFields) {
  std::string text, huge, huge_escaped;
  for (int i = 0; i < 3'000'000; ++i) huge += (i % 1000 == 0) ? '"' : (i % 777 == 0 ? '\n' : 'h');
  for (char c : huge) huge_escaped += (c == '"') ? "\"\"" : std::string(1, c);
  const int rows = 150'000;
  for (int i = 0; i < rows; ++i) {
    text += std::to_string(i) + ",\"q\"\"" + std::to_string(i) + "\"\r\n";
    if (i == 70'000) text += "big,\"" + huge_escaped + "\"\r\n";
  }
  CsvRecordReader r(write_file("long.csv", text));
  std::int64_t expected_line = 1;
  for (int i = 0; i < rows; ++i) {
    ASSERT_TRUE(r.next());
    ASSERT_EQ(r.size(), 2u);
    ASSERT_EQ(r[0], std::to_string(i));
    ASSERT_EQ(r[1], "q\"" + std::to_string(i)) << "row " << i;
    ASSERT_EQ(r.line(), expected_line++);
    if (i == 70'000) {
      ASSERT_TRUE(r.next());
      EXPECT_TRUE(r[1] == huge);
      EXPECT_EQ(r.line(), expected_line);
      expected_line += 1 + std::count(huge.begin(), huge.end(), '\n');
    }
  }
  EXPECT_FALSE(r.next());
}

// ---------------------------------------------------------------------------
// Numbers

TEST(CsvNumbers, ParsesNumbersAndEveryMissingForm) {
  double v = 0;
  struct Case {
    const char* text;
    double value;
  };
  for (const Case& c : {Case{"1.5", 1.5}, Case{"-2", -2.0}, Case{".25", 0.25}, Case{"-.5", -0.5},
                        Case{"1e3", 1000.0}, Case{" 7 ", 7.0}, Case{"+3", 3.0}, Case{"0.1", 0.1}}) {
    ASSERT_TRUE(parse_csv_number(c.text, v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  ASSERT_TRUE(parse_csv_number("-0", v));
  EXPECT_TRUE(std::signbit(v));
  for (const char* m : {"", ".", "NA", "na", "NaN", "nan", " . ", ".A", ".z", "._"}) {
    ASSERT_TRUE(parse_csv_number(m, v)) << m;
    const char want = std::strlen(m) == 2 && m[0] == '.' ? char(std::toupper(m[1])) : '.';
    EXPECT_EQ(missing_letter(v), want) << m;
  }
  for (const char* bad : {"abc", "inf", "-inf", "infinity", "1,5", "1.2.3", "0x10", "--1", "+", "-",
                          "1e", "..", ".AB", "1e999"})
    EXPECT_FALSE(parse_csv_number(bad, v)) << bad;
}

// Short decimals, which take a quicker path than from_chars, give the same
// double as from_chars, including the edges of that path (19 digits, 2^53,
// 22 decimals).  (Written numbers reading back bit for bit is checked by the
// data set round trip below.)
TEST(CsvNumbers, ShortDecimalsMatchFromChars) {
  std::mt19937_64 rng(12345);
  std::vector<std::string> texts = {
      "9007199254740992",    "9007199254740993",         "0.9007199254740993",
      "1234567890123456789", "0.0000000000000000000001", "-0.0",
      "000123.4500"};
  for (int i = 0; i < 100000; ++i) {
    const int decimals = static_cast<int>(rng() % 23);
    std::string t = std::to_string(rng() % 10'000'000'000ULL);
    if (decimals > 0) {
      while (static_cast<int>(t.size()) <= decimals) t.insert(0, 1, '0');
      t.insert(t.size() - static_cast<std::size_t>(decimals), 1, '.');
    }
    if (rng() % 2) t.insert(0, 1, '-');
    texts.push_back(t);
  }
  for (const std::string& t : texts) {
    double ours = 0, standard = 0;
    ASSERT_TRUE(parse_csv_number(t, ours)) << t;
    std::from_chars(t.data(), t.data() + t.size(), standard);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(ours), std::bit_cast<std::uint64_t>(standard)) << t;
  }
}

// ---------------------------------------------------------------------------
// Data sets

TEST_F(CsvTest, KindsAndLengthsAreInferredWithoutASidecar) {
  const auto path = write_file("infer.csv",
                               "id,name,score,flag\n1,Ann,3.5,.\n2,Bartholomew,NA,1\n"
                               "3,\"Lee, Jr.\",.B,x\n");
  CsvReadOptions opts;
  auto reader = open_csv_reader(path, opts);
  EXPECT_EQ(reader->count_hint(), 3);
  const MemoryDataSet d = read_all(*reader);
  // "x" makes flag text, and its "." stays text.
  EXPECT_EQ(layout(d.header), "id::N8 name::C11 score::N8 flag::C1 ");
  EXPECT_EQ(cells(d), "1 Ann 3.5 .|2 Bartholomew . 1|3 Lee, Jr. B x|");
  // A header alone is a data set without observations.
  for (const char* header : {"a,b", "a,b\r\n\r\n"}) {
    const Read r = read(write_file("header.csv", header));
    ASSERT_EQ(r.data.header.vars.size(), 2u);
    EXPECT_TRUE(r.data.rows.empty());
  }
}

// Files that cannot be read as a data set: each error names the file (or
// its sidecar), the line where one is meant, and what is wrong.
TEST_F(CsvTest, BadFilesAreErrorsNamingFileLineAndProblem) {
  struct Case {
    const char* text;
    const char* sidecar;  // nullptr: none
    ValidVarName rule;
    const char* where;  // "": not checked
    std::vector<const char*> parts;
  } cases[] = {
      {"", nullptr, ValidVarName::V7, "", {"empty"}},
      {"\n\n", nullptr, ValidVarName::V7, "", {"empty"}},
      {"\xEF\xBB\xBF", nullptr, ValidVarName::V7, "", {"empty"}},
      // The quoted field makes record 2 take two lines, so the short row is
      // on line 4 although it is the third record.
      {"a,b\n\"x\ny\",2\n3\n4,5\n", nullptr, ValidVarName::V7, "line 4", {"1 field"}},
      {"a,b\n1,2,3\n", nullptr, ValidVarName::V7, "line 2", {}},
      {"a\n1\n\"abc\ndef\n", nullptr, ValidVarName::V7, "line 3", {"never closed"}},
      {"a,b\n\"ab\"c,d\n", nullptr, ValidVarName::V7, "line 2", {}},  // text after a closing quote
      {"a,,c\n1,2,3\n", nullptr, ValidVarName::V7, "line 1", {"column 2"}},
      {"a,  ,c\n", nullptr, ValidVarName::V7, "", {"column 2"}},
      {"a,b,\"  \"\n", nullptr, ValidVarName::V7, "", {"column 3"}},
      {"x,y,X\n1,2,3\n", nullptr, ValidVarName::V7, "", {"columns 1", "and 3"}},
      // Different as written, the same once renamed or cut to eight.
      {"my var,my_var\n1,2\n", nullptr, ValidVarName::V7, "", {"my_var"}},
      {"measure_one,measure_two\n1,2\n", nullptr, ValidVarName::V6, "", {"measure_"}},
      {"a\n1\n", "{ not json", ValidVarName::V7, "", {"t.csv.json"}},
      {"a\n1\n", R"({"variables":[{"name":"a","kind":"text"}]})", ValidVarName::V7, "", {"text"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto path = write_file("t.csv", c.text);
    fs::remove(path + ".json");
    if (c.sidecar) write_file("t.csv.json", c.sidecar);
    const DataError e = error_of([&] { read(path, c.rule); });
    if (*c.where) {
      EXPECT_EQ(e.where(), c.where);
    }
    EXPECT_THAT(e.what(), HasSubstr(c.sidecar ? "t.csv.json" : path));
    for (const char* part : c.parts) EXPECT_THAT(e.what(), HasSubstr(part));
  }
  EXPECT_THAT(error_of([&] { read((dir / "absent.csv").string()); }).what(),
              HasSubstr("absent.csv"));
  // Names that clash under V7 are two variables under ANY, and are not
  // cut under V7.
  EXPECT_EQ(
      read(write_file("a.csv", "my var,my_var\n1,2\n"), ValidVarName::Any).data.header.vars.size(),
      2u);
  EXPECT_NO_THROW(read(write_file("b.csv", "measure_one,measure_two\n1,2\n")));
}

TEST_F(CsvTest, InvalidHeadersAreRenamedWithOneNoteUnlessAnyIsInForce) {
  const auto path = write_file("names.csv", "my var,2nd,ok,a_rather_long_name\n1,2,3,4\n");
  Read r = read(path);
  EXPECT_EQ(layout(r.data.header), "my_var::N8 _2nd::N8 ok::N8 a_rather_long_name::N8 ");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_THAT(r.notes[0], HasSubstr("'my var' to my_var"));
  EXPECT_THAT(r.notes[0], HasSubstr("'2nd' to _2nd"));
  EXPECT_THAT(r.notes[0], ::testing::Not(HasSubstr("'ok'")));

  r = read(path, ValidVarName::V6);
  EXPECT_EQ(r.data.header.vars[3].name, "a_rather");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_THAT(r.notes[0], HasSubstr("V6"));

  r = read(path, ValidVarName::Any);
  EXPECT_EQ(layout(r.data.header), "my var::N8 2nd::N8 ok::N8 a_rather_long_name::N8 ");
  EXPECT_TRUE(r.notes.empty());
  // Quotes keep blanks that are part of a name; without them blanks are layout.
  r = read(write_file("padded.csv", "\" lead\", trail \n1,2\n"), ValidVarName::Any);
  EXPECT_EQ(layout(r.data.header), " lead::N8 trail::N8 ");
}

// Values that do not fit their sidecar variable: text in a numeric column
// becomes missing, a long text is cut; each kind gives one counted note.
TEST_F(CsvTest, ValuesThatDoNotFitTheSidecarGiveOneNoteEach) {
  const auto path = write_file("text.csv", "x,s\n1,abcdef\n\"abc\",ab\n3,c\nzz,d\n");
  write_file("text.csv.json", R"({"type":"RAW","variables":[{"name":"x","kind":"num"},)"
                              R"({"name":"s","kind":"char","length":3}]})");
  const Read r = read(path);
  EXPECT_EQ(r.data.header.type, "RAW");
  EXPECT_EQ(r.data.header.vars[1].length, 3);
  EXPECT_EQ(cells(r.data), "1 abc|. ab|3 c|. d|");
  ASSERT_EQ(r.notes.size(), 2u);
  const std::string notes = r.notes[0] + "\n" + r.notes[1];
  EXPECT_THAT(notes, HasSubstr("2 values"));
  EXPECT_THAT(notes, HasSubstr("'abc'"));
  EXPECT_THAT(notes, HasSubstr("line 3"));
  EXPECT_THAT(notes, HasSubstr("line 2"));
}

DataSetHeader sample_header() {
  DataSetHeader h;
  h.name = "OUT.SAMPLE";
  h.label = "Loadings, \"rotated\"";
  h.type = "FACTOR";
  h.vars = {{"_TYPE_", "", VarKind::Character, 8},
            {"my var", "A label, with comma", VarKind::Numeric, 8},
            {"note", "Free text", VarKind::Character, 40},
            {"x2", "", VarKind::Numeric, 8}};
  return h;
}

TEST_F(CsvTest, RoundTripKeepsHeaderKindsLengthsAndExactValues) {
  const std::string path = (dir / "rt.csv").string();
  std::vector<Observation> rows;
  std::mt19937_64 rng(7);
  const std::vector<std::string> texts = {
      "plain", "with, comma", "say \"hi\"", "two\nlines", "  padded  ", "", "NA", "caf\xC3\xA9"};
  const double edges[] = {-0.0, DBL_MAX, -DBL_MIN, 5e-324, 1e-310, 0.1, 123456789012345678.0};
  for (int i = 0; i < 200; ++i) {
    Observation o;
    o.resize(4);
    o.str[0] = i % 2 ? "CORR" : "MEAN";
    double d;
    do d = std::bit_cast<double>(rng());
    while (!std::isfinite(d));
    if (i % 10 == 5 && i / 10 < 7) d = edges[i / 10];
    o.num[1] = (i % 10 == 3) ? missing_value() : (i % 10 == 4 ? special_missing('C') : d);
    o.str[2] = texts[static_cast<std::size_t>(i) % texts.size()];
    o.num[3] = i / 7.0;
    rows.push_back(o);
  }
  {
    auto w = open_csv_writer(path, sample_header());
    for (const auto& o : rows) w->write(o);
    w->commit();
  }
  const Read r = read(path, ValidVarName::Any);
  EXPECT_EQ(r.data.header.label, sample_header().label);
  EXPECT_EQ(r.data.header.type, "FACTOR");
  EXPECT_EQ(layout(r.data.header), layout(sample_header()));
  EXPECT_TRUE(r.notes.empty());
  ASSERT_EQ(r.data.rows.size(), rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r.data.rows[k].num[1]),
              std::bit_cast<std::uint64_t>(rows[k].num[1]))
        << "row " << k;
    EXPECT_EQ(r.data.rows[k].str[2], rows[k].str[2]) << "row " << k;
  }
  // The file itself: names as written, "." as an empty field, .C as ".C".
  const std::string csv = slurp(path);
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "_TYPE_,my var,note,x2");
  EXPECT_THAT(csv, HasSubstr("\nCORR,,\"two\nlines\",0.42857142857142855\n"));
  EXPECT_THAT(csv, HasSubstr("\nMEAN,.C,\"  padded  \",0.5714285714285714\n"));
  // The sidecar knows the count while the file is unchanged, and stops
  // claiming it once the file is edited.
  CsvReadOptions opts;
  EXPECT_EQ(open_csv_reader(path, opts)->count_hint(), 200);
  std::ofstream(path, std::ios::app) << "MEAN,1,x,2\n";
  auto edited = open_csv_reader(path, opts);
  EXPECT_EQ(edited->count_hint(), -1);
  EXPECT_EQ(read_all(*edited).rows.size(), 201u);
  // Under V7 the name that is not a V7 name is renamed when read back.
  const Read v7 = read(path);
  EXPECT_EQ(v7.data.header.vars[1].name, "my_var");
  EXPECT_EQ(v7.data.header.vars[1].label, "A label, with comma");

  // One column: an empty value is not taken for a blank line.
  DataSetHeader one;
  one.vars = {{"c", "", VarKind::Character, 4}};
  auto w = open_csv_writer(path, one);
  Observation o;
  o.resize(1);
  for (const char* s : {"ab", "", "cd"}) {
    o.str[0] = s;
    w->write(o);
  }
  w->commit();
  EXPECT_EQ(cells(read(path).data), "ab||cd|");
}

TEST_F(CsvTest, UncommittedWriterLeavesTheOldDataSetIntact) {
  const std::string path = (dir / "keep.csv").string();
  Observation o;
  o.resize(4);
  o.str[0] = "OLD";
  {
    auto w = open_csv_writer(path, sample_header());
    w->write(o);
    w->commit();
  }
  const std::string csv = slurp(path), side = slurp(path + ".json");
  {
    DataSetHeader other = sample_header();
    other.vars.pop_back();
    auto w = open_csv_writer(path, other);
    o.str[0] = "NEW";
    for (int i = 0; i < 100000; ++i) w->write(o);  // enough to reach the disk
  }
  EXPECT_EQ(slurp(path), csv);
  EXPECT_EQ(slurp(path + ".json"), side);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"keep.csv", "keep.csv.json"}));
  EXPECT_THROW(open_csv_writer((dir / "no" / "such.csv").string(), sample_header()), DataError);
}

// One variable v, character (length 2) or numeric, with one value.
struct Version {
  const char *type, *label;
  VarKind kind;
  const char* value;
  // What reading it back must show.
  std::string expected() const {
    return std::string(type) + "|" + label + "|v::" + (kind == VarKind::Numeric ? "N8" : "C2") +
           " |" + value + "|";
  }
  void write(const std::string& path) const {
    DataSetHeader h;
    h.type = type;
    h.label = label;
    h.vars = {{"v", "", kind, 2}};
    Observation o;
    o.resize(1);
    if (kind == VarKind::Numeric)
      o.num[0] = std::stod(value);
    else
      o.str[0] = value;
    auto w = open_csv_writer(path, h);
    w->write(o);
    w->commit();
  }
};

std::string shown(const std::string& path) {
  auto r = open_csv_reader(path, CsvReadOptions{});
  const MemoryDataSet d = read_all(*r);
  return d.header.type + "|" + d.header.label + "|" + layout(d.header) + "|" + cells(d);
}

TEST_F(CsvTest, ACommitCutShortAtAnyRenameLeavesTheOldDataSetOrTheNew) {
  const std::string path = (dir / "v.csv").string();
  // Type, label and the kind of v change; in the first pair the two CSV
  // files are also of one size ("v\n12\n", "v\n34\n").
  const Version pairs[][2] = {
      {{"CORR", "old", VarKind::Character, "12"}, {"FACTOR", "new", VarKind::Numeric, "34"}},
      {{"CORR", "old", VarKind::Character, "12"}, {"FACTOR", "new", VarKind::Numeric, "3456"}},
  };
  for (const auto& [before, after] : pairs)
    for (const bool kill : {false, true})
      for (int n = 1; n <= 4; ++n) {
        const std::string what = std::string(after.value) + (kill ? " killed" : " failed") +
                                 " at rename " + std::to_string(n);
        before.write(path);
        bool failed = false;
        if (kill) {
          const pid_t child = ::fork();
          if (child == 0) {
            rename_fault::countdown = n;
            rename_fault::kill = true;
            after.write(path);
            ::_exit(0);
          }
          ASSERT_GT(child, 0);
          ::waitpid(child, nullptr, 0);
        } else {
          rename_fault::countdown = n;
          rename_fault::kill = false;
          try {
            after.write(path);
          } catch (const DataError&) {
            failed = true;
          }
          rename_fault::countdown = 0;
        }
        const std::string now = shown(path);
        EXPECT_TRUE(now == before.expected() || now == after.expected()) << what << ": " << now;
        if (!kill) {
          EXPECT_EQ(now == before.expected(), failed) << what;
        }
        // Cut short at its first rename, no commit can have happened.
        if (n == 1) {
          EXPECT_EQ(now, before.expected()) << what;
        }
      }
  // The next commit clears away what the killed writers left.
  pairs[0][0].write(path);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"v.csv", "v.csv.json"}));
}

// The writer digests its rows as it flushes them, a reader the file in
// chunks of its own: one digest for the same bytes however they are cut.
TEST(CsvDigest, SameBytesInAnyChunksGiveOneDigest) {
  const std::string bytes = "x,y\n1,2\n3,4\n5,6\n7,8\n";
  auto digest = [&](std::vector<std::size_t> cuts, std::string text) {
    CsvDigest d;
    std::size_t from = 0;
    cuts.push_back(text.size());
    for (const std::size_t to : cuts) {
      d.add(std::string_view(text).substr(from, to - from));
      from = to;
    }
    return d.text();
  };
  const std::string whole = digest({}, bytes);
  EXPECT_EQ(digest({3, 11}, bytes), whole);
  EXPECT_EQ(digest({1, 2, 3, 4, 5, 6, 7, 9, 17}, bytes), whole);
  std::string changed = bytes;
  changed[12] = '9';  // same size, one digit different
  EXPECT_NE(digest({}, changed), whole);
}

TEST_F(CsvTest, ADataSetKeepsThePermissionsOfTheFileItReplacesOrFollowsTheUmask) {
  const std::string path = (dir / "p.csv").string();
  auto mode_of = [](const std::string& f) {
    struct stat st;
    return ::stat(f.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u;
  };
  const Version v{"", "", VarKind::Numeric, "1"};
  const mode_t saved = ::umask(0);
  const struct {
    mode_t umask, existing, expected;  // existing 0: no earlier data set
    bool sidecar = true;               // the earlier data set had a sidecar
  } cases[] = {{022, 0, 0644},
               {077, 0, 0600},
               {077, 0644, 0644},
               {022, 0640, 0640},
               {022, 0604, 0604, false}};
  for (const auto& c : cases) {
    fs::remove(path);
    fs::remove(path + ".json");
    if (c.existing) {
      v.write(path);
      ::chmod(path.c_str(), c.existing);
      ::chmod((path + ".json").c_str(), c.existing);
      if (!c.sidecar) fs::remove(path + ".json");
    }
    ::umask(c.umask);
    v.write(path);
    EXPECT_EQ(mode_of(path), c.expected) << std::oct << c.umask << " " << c.existing;
    EXPECT_EQ(mode_of(path + ".json"), c.expected) << std::oct << c.umask << " " << c.existing;
  }
  ::umask(saved);
}

TEST_F(CsvTest, PointReturnsToANotedObservation) {
  // Long enough that going back leaves the reader's buffer, with a row that
  // spans two lines before the noted one and a ragged row at the end.
  std::string text = "id,s\n1,\"a\nb\"\n";
  const int rows = 60000;
  for (int i = 2; i <= rows; ++i) text += std::to_string(i) + ",\"" + std::string(30, 'x') + "\"\n";
  text += "oops\n";
  const auto path = write_file("bygroups.csv", text);
  write_file("bygroups.csv.json",
             R"({"variables":[{"name":"id"},{"name":"s","kind":"char","length":30}]})");
  CsvReadOptions opts;
  auto reader = open_csv_reader(path, opts);
  Observation obs;
  ASSERT_TRUE(reader->next(obs));
  const ObsPosition start = reader->note();
  EXPECT_EQ(start.number, 2);
  for (int i = 2; i <= 40000; ++i) ASSERT_TRUE(reader->next(obs));
  const ObsPosition late = reader->note();
  reader->point(start);
  ASSERT_TRUE(reader->next(obs));
  EXPECT_EQ(obs.num[0], 2.0);
  EXPECT_EQ(reader->note().number, 3);
  reader->point(late);
  ASSERT_TRUE(reader->next(obs));
  EXPECT_EQ(obs.num[0], 40001.0);

  // A second reader pointed at a position it never noted still reports the
  // right line when it fails (header + 2-line first row).
  auto other = open_csv_reader(path, opts);
  other->point(late);
  for (int i = 40001; i <= rows; ++i) ASSERT_TRUE(other->next(obs));
  EXPECT_EQ(error_of([&] { other->next(obs); }).where(), "line " + std::to_string(rows + 3));
}

}  // namespace
}  // namespace kav
