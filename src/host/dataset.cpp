#include "host/dataset.h"

#include <algorithm>
#include <cctype>

namespace kav {

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int DataSetHeader::find(const std::string& var_name) const {
  for (std::size_t i = 0; i < vars.size(); ++i)
    if (same_name(vars[i].name, var_name)) return static_cast<int>(i);
  return -1;
}

namespace {

class MemoryReader : public ObsReader {
 public:
  explicit MemoryReader(std::shared_ptr<const MemoryDataSet> d) : data_(std::move(d)) {}
  const DataSetHeader& header() const override { return data_->header; }
  bool next(Observation& obs) override {
    if (row_ >= data_->rows.size()) return false;
    const Observation& row = data_->rows[row_++];
    const std::size_t n = data_->header.vars.size();
    // Into the caller's vectors as they are: a pass over many rows neither
    // frees nor makes a string per value.
    obs.num.assign(row.num.begin(), row.num.end());
    obs.num.resize(n, missing_value());
    obs.str.resize(n);
    for (std::size_t v = 0; v < n; ++v) {
      if (v < row.str.size())
        obs.str[v] = row.str[v];
      else
        obs.str[v].clear();
    }
    return true;
  }
  ObsPosition note() const override {
    return {static_cast<std::int64_t>(row_), static_cast<std::int64_t>(row_) + 1};
  }
  void point(const ObsPosition& pos) override {
    row_ = static_cast<std::size_t>(std::clamp<std::int64_t>(
        pos.offset, 0, static_cast<std::int64_t>(data_->rows.size())));
  }
  std::int64_t count_hint() const override { return static_cast<std::int64_t>(data_->rows.size()); }

 private:
  std::shared_ptr<const MemoryDataSet> data_;
  std::size_t row_ = 0;
};

class MemoryWriter : public ObsWriter {
 public:
  MemoryWriter(std::shared_ptr<MemoryDataSet> target, DataSetHeader h)
      : target_(std::move(target)) {
    pending_.header = std::move(h);
  }
  const DataSetHeader& header() const override { return pending_.header; }
  void write(const Observation& obs) override { pending_.rows.push_back(obs); }
  // The header stays, so that the step can still say what it wrote.
  void commit() override {
    target_->header = pending_.header;
    target_->rows = std::move(pending_.rows);
  }

 private:
  std::shared_ptr<MemoryDataSet> target_;
  MemoryDataSet pending_;
};

}  // namespace

std::unique_ptr<ObsReader> open_memory_reader(std::shared_ptr<const MemoryDataSet> data) {
  return std::make_unique<MemoryReader>(std::move(data));
}

std::unique_ptr<ObsWriter> open_memory_writer(std::shared_ptr<MemoryDataSet> target,
                                              DataSetHeader header) {
  return std::make_unique<MemoryWriter>(std::move(target), std::move(header));
}

MemoryDataSet read_all(ObsReader& reader) {
  MemoryDataSet out;
  out.header = reader.header();
  Observation obs;
  while (reader.next(obs)) out.rows.push_back(obs);
  return out;
}

}  // namespace kav
