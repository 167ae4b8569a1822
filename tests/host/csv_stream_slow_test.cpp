// Ten million rows written and read through the CSV engine: the sums must be
// exact and resident memory must not grow with the rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/csv.h"
#include "support/temp_folder.h"

namespace kav {
namespace {

std::int64_t resident_bytes() {
  long size = 0, resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  const int got = f ? std::fscanf(f, "%ld %ld", &size, &resident) : 0;
  if (f) std::fclose(f);
  return got == 2 ? static_cast<std::int64_t>(resident) * ::sysconf(_SC_PAGESIZE) : -1;
}

using CsvStream = testing_support::TempFolderTest;

TEST_F(CsvStream, TenMillionRowsStreamInConstantMemory) {
  constexpr std::int64_t kRows = 10'000'000, kSlack = 16 << 20;
  const std::string path = (dir / "big.csv").string();
  DataSetHeader h;
  h.vars = {{"x", "", VarKind::Numeric, 8},
            {"y", "", VarKind::Numeric, 8},
            {"g", "", VarKind::Character, 2}};
  Observation obs;
  obs.resize(3);
  std::int64_t early = 0;
  auto writer = open_csv_writer(path, h);
  for (std::int64_t i = 0; i < kRows; ++i) {
    obs.num[0] = static_cast<double>(i);
    obs.num[1] = i % 7 == 3 ? missing_value() : static_cast<double>(i % 1000) / 8.0;
    obs.str[2] = {'g', static_cast<char>('0' + i % 10)};
    writer->write(obs);
    if (i == 100'000) early = resident_bytes();
  }
  EXPECT_LT(resident_bytes() - early, kSlack) << "the writer keeps rows in memory";
  writer->commit();
  // Independent totals: x sums 0..n-1; y sums k/8 over i = k (mod 1000)
  // except where i = 3 (mod 7), where it is missing.
  const double want_x = static_cast<double>(kRows) * (kRows - 1) / 2;
  std::int64_t want_y8 = 0, want_missing = 0;
  for (std::int64_t i = 0; i < kRows; ++i)
    if (i % 7 == 3)
      ++want_missing;
    else
      want_y8 += i % 1000;

  for (const bool with_sidecar : {true, false}) {
    SCOPED_TRACE(with_sidecar ? "kinds from the sidecar" : "kinds inferred");
    if (!with_sidecar) std::filesystem::remove(csv_sidecar_path(path));
    CsvReadOptions opts;
    auto reader = open_csv_reader(path, opts);
    double x = 0, y = 0;
    std::int64_t rows = 0, missing = 0, g7 = 0;
    while (reader->next(obs)) {
      x += obs.num[0];
      if (is_missing(obs.num[1]))
        ++missing;
      else
        y += obs.num[1];
      g7 += obs.str[2] == "g7";
      if (++rows == 100'000) early = resident_bytes();
    }
    EXPECT_LT(resident_bytes() - early, kSlack) << "the reader keeps rows in memory";
    EXPECT_EQ(rows, kRows);
    EXPECT_EQ(x, want_x);
    EXPECT_EQ(y, static_cast<double>(want_y8) / 8);
    EXPECT_EQ(missing, want_missing);
    EXPECT_EQ(g7, kRows / 10);
  }
}

}  // namespace
}  // namespace kav
