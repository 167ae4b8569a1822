// The CSV storage engine: data sets kept as RFC 4180 files with a header row
// of variable names, plus a sidecar "<file>.json" that keeps what CSV cannot
// (data set type and label, variable labels, kinds and lengths).
//
// CsvRecordReader splits a delimited file into records and fields; the data
// set reader and the DATA step's INFILE both sit on top of it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/dataset.h"
#include "host/names.h"

namespace kav {

struct CsvRecordOptions {
  char delimiter = ',';
  // A line with nothing on it is not a record.  Blank lines are almost
  // always trailing newlines or visual spacing; a real one-column record
  // holding an empty value is written "" by careful writers.
  bool skip_blank_lines = true;
  // Name used in error messages; the path when empty.
  std::string display_name;
};

// Splits a delimited file into records.  Quoted fields may hold delimiters,
// doubled quotes and line breaks; lines end with LF or CRLF (a lone CR too);
// a UTF-8 byte-order mark at the start of the file is skipped.  Memory is a
// buffer of about 1 MiB that grows only to hold a record longer than that.
class CsvRecordReader {
 public:
  // Throws DataError when the file cannot be opened.
  explicit CsvRecordReader(const std::string& path, CsvRecordOptions opts = {});
  ~CsvRecordReader();
  CsvRecordReader(const CsvRecordReader&) = delete;
  CsvRecordReader& operator=(const CsvRecordReader&) = delete;

  // Reads the next record; false at the end of the file.  Throws DataError
  // for a quoted field that is never closed or text after a closing quote.
  bool next();

  // Fields of the current record.  The views stay valid until the next call
  // of next() or seek().
  std::size_t size() const { return count_; }
  std::string_view operator[](std::size_t i) const { return fields_[i].text; }
  bool quoted(std::size_t i) const { return fields_[i].quoted; }

  // 1-based line on which the current record starts, and its byte offset.
  std::int64_t line() const { return record_line_; }
  std::int64_t offset() const { return record_offset_; }
  // Where the record after the current one starts.
  std::int64_t next_offset() const { return base_ + static_cast<std::int64_t>(pos_); }
  std::int64_t next_line() const { return line_; }

  // Makes the next record start at byte `offset`, which must be the start of
  // a record (a value of next_offset()); `line` is its line number.
  void seek(std::int64_t offset, std::int64_t line);

  const std::string& path() const { return path_; }
  // The name messages use for this file.
  const std::string& display_name() const { return display_; }

 private:
  enum class Parse { Complete, NeedMore, End };
  Parse parse_record(bool at_eof);
  bool refill();
  [[noreturn]] void fail(std::int64_t line, const std::string& what) const;

  std::string path_, display_;
  CsvRecordOptions opts_;
  std::FILE* file_ = nullptr;
  std::vector<char> buf_;  // data in [0, len_), a sentinel byte at len_
  std::size_t len_ = 0, pos_ = 0;
  std::int64_t base_ = 0;  // file offset of buf_[0]
  bool eof_ = false;
  std::int64_t line_ = 1;  // line of the next record
  std::int64_t record_line_ = 0, record_offset_ = 0;
  bool stop_[256] = {};
  struct Field {
    std::string_view text;
    bool quoted = false;
    bool escaped = false;  // holds doubled quotes
  };
  // The fields of the current record are fields_[0, count_); the vector only
  // grows, so the hot loop never allocates.
  std::vector<Field> fields_;
  std::size_t count_ = 0;
  // Fields with doubled quotes, unescaped.  They are kept apart rather than
  // unescaped in place so that the buffer stays as read and a seek back
  // within it needs no new read.
  std::string unescaped_;
};

struct CsvReadOptions {
  // Display name of the data set (e.g. "WORK.SCORES"), used for the
  // header's name and in messages; the path when empty.
  std::string name;
  ValidVarName validvarname = ValidVarName::V7;
  char delimiter = ',';
};

// Opens a CSV data set for reading.  Throws DataError when the file cannot
// be read, is empty, has blank or duplicate column names, a ragged row or a
// broken quoted field (when type inference reads the whole file first, such
// errors are found at open; otherwise at the record that has them).
std::unique_ptr<ObsReader> open_csv_reader(const std::string& path, const CsvReadOptions& opts);

// Opens a CSV data set for writing.  Rows go to a temporary file in the same
// folder; commit() renames its sidecar onto `path + ".json"` and then the
// file onto `path` (see CsvSidecarCommit), so that a commit cut short at any
// point leaves the earlier data set or the new one.  The files keep the
// permissions of those they replace.  Throws DataError when the folder is
// not writable.
std::unique_ptr<ObsWriter> open_csv_writer(const std::string& path, DataSetHeader header);

// The sidecar path of a CSV data set.
inline std::string csv_sidecar_path(const std::string& csv_path) {
  return csv_path + ".json";
}

// Parses a numeric CSV field: a decimal number (surrounding blanks allowed),
// or a missing value: empty, ".", "NA", "NaN" (any case), ".A"-".Z", "._".
// Returns false when the text is neither.
bool parse_csv_number(std::string_view text, double& out);

// Appends the CSV form of a numeric value: the shortest text that reads back
// to the same double, empty for ".", ".A" etc. for special missing values.
void append_csv_number(std::string& out, double value);

// Appends a field, quoted when it holds the delimiter, a quote, a line
// break or leading or trailing blanks.
void append_csv_field(std::string& out, std::string_view text, char delimiter = ',');

}  // namespace kav
