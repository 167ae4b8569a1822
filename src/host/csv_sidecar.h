// The sidecar of a CSV data set: a small JSON file "<file>.csv.json" that
// keeps the data set type and label and each variable's name, label, kind and
// length.  It also records the number of observations and the size of the
// CSV file it was written with, so a reader can tell the count without
// reading the rows as long as the CSV has not been changed since.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/dataset.h"

namespace kav {

struct CsvSidecar {
  std::string type, label;
  std::vector<Variable> vars;
  std::int64_t observations = -1;  // -1: not recorded
  std::int64_t csv_bytes = -1;
};

// Reads the sidecar of `csv_path`; nullopt when there is none.  Throws
// DataError (naming `display` and the sidecar file) when it is not valid.
std::optional<CsvSidecar> read_csv_sidecar(const std::string& csv_path, const std::string& display);

// A data set is committed by renaming its sidecar into place first and its
// CSV file second, so that the CSV's rename alone decides which data set a
// reader sees.  Between the two renames the new sidecar sits beside the old
// CSV file; it therefore also carries the facts of the data set it replaces
// (the old sidecar, or none) with the size of the old CSV file, and a digest
// of its own CSV file for when the two sizes are equal.  Once the CSV file is
// in place the writer rewrites the sidecar without the replaced facts.
struct CsvSidecarCommit {
  std::string csv_digest;    // CsvDigest of the new CSV file's bytes
  std::string replaced_csv;  // path of the CSV file being replaced ("" none)
};
// The sidecar text for a data set with this header.
std::string csv_sidecar_text(const DataSetHeader& header, std::int64_t observations,
                             std::int64_t csv_bytes, const CsvSidecarCommit& commit = {});

// The text of the sidecar facts that describe the CSV file at `csv_path` as
// it is now, without what an unfinished commit added; "" when none do.  A
// commit whose CSV rename fails puts it back.
std::string csv_sidecar_in_force(const std::string& csv_path);

// A 64-bit digest of the bytes of a CSV file, to tell two files of one size
// apart: add() them in chunks of any size, then take text().  It takes the
// bytes eight at a time (an FNV-style multiply with a shift to spread the
// high bits down), so that digesting costs little beside writing.
class CsvDigest {
 public:
  void add(std::string_view bytes);
  std::string text() const;

 private:
  void take(unsigned char byte);
  void mix(std::uint64_t word);
  std::uint64_t state_ = 14695981039346656037ull;
  std::uint64_t word_ = 0;  // bytes of a word not yet complete, the first lowest
  int filled_ = 0;          // how many
};

}  // namespace kav
