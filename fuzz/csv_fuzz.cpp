// The CSV storage engine's reader: the input is a CSV file, and whatever
// follows a line "#json" is its sidecar.  The data set is read to the end,
// then from a noted position again; the record reader also splits the file
// with another delimiter and blank lines kept.  A DataError is the reader's
// way of refusing a file; any other exception escaping is a fault.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "host/csv.h"
#include "host/dataset.h"
#include "sandbox.h"

namespace {

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = kavfuzz::sandbox();
  kavfuzz::clear_sandbox();
  std::string csv(reinterpret_cast<const char*>(data), size);
  const std::string path = dir + "/d.csv";
  const std::size_t mark = csv.find("\n#json\n");
  if (mark != std::string::npos) {
    write(path + ".json", csv.substr(mark + 7));
    csv.resize(mark + 1);
  }
  write(path, csv);

  kav::CsvReadOptions opts;
  opts.name = "WORK.D";
  const kav::ValidVarName rules[] = {kav::ValidVarName::V7, kav::ValidVarName::V6,
                                     kav::ValidVarName::Any};
  opts.validvarname = rules[size % 3];
  try {
    auto reader = kav::open_csv_reader(path, opts);
    kav::Observation obs;
    obs.resize(reader->header().vars.size());
    (void)reader->count_hint();
    kav::ObsPosition second{};
    std::int64_t n = 0;
    while (reader->next(obs))
      if (++n == 1) second = reader->note();
    (void)reader->take_notes();
    if (n > 1) {
      reader->point(second);
      while (reader->next(obs)) {
      }
    }
  } catch (const kav::DataError&) {
  }
  try {
    kav::CsvRecordOptions ro;
    ro.delimiter = ';';
    ro.skip_blank_lines = false;
    kav::CsvRecordReader records(path, ro);
    while (records.next())
      for (std::size_t i = 0; i < records.size(); ++i) (void)records[i];
  } catch (const kav::DataError&) {
  }
  return 0;
}
