#include "factor/state/factds.h"

#include <string>

#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/host_messages.h"
#include "host/services.h"

namespace kav {

FACTINDS* factopen_input(COMSTR* com, const DataSetName& name, std::vector<ByVariable> by) {
  auto ds = std::make_unique<FACTINDS>();
  ds->name = name;
  ds->reader = com->host->open_input(name);
  ds->groups = std::make_unique<ByGroups>(*ds->reader, std::move(by));
  FACTINDS* raw = ds.get();
  com->step->inputs.push_back(std::move(ds));
  return raw;
}

void factwrite(COMSTR* com, FACTOUTDS* out) {
  try {
    out->writer->write(out->row);
  } catch (const std::exception& e) {
    // The host's report of a failed write names the data set and the cause.
    com->host->xpmlog(kHostGroup, msg::kWriteFailed, {out->writer->header().name, e.what()});
    factrc(com, kExitUtility);
    xexit(com->rc, 0);
  }
  ++out->written;
}

void factcommit(COMSTR* com, FACTOUTDS** out) {
  if (!*out || !(*out)->writer) return;
  if (com->rc > kRcWarning && com->reason <= 0) {
    // The step is in error and no group came to a factor solution: what the
    // data set holds (at most the input's moments) is not the step's result
    // and must not take the place of the data set the user already has.
    com->host->xpmlog(kHostGroup, msg::kDataSetNotReplaced, {(*out)->writer->header().name});
    (*out)->writer.reset();
    *out = nullptr;
    return;
  }
  (*out)->writer->commit();
  com->host->dataset_written(*(*out)->writer, (*out)->written);
  (*out)->writer.reset();
  *out = nullptr;
}

FACTOUTDS* factopen_output(COMSTR* com, const DataSetName& name, DataSetHeader header) {
  auto ds = std::make_unique<FACTOUTDS>();
  ds->name = name;
  ds->writer = com->host->open_output(name, std::move(header));
  FACTOUTDS* raw = ds.get();
  com->step->outputs.push_back(std::move(ds));
  return raw;
}

int factbynext(FACTINDS* ds) {
  if (!ds || ds->done) return 0;
  ds->group = ds->groups->xbynext();
  if (ds->group <= 0) {
    ds->group = 0;
    ds->done = true;
  }
  return ds->group;
}

void factclose_all(COMSTR* com) {
  if (!com->step) return;
  com->datafid = com->targfid = nullptr;
  com->outffid = com->statfid = nullptr;
  // BY walkers refer to their readers, so they go first.
  for (auto& in : com->step->inputs) {
    in->groups.reset();
    if (in->reader) com->host->log_data_notes(*in->reader);
  }
  com->step->inputs.clear();
  com->step->outputs.clear();
}

FACTSTEP::FACTSTEP() : com{}, hooks{} {}
FACTSTEP::~FACTSTEP() {
  // BY walkers hold references to their readers.
  for (auto& in : inputs)
    if (in) in->groups.reset();
}

}  // namespace kav
