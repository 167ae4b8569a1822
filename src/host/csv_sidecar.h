// The sidecar of a CSV data set: a small JSON file "<file>.csv.json" that
// keeps the data set type and label and each variable's name, label, kind and
// length.  It also records the number of observations and the size of the
// CSV file it was written with, so a reader can tell the count without
// reading the rows as long as the CSV has not been changed since.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// The sidecar text for a data set with this header.
std::string csv_sidecar_text(const DataSetHeader& header, std::int64_t observations,
                             std::int64_t csv_bytes);

}  // namespace kav
