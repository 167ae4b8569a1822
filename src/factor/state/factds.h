// The data sets of a FACTOR step as the procedure holds them: an input data
// set with its BY groups (DATA=, TARGET=) and an output data set (OUT=,
// OUTSTAT=).  The step owns them (FACTSTEP); the record points at them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "factor/state/comstr.h"
#include "host/bygroup.h"
#include "host/dataset.h"
#include "host/library.h"

namespace kav {

struct FACTINDS {
  DataSetName name;
  std::unique_ptr<ObsReader> reader;
  std::unique_ptr<ByGroups> groups;
  int group = 0;      // number of the current BY group; 0 before the first
  bool done = false;  // every group has been visited
};

struct FACTOUTDS {
  DataSetName name;
  std::unique_ptr<ObsWriter> writer;
  // The row being assembled: its BY cells hold the values of `group`, the
  // input's BY group they were taken from (0: none taken yet).
  Observation row;
  int group = 0;
  std::int64_t written = 0;  // observations written so far
};

// Opens an input data set with the given BY variables (none: the whole data
// set is one group).  Host errors (a missing data set, a BY variable not in
// it) end the step through the host's exceptions.
FACTINDS* factopen_input(COMSTR* com, const DataSetName& name, std::vector<ByVariable> by);
// Opens an output data set; nothing is visible under its name until the
// procedure commits the writer.
FACTOUTDS* factopen_output(COMSTR* com, const DataSetName& name, DataSetHeader header);
// Writes the output data set's assembled row; a failed write is reported
// with the data set's name and cause and ends the step (1020).
void factwrite(COMSTR* com, FACTOUTDS* out);
// Makes the output data set visible under its name, notes its size in the
// log, and forgets it (*out becomes null).  A step in error in which no BY
// group retained a factor leaves an earlier data set of that name as it was.
void factcommit(COMSTR* com, FACTOUTDS** out);
// The next BY group of an input data set: its number, or 0 when none is left.
int factbynext(FACTINDS* ds);
// Closes every data set of the step; uncommitted output is discarded.
void factclose_all(COMSTR* com);

}  // namespace kav
