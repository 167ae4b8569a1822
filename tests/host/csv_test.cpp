#include "host/csv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kav {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class CsvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kav-csv-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write_file(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
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
  // The DataError thrown while opening and reading the whole file.
  static DataError read_error(const std::string& path, ValidVarName rule = ValidVarName::V7) {
    try {
      read(path, rule);
    } catch (const DataError& e) {
      return e;
    }
    ADD_FAILURE() << "no error reading " << path;
    return DataError("", "", "");
  }

  fs::path dir_;
};

std::vector<std::vector<std::string>> all_records(CsvRecordReader& r,
                                                  std::vector<std::int64_t>* lines = nullptr) {
  std::vector<std::vector<std::string>> out;
  while (r.next()) {
    out.emplace_back();
    for (std::size_t i = 0; i < r.size(); ++i) out.back().emplace_back(r[i]);
    if (lines) lines->push_back(r.line());
  }
  return out;
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
    std::vector<std::int64_t> lines;
    EXPECT_EQ(all_records(r, &lines), c.records);
    EXPECT_EQ(lines, c.lines);
  }
}

// Records that straddle the reader's buffer boundaries at every possible
// point (inside a doubled quote, between CR and LF) and one record far longer
// than the buffer.
TEST_F(CsvTest, RecordsSurviveBufferBoundariesAndHugeFields) {
  std::string text, huge;
  for (int i = 0; i < 3'000'000; ++i) huge += (i % 1000 == 0) ? '"' : (i % 777 == 0 ? '\n' : 'h');
  std::string huge_escaped;
  for (char c : huge) huge_escaped += (c == '"') ? "\"\"" : std::string(1, c);
  const int rows = 150'000;
  for (int i = 0; i < rows; ++i) {
    text += std::to_string(i) + ",\"q\"\"" + std::to_string(i) + "\"\r\n";
    if (i == 70'000) text += "big,\"" + huge_escaped + "\"\r\n";
  }
  const auto path = write_file("long.csv", text);
  CsvRecordReader r(path);
  std::int64_t expected_line = 1;
  for (int i = 0; i < rows; ++i) {
    ASSERT_TRUE(r.next());
    ASSERT_EQ(r.size(), 2u);
    ASSERT_EQ(r[0], std::to_string(i));
    ASSERT_EQ(r[1], "q\"" + std::to_string(i)) << "row " << i;
    ASSERT_EQ(r.line(), expected_line);
    ++expected_line;
    if (i == 70'000) {
      ASSERT_TRUE(r.next());
      EXPECT_EQ(r[0], "big");
      EXPECT_TRUE(r[1] == huge);
      EXPECT_EQ(r.line(), expected_line);
      expected_line += 1 + std::count(huge.begin(), huge.end(), '\n');
    }
  }
  EXPECT_FALSE(r.next());
}

// The DataError thrown while reading every record of a file.
DataError record_error(const std::string& path) {
  try {
    CsvRecordReader r(path);
    while (r.next()) {
    }
  } catch (const DataError& e) {
    return e;
  }
  ADD_FAILURE() << "no error reading the records of " << path;
  return DataError("", "", "");
}

TEST_F(CsvTest, RecordErrorsNameTheFileAndLine) {
  const auto open = write_file("open.csv", "a\n1\n\"abc\ndef\n");
  DataError e = record_error(open);
  EXPECT_EQ(e.where(), "line 3");
  EXPECT_THAT(e.what(), HasSubstr(open));
  EXPECT_THAT(e.what(), HasSubstr("never closed"));
  // Text after a closing quote.
  EXPECT_EQ(record_error(write_file("after.csv", "a,b\n\"ab\"c,d\n")).where(), "line 2");
  EXPECT_THAT(record_error((dir_ / "absent.csv").string()).what(), HasSubstr("absent.csv"));
}

TEST_F(CsvTest, RecordSeekReturnsToANotedRecord) {
  const auto path = write_file("s.csv", "h\n1\n\"2\n2\"\n3\n4\n");
  CsvRecordReader r(path);
  ASSERT_TRUE(r.next());
  ASSERT_TRUE(r.next());
  const auto offset = r.next_offset();
  const auto line = r.next_line();
  ASSERT_TRUE(r.next());
  EXPECT_EQ(r[0], "2\n2");
  ASSERT_TRUE(r.next());
  ASSERT_TRUE(r.next());
  EXPECT_EQ(r[0], "4");
  r.seek(offset, line);
  ASSERT_TRUE(r.next());
  EXPECT_EQ(r[0], "2\n2");
  EXPECT_EQ(r.line(), 3);
  ASSERT_TRUE(r.next());
  EXPECT_EQ(r[0], "3");
  EXPECT_EQ(r.line(), 5);
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
  for (const char* m : {"", ".", "NA", "na", "NaN", "nan", " . "}) {
    ASSERT_TRUE(parse_csv_number(m, v)) << m;
    EXPECT_EQ(missing_letter(v), '.') << m;
  }
  for (const char* m : {".A", ".z", "._"}) {
    ASSERT_TRUE(parse_csv_number(m, v)) << m;
    EXPECT_EQ(missing_letter(v), m[1] == 'z' ? 'Z' : m[1]) << m;
  }
  for (const char* bad : {"abc", "inf", "-inf", "infinity", "1,5", "1.2.3", "0x10", "--1", "+", "-",
                          "1e", "..", ".AB", "1e999"})
    EXPECT_FALSE(parse_csv_number(bad, v)) << bad;
}

TEST(CsvNumbers, WrittenNumbersReadBackBitIdentical) {
  std::mt19937_64 rng(12345);
  std::vector<double> values = {0.1,    1.0 / 3.0, -0.0, DBL_MAX, -DBL_MIN,
                                5e-324, 1e-310,    M_PI, 1e22,    123456789012345678.0};
  for (int i = 0; i < 20000; ++i) {
    double d = std::bit_cast<double>(rng());
    if (std::isfinite(d)) values.push_back(d);
  }
  for (double d : values) {
    std::string text;
    append_csv_number(text, d);
    double back = 0;
    ASSERT_TRUE(parse_csv_number(text, back)) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(d)) << text;
  }
  std::string text;
  append_csv_number(text, missing_value());
  EXPECT_EQ(text, "");
  append_csv_number(text, special_missing('Q'));
  EXPECT_EQ(text, ".Q");
}

// Short decimals take a quicker path than from_chars; it must give the same
// double for every one of them, including the edges of that path (19 digits,
// 2^53, 22 decimals).
TEST(CsvNumbers, ShortDecimalsMatchTheStandardConversion) {
  std::mt19937_64 rng(99);
  std::vector<std::string> texts = {
      "9007199254740992",    "9007199254740993",         "0.9007199254740993",
      "1234567890123456789", "0.0000000000000000000001", "-0.0",
      "000123.4500"};
  for (int i = 0; i < 200000; ++i) {
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
    const auto r = std::from_chars(t.data(), t.data() + t.size(), standard);
    ASSERT_EQ(r.ptr, t.data() + t.size());
    ASSERT_EQ(std::bit_cast<std::uint64_t>(ours), std::bit_cast<std::uint64_t>(standard)) << t;
  }
}

// ---------------------------------------------------------------------------
// Data sets

TEST_F(CsvTest, KindsAndLengthsAreInferredWithoutASidecar) {
  const auto path = write_file("infer.csv",
                               "id,name,score,flag\n"
                               "1,Ann,3.5,.\n"
                               "2,Bartholomew,NA,1\n"
                               "3,\"Lee, Jr.\",.B,x\n");
  CsvReadOptions opts;
  opts.name = "WORK.T";
  auto reader = open_csv_reader(path, opts);
  EXPECT_EQ(reader->count_hint(), 3);
  const MemoryDataSet d = read_all(*reader);
  ASSERT_EQ(d.header.vars.size(), 4u);
  EXPECT_EQ(d.header.name, "WORK.T");
  EXPECT_TRUE(d.header.vars[0].is_numeric());
  EXPECT_FALSE(d.header.vars[1].is_numeric());
  EXPECT_EQ(d.header.vars[1].length, 11);
  EXPECT_TRUE(d.header.vars[2].is_numeric());
  EXPECT_FALSE(d.header.vars[3].is_numeric());  // "x" is text, "." is kept as text
  EXPECT_EQ(d.header.vars[3].length, 1);
  ASSERT_EQ(d.rows.size(), 3u);
  EXPECT_EQ(d.rows[2].num[0], 3.0);
  EXPECT_EQ(d.rows[2].str[1], "Lee, Jr.");
  EXPECT_EQ(d.rows[0].num[2], 3.5);
  EXPECT_EQ(missing_letter(d.rows[1].num[2]), '.');
  EXPECT_EQ(missing_letter(d.rows[2].num[2]), 'B');
  EXPECT_EQ(d.rows[0].str[3], ".");
}

TEST_F(CsvTest, EmptyFileIsAnErrorAndAHeaderAloneHasNoObservations) {
  for (const char* empty : {"", "\n\n", "\xEF\xBB\xBF"}) {
    const auto path = write_file("empty.csv", empty);
    const DataError e = read_error(path);
    EXPECT_THAT(e.what(), HasSubstr(path));
    EXPECT_THAT(e.what(), HasSubstr("empty"));
  }
  for (const char* header : {"a,b", "a,b\n", "a,b\r\n\r\n"}) {
    const Read r = read(write_file("header.csv", header));
    ASSERT_EQ(r.data.header.vars.size(), 2u);
    EXPECT_EQ(r.data.header.vars[1].name, "b");
    EXPECT_TRUE(r.data.rows.empty());
  }
}

TEST_F(CsvTest, RaggedRowIsAnErrorNamingItsLine) {
  // The quoted field makes record 2 take two lines, so the short row is on
  // line 4 although it is the third record.
  const auto path = write_file("ragged.csv", "a,b\n\"x\ny\",2\n3\n4,5\n");
  DataError e = read_error(path);
  EXPECT_EQ(e.where(), "line 4");
  EXPECT_THAT(e.what(), HasSubstr(path));
  EXPECT_THAT(e.what(), HasSubstr("1 field"));
  // With a sidecar the types need no first pass, so the error comes from
  // next() instead of the open; it must name the same line.
  write_file("ragged.csv.json",
             R"({"variables":[{"name":"a","kind":"char","length":3},{"name":"b"}]})");
  CsvReadOptions opts;
  auto reader = open_csv_reader(path, opts);
  Observation obs;
  ASSERT_TRUE(reader->next(obs));
  try {
    reader->next(obs);
    FAIL() << "ragged row not reported";
  } catch (const DataError& err) {
    EXPECT_EQ(err.where(), "line 4");
  }
  e = read_error(write_file("long_row.csv", "a,b\n1,2,3\n"));
  EXPECT_EQ(e.where(), "line 2");
}

TEST_F(CsvTest, BlankAndDuplicateColumnNamesAreErrors) {
  DataError e = read_error(write_file("blank.csv", "a,,c\n1,2,3\n"));
  EXPECT_EQ(e.where(), "line 1");
  EXPECT_THAT(e.what(), HasSubstr("column 2"));
  e = read_error(write_file("blank2.csv", "a,  ,c\n"));
  EXPECT_THAT(e.what(), HasSubstr("column 2"));
  e = read_error(write_file("blank3.csv", "a,b,\"  \"\n"));
  EXPECT_THAT(e.what(), HasSubstr("column 3"));
  e = read_error(write_file("dup.csv", "x,y,X\n1,2,3\n"));
  EXPECT_THAT(e.what(), HasSubstr("columns 1"));
  EXPECT_THAT(e.what(), HasSubstr("and 3"));
  // Different as written, the same once renamed.
  const auto renamed = write_file("dup2.csv", "my var,my_var\n1,2\n");
  e = read_error(renamed);
  EXPECT_THAT(e.what(), HasSubstr("my_var"));
  EXPECT_EQ(read(renamed, ValidVarName::Any).data.header.vars.size(), 2u);
  // V6 cuts both to the same eight characters.
  EXPECT_NO_THROW(read(write_file("long.csv", "measure_one,measure_two\n1,2\n")));
  e = read_error(write_file("long.csv", "measure_one,measure_two\n1,2\n"), ValidVarName::V6);
  EXPECT_THAT(e.what(), HasSubstr("measure_"));
}

TEST_F(CsvTest, InvalidHeadersAreRenamedWithOneNoteUnlessAnyIsInForce) {
  const auto path = write_file("names.csv", "my var,2nd,ok,a_rather_long_name\n1,2,3,4\n");
  Read r = read(path);
  ASSERT_EQ(r.data.header.vars.size(), 4u);
  EXPECT_EQ(r.data.header.vars[0].name, "my_var");
  EXPECT_EQ(r.data.header.vars[1].name, "_2nd");
  EXPECT_EQ(r.data.header.vars[2].name, "ok");
  EXPECT_EQ(r.data.header.vars[3].name, "a_rather_long_name");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_THAT(r.notes[0], HasSubstr("'my var' to my_var"));
  EXPECT_THAT(r.notes[0], HasSubstr("'2nd' to _2nd"));
  EXPECT_THAT(r.notes[0], ::testing::Not(HasSubstr("'ok'")));

  r = read(path, ValidVarName::V6);
  EXPECT_EQ(r.data.header.vars[3].name, "a_rather");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_THAT(r.notes[0], HasSubstr("V6"));

  r = read(path, ValidVarName::Any);
  EXPECT_EQ(r.data.header.vars[0].name, "my var");
  // Quotes keep blanks that are part of a name; without them blanks are layout.
  const Read padded = read(write_file("padded.csv", "\" lead\", trail \n1,2\n"), ValidVarName::Any);
  EXPECT_EQ(padded.data.header.vars[0].name, " lead");
  EXPECT_EQ(padded.data.header.vars[1].name, "trail");
  EXPECT_EQ(r.data.header.vars[1].name, "2nd");
  EXPECT_TRUE(r.notes.empty());
}

TEST_F(CsvTest, TextInANumericColumnBecomesMissingWithOneCountedNote) {
  const auto path = write_file("text.csv", "x,y\n1,a\n\"abc\",b\n3,c\nzz,d\n");
  write_file("text.csv.json",
             R"({"variables":[{"name":"x","kind":"num"},{"name":"y","kind":"char","length":1}]})");
  const Read r = read(path);
  ASSERT_EQ(r.data.rows.size(), 4u);
  EXPECT_EQ(r.data.rows[0].num[0], 1.0);
  EXPECT_EQ(missing_letter(r.data.rows[1].num[0]), '.');
  EXPECT_EQ(r.data.rows[2].num[0], 3.0);
  EXPECT_EQ(missing_letter(r.data.rows[3].num[0]), '.');
  EXPECT_EQ(r.data.rows[3].str[1], "d");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_THAT(r.notes[0], HasSubstr("2 values"));
  EXPECT_THAT(r.notes[0], HasSubstr("'abc'"));
  EXPECT_THAT(r.notes[0], HasSubstr("line 3"));
}

TEST_F(CsvTest, SidecarGivesLengthsAndLongerValuesAreCutWithANote) {
  const auto path = write_file("cut.csv", "s\nabcdef\nab\n");
  write_file("cut.csv.json",
             R"({"type":"RAW","variables":[{"name":"s","kind":"char","length":3}]})");
  const Read r = read(path);
  EXPECT_EQ(r.data.header.type, "RAW");
  EXPECT_EQ(r.data.header.vars[0].length, 3);
  ASSERT_EQ(r.data.rows.size(), 2u);
  EXPECT_EQ(r.data.rows[0].str[0], "abc");
  EXPECT_EQ(r.data.rows[1].str[0], "ab");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_THAT(r.notes[0], HasSubstr("line 2"));
}

TEST_F(CsvTest, BrokenSidecarIsAnErrorNamingIt) {
  const auto path = write_file("side.csv", "a\n1\n");
  write_file("side.csv.json", "{ not json");
  DataError e = read_error(path);
  EXPECT_THAT(e.what(), HasSubstr("side.csv.json"));
  write_file("side.csv.json", R"({"variables":[{"name":"a","kind":"text"}]})");
  e = read_error(path);
  EXPECT_THAT(e.what(), HasSubstr("text"));
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
  const std::string path = (dir_ / "rt.csv").string();
  std::vector<Observation> rows;
  std::mt19937_64 rng(7);
  const std::vector<std::string> texts = {
      "plain", "with, comma", "say \"hi\"", "two\nlines", "  padded  ", "", "NA", "caf\xC3\xA9"};
  for (int i = 0; i < 200; ++i) {
    Observation o;
    o.resize(4);
    o.str[0] = i % 2 ? "CORR" : "MEAN";
    double d;
    do d = std::bit_cast<double>(rng());
    while (!std::isfinite(d));
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
  const DataSetHeader h = sample_header();
  EXPECT_EQ(r.data.header.label, h.label);
  EXPECT_EQ(r.data.header.type, h.type);
  ASSERT_EQ(r.data.header.vars.size(), h.vars.size());
  for (std::size_t i = 0; i < h.vars.size(); ++i) {
    EXPECT_EQ(r.data.header.vars[i].name, h.vars[i].name);
    EXPECT_EQ(r.data.header.vars[i].label, h.vars[i].label);
    EXPECT_EQ(r.data.header.vars[i].kind, h.vars[i].kind);
    EXPECT_EQ(r.data.header.vars[i].length, h.vars[i].length);
  }
  EXPECT_TRUE(r.notes.empty());
  ASSERT_EQ(r.data.rows.size(), rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(r.data.rows[k].str[0], rows[k].str[0]);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r.data.rows[k].num[1]),
              std::bit_cast<std::uint64_t>(rows[k].num[1]))
        << "row " << k;
    EXPECT_EQ(r.data.rows[k].str[2], rows[k].str[2]) << "row " << k;
    EXPECT_EQ(r.data.rows[k].num[3], rows[k].num[3]);
  }
  // The file itself: names as written, "." as an empty field, .C as ".C".
  const std::string csv = slurp(path);
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "_TYPE_,my var,note,x2");
  EXPECT_THAT(csv, HasSubstr("\nCORR,,\"two\nlines\",0.42857142857142855\n"));
  EXPECT_THAT(csv, HasSubstr("\nMEAN,.C,\"  padded  \",0.5714285714285714\n"));
  const auto side = nlohmann::json::parse(slurp(path + ".json"));
  EXPECT_EQ(side["type"], "FACTOR");
  EXPECT_EQ(side["variables"][2]["kind"], "char");
  EXPECT_EQ(side["variables"][2]["length"], 40);
  // The sidecar knows the count while the file is unchanged...
  CsvReadOptions opts;
  EXPECT_EQ(open_csv_reader(path, opts)->count_hint(), 200);
  std::ofstream(path, std::ios::app) << "MEAN,1,x,2\n";
  // ...and stops claiming it once the file is edited.
  auto edited = open_csv_reader(path, opts);
  EXPECT_EQ(edited->count_hint(), -1);
  EXPECT_EQ(read_all(*edited).rows.size(), 201u);
  // Under V7 the name that is not a V7 name is renamed when read back.
  const Read v7 = read(path);
  EXPECT_EQ(v7.data.header.vars[1].name, "my_var");
  EXPECT_EQ(v7.data.header.vars[1].label, "A label, with comma");
}

TEST_F(CsvTest, OneColumnDataSetKeepsEmptyValues) {
  const std::string path = (dir_ / "one.csv").string();
  DataSetHeader h;
  h.vars = {{"c", "", VarKind::Character, 4}};
  auto w = open_csv_writer(path, h);
  Observation o;
  o.resize(1);
  for (const char* s : {"ab", "", "cd"}) {
    o.str[0] = s;
    w->write(o);
  }
  w->commit();
  const Read r = read(path);
  ASSERT_EQ(r.data.rows.size(), 3u);
  EXPECT_EQ(r.data.rows[1].str[0], "");
  EXPECT_EQ(r.data.rows[2].str[0], "cd");
}

TEST_F(CsvTest, UncommittedWriterLeavesTheOldDataSetIntact) {
  const std::string path = (dir_ / "keep.csv").string();
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
  for (const auto& entry : fs::directory_iterator(dir_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"keep.csv", "keep.csv.json"}));

  EXPECT_THROW(open_csv_writer((dir_ / "no" / "such.csv").string(), sample_header()), DataError);
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
  // right line when it fails.
  auto other = open_csv_reader(path, opts);
  other->point(late);
  for (int i = 40001; i <= rows; ++i) ASSERT_TRUE(other->next(obs));
  try {
    other->next(obs);
    FAIL() << "ragged row not reported";
  } catch (const DataError& e) {
    EXPECT_EQ(e.where(), "line " + std::to_string(rows + 3));  // header + 2-line first row
  }
}

}  // namespace
}  // namespace kav
