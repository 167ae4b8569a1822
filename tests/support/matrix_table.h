// A labelled matrix as the table a step would deliver, in one call.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/output.h"

namespace kav::testing_support {

// `data` holds the rows one after another.
inline Table labelled_matrix(const std::string& name, int rows, int columns,
                             std::vector<double> data, std::vector<std::string> row_labels,
                             std::vector<std::string> column_labels,
                             std::optional<Format> format = std::nullopt) {
  MatrixSpec spec;
  spec.name = name;
  spec.rows = rows;
  spec.columns = columns;
  spec.data = std::move(data);
  spec.row_labels = std::move(row_labels);
  spec.column_labels = std::move(column_labels);
  spec.format = format;
  return matrix_table(spec);
}

}  // namespace kav::testing_support
