// A ten-million-row data set written and read through the CSV engine: the
// sums must be exact and resident memory must not grow with the rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/csv.h"

namespace kav {
namespace {

namespace fs = std::filesystem;

std::int64_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  long size = 0, resident = 0;
  const int got = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return got == 2 ? static_cast<std::int64_t>(resident) * ::sysconf(_SC_PAGESIZE) : -1;
}

constexpr std::int64_t kRows = 10'000'000;
constexpr std::int64_t kMemorySlack = 16 << 20;

struct Sums {
  std::int64_t rows = 0;
  double x = 0, z = 0;
  std::int64_t g7 = 0;
};

TEST(CsvStream, TenMillionRowsStreamInConstantMemory) {
  std::string pattern = (fs::temp_directory_path() / "kav-csv-stream-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  const std::string path = (dir / "big.csv").string();

  DataSetHeader h;
  h.name = "BIG";
  h.vars = {{"x", "", VarKind::Numeric, 8},
            {"y", "", VarKind::Numeric, 8},
            {"z", "", VarKind::Numeric, 8},
            {"g", "", VarKind::Character, 2}};
  {
    auto writer = open_csv_writer(path, h);
    Observation obs;
    obs.resize(4);
    std::int64_t early = 0;
    for (std::int64_t i = 0; i < kRows; ++i) {
      obs.num[0] = static_cast<double>(i);
      obs.num[1] = i % 7 == 3 ? missing_value() : static_cast<double>(i % 7);
      obs.num[2] = static_cast<double>(i % 1000) / 8.0;
      obs.str[3] = {'g', static_cast<char>('0' + i % 10)};
      writer->write(obs);
      if (i == 100'000) early = resident_bytes();
    }
    EXPECT_LT(resident_bytes() - early, kMemorySlack) << "the writer keeps rows in memory";
    writer->commit();
  }
  // Independent totals: x sums 0..n-1; y sums i mod 7 except the 3s (missing
  // values add nothing, and the reader's NaN would poison the sum, so they are
  // skipped below); z sums k/8 for k = 0..999 once per thousand rows.
  const double want_x = static_cast<double>(kRows) * (kRows - 1) / 2;
  const double want_z = (kRows / 1000) * (999.0 * 1000 / 2) / 8;
  std::int64_t want_y = 0;
  for (std::int64_t i = 0; i < kRows; ++i)
    if (i % 7 != 3) want_y += i % 7;

  for (const bool with_sidecar : {true, false}) {
    SCOPED_TRACE(with_sidecar ? "kinds from the sidecar" : "kinds inferred");
    if (!with_sidecar) fs::remove(csv_sidecar_path(path));
    CsvReadOptions opts;
    auto reader = open_csv_reader(path, opts);
    EXPECT_EQ(reader->count_hint(), kRows);
    Observation obs;
    Sums s;
    std::int64_t early = 0, missing_y = 0;
    double y = 0;
    while (reader->next(obs)) {
      s.x += obs.num[0];
      if (is_missing(obs.num[1]))
        ++missing_y;
      else
        y += obs.num[1];
      s.z += obs.num[2];
      if (obs.str[3] == "g7") ++s.g7;
      if (++s.rows == 100'000) early = resident_bytes();
    }
    EXPECT_LT(resident_bytes() - early, kMemorySlack) << "the reader keeps rows in memory";
    EXPECT_EQ(s.rows, kRows);
    EXPECT_EQ(s.x, want_x);
    EXPECT_EQ(y, static_cast<double>(want_y));
    EXPECT_EQ(missing_y, (kRows + 3) / 7);
    EXPECT_EQ(s.z, want_z);
    EXPECT_EQ(s.g7, kRows / 10);
    EXPECT_EQ(reader->header().vars[3].length, 2);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kav
