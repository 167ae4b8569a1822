// Data sets as the run-time sees them: a header (name, label, type, ordered
// variables) and a stream of observations.  Storage engines (memory, CSV)
// implement the reader and writer interfaces below.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/value.h"

namespace kav {

enum class VarKind { Numeric, Character };

struct Variable {
  std::string name;
  std::string label;
  VarKind kind = VarKind::Numeric;
  int length = 8;  // bytes: 8 for numeric, the declared width for character
  bool is_numeric() const { return kind == VarKind::Numeric; }
};

struct DataSetHeader {
  std::string name;   // display name, e.g. "WORK.SCORES"
  std::string label;  // data set label, may be empty
  std::string type;   // data set type, e.g. "CORR", "FACTOR"; upper case, at most 8 characters
  std::vector<Variable> vars;

  // Index of the variable with this name (case-insensitive), or -1.
  int find(const std::string& var_name) const;
};

// One observation.  Cell i belongs to variable i of the header: numeric
// variables use num[i], character variables use str[i] (the other slot of a
// cell is unused).
struct Observation {
  std::vector<double> num;
  std::vector<std::string> str;
  void resize(std::size_t nvars) {
    num.assign(nvars, missing_value());
    str.assign(nvars, std::string());
  }
};

// Where an observation lies in its data set, so a reader can come back to it.
struct ObsPosition {
  std::int64_t offset = 0;  // engine-specific: byte offset or row index
  std::int64_t number = 0;  // 1-based number of the observation at this position
};

// An error in the contents of a data set (or its file), with enough context
// for the user to find it.  `where` is e.g. "line 12" or "observation 4".
class DataError : public std::runtime_error {
 public:
  DataError(const std::string& dataset, const std::string& where, const std::string& what)
      : std::runtime_error(format(dataset, where, what)), dataset_(dataset), where_(where) {}
  const std::string& dataset() const { return dataset_; }
  const std::string& where() const { return where_; }

 private:
  static std::string format(const std::string& d, const std::string& w, const std::string& m) {
    std::string s = d;
    if (!w.empty()) s += ", " + w;
    return s.empty() ? m : s + ": " + m;
  }
  std::string dataset_, where_;
};

// Sequential reader.  next() fills `obs` (sized to the header) and returns
// false at the end.  note() gives the position of the observation that the
// next call of next() would return; point() makes next() return it again.
class ObsReader {
 public:
  virtual ~ObsReader() = default;
  virtual const DataSetHeader& header() const = 0;
  virtual bool next(Observation& obs) = 0;
  virtual ObsPosition note() const = 0;
  virtual void point(const ObsPosition& pos) = 0;
  // Number of observations when known without reading them all, else -1.
  virtual std::int64_t count_hint() const { return -1; }
  // What reading an observation mostly costs, for callers deciding how to
  // share a pass between threads: copying values held in memory, or parsing
  // text (whose bytes then also move between processors when threads take
  // turns at the reading).
  enum class ReadCost { Copy, Parse };
  virtual ReadCost read_cost() const { return ReadCost::Copy; }
  // Notes produced while reading (renamed columns, unreadable numbers...),
  // collected for the log.
  virtual std::vector<std::string> take_notes() { return {}; }
};

// Sequential writer.  Nothing becomes visible under the data set's name
// until commit(); a writer destroyed without commit() leaves any earlier data
// set of that name as it was.
class ObsWriter {
 public:
  virtual ~ObsWriter() = default;
  // The header observations are written with.
  virtual const DataSetHeader& header() const = 0;
  // The header of the data set as stored, which KEEP=, DROP= and RENAME=
  // data set options may make differ from header().
  virtual const DataSetHeader& stored_header() const { return header(); }
  // Observations written that a WHERE= data set option kept out.
  virtual std::int64_t left_out() const { return 0; }
  virtual void write(const Observation& obs) = 0;
  virtual void commit() = 0;
  // After commit(): true when the data set is not in place yet (a database
  // table that goes in with the step's transaction) and the writer keeps
  // the "data set written" note with `args` until it is.
  virtual bool hold_written_note(std::vector<std::string> /*args*/) { return false; }
};

// A complete data set held in memory.
struct MemoryDataSet {
  DataSetHeader header;
  std::vector<Observation> rows;
};

std::unique_ptr<ObsReader> open_memory_reader(std::shared_ptr<const MemoryDataSet> data);
// The writer replaces *target on commit.
std::unique_ptr<ObsWriter> open_memory_writer(std::shared_ptr<MemoryDataSet> target,
                                              DataSetHeader header);

// Reads every observation of a reader into memory.
MemoryDataSet read_all(ObsReader& reader);

// Case-insensitive comparison of names.
bool same_name(std::string_view a, std::string_view b);
std::string upper(std::string s);

}  // namespace kav
