// From the step's statements to a record ready for the BY groups: the
// statements parsed against the grammar, the data sets, the option fields
// and flags, the variable lists, the step's arrays, the output manager and
// the factoring extension, in the order the BY groups rely on.  The option
// handling itself is in fact1_options.cpp; this file opens what the host
// holds and loads the extension.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "factor/state/factorg.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "factor/step/fact1_options.h"
#include "factor/step/factor.h"
#include "host/host_messages.h"
#include "host/pushdown.h"
#include "host/services.h"
#include "tkxfac/tkxfac.h"

namespace kav {

namespace {

namespace F = factorg_field;

// Keeps a data set name for the step and returns it; the record's
// data-set parameter blocks point at these.
DataSetName* keep_name(COMSTR* com, const DataSetName& name) {
  com->step->names.push_back(std::make_unique<DataSetName>(name));
  return com->step->names.back().get();
}

std::vector<ByVariable> by_variables(const DataSetHeader& h, const FACT1LISTS& lists) {
  std::vector<ByVariable> by;
  for (std::size_t k = 0; k < lists.by.size(); ++k)
    by.push_back({h.vars[static_cast<std::size_t>(lists.by[k])].name,
                  k < lists.by_descending.size() && lists.by_descending[k]});
  return by;
}

// The thread count the host offers when NTHREADS= is not given.
int default_threads(COMSTR* com) {
  auto threads = com->host->xyrngef("THREADS");
  auto cpus = com->host->xyrngef("CPUCOUNT");
  if (!threads || *threads == 0 || !cpus || *cpus <= 1) return 1;
  return static_cast<int>(std::min(100.0, std::floor(*cpus)));
}

// Loads the factoring extension and creates its instance with the step's
// tolerances, seeds, aids and thread count; either failing ends the step.
void load_extension(COMSTR* com, const ParsedStep& parsed) {
  com->hndl = factor_toolkit();
  TKEXTENSION* header = nullptr;
  if (com->hndl && com->hndl->loadExtension) header = com->hndl->loadExtension(com->hndl, "tkxfac");
  if (!header) {
    com->host->xpmlog(
        kFactorGroup, kMsgNoToolkit,
        {com->hndl ? "the toolkit has no such extension" : "no toolkit is available"});
    factrc(com, kExitMemory);
    xexit(com->rc, 0);
  }
  com->tkxfacExt = tkxfac_from_header(header);

  TKXFAC_EXTPARMS ext{};
  ext.seed = com->seed;
  ext.pa_seed = com->pa_seed;
  ext.usepa = com->usepa;
  ext.pa_alpha = com->alphapa;
  ext.pa_nsims = com->nsimspa;
  ext.usemap = com->usemap == 2 ? TKXFAC_USEMAP2 : com->usemap == 4 ? TKXFAC_USEMAP4 : TKXFAC_NOMAP;
  TKXFAC_PARMS parms{};
  parms.nvar = com->nvar;
  parms.nfac = -99;
  parms.nobs = 0;
  parms.eps = com->epsilon;
  parms.sing = com->singular;
  bool usermt = false;
  int asked = fact1_threads(com, parsed, &usermt);
  parms.nThreads = usermt ? asked : default_threads(com);
  parms.usermt = usermt;
  parms.ext = &ext;
  parms.rot = nullptr;
  com->perform.cpureq = parms.nThreads;
  TKXFAC_EXTENSION* x = com->tkxfacExt;
  com->tkxfacInst = x->CreateInstance ? x->CreateInstance(x, &parms) : nullptr;
  if (!com->tkxfacInst) {
    com->host->xpmlog(kFactorGroup, kMsgNoInstance);
    factrc(com, kExitExtension);
    xexit(com->rc, 0);
  }

  std::int32_t threads = parms.nThreads;
  std::size_t bytes = sizeof threads;
  const TKXFAC_FACTORY* f = com->tkxfacInst->FactoryPtr;
  if (f && f->ValueGet &&
      f->ValueGet(com->tkxfacInst, TKXFAC_VAL_THREADS, &threads, &bytes, 0, 0) == TKXFAC_OK)
    com->perform.cpuact = threads;
  else
    com->perform.cpuact = parms.nThreads;
  fact1_thread_note(com, parsed, com->perform.cpuact);
}

// When the data are a database table and no stage needs the rows
// themselves (OUT= scores do), the database computes the moments; the BY
// groups are then walked over one row per group.
void push_down_moments(COMSTR* com, const DataSetHeader& h, const FACT1LISTS& lists) {
  auto* source = dynamic_cast<MomentSource*>(com->datafid->reader.get());
  const auto allowed = com->host->xyrngef("PUSHDOWN");
  if (!source || !fopt_test(com, kFoptRawData) || com->outffile || (allowed && *allowed == 0)) return;
  MomentRequest request;
  request.vars = com->step->varno;
  request.freq = com->step->freqno;
  request.weight = com->step->weightno;
  request.noint = com->noint != 0;
  request.by = by_variables(h, lists);
  try {
    source->push_down(request);
  } catch (const DataError& e) {
    com->host->xpmlog(kHostGroup, msg::kDataError, {e.what()});
    factrc(com, kExitUtility);
    xexit(com->rc, 0);
  }
  com->datafid->groups =
      std::make_unique<ByGroups>(*com->datafid->reader, std::move(request.by), lists.notsorted);
  com->host->xpmlog(kHostGroup, msg::kMomentsPushedDown,
                    {h.name, source->engine_name(), std::to_string(com->datafid->reader->count_hint())});
}

// The data sets: DATA= (else the last one made) and TARGET= are opened.
// OUT= and OUTSTAT= are created by the stages that write them; their names
// are kept here.
void open_data_sets(COMSTR* com, const ParsedRecord& rec) {
  DataSetName data = rec.has(F::kData) ? rec[F::kData].dataset : com->host->last_dataset();
  for (const auto& condition : rec[F::kWhere].conditions) data.where.push_back(condition);
  if (data.empty()) {
    fact_msg(com, kMsgNoInput);
    factrc(com, kExitNoInput);
    xexit(com->rc, 0);
  }
  com->datafid = factopen_input(com, data, {});
  com->datafile = com->dataxop = keep_name(com, data);
  if (rec.has(F::kOut)) com->outffile = com->outfxop = keep_name(com, rec[F::kOut].dataset);
  if (rec.has(F::kOutstat)) com->statfile = com->statxop = keep_name(com, rec[F::kOutstat].dataset);
  if (rec.has(F::kTarget)) {
    com->targfile = com->targxop = keep_name(com, rec[F::kTarget].dataset);
    com->targfid = factopen_input(com, rec[F::kTarget].dataset, {});
  }
}

// TARGET= checked against the analysis and BY variables; when it passes,
// reopened with the BY variables, so that its groups can be walked.
void check_target(COMSTR* com, const DataSetHeader& h, const FACT1LISTS& lists) {
  fact1_target(com, h, com->targfid->reader->header(), lists);
  if (com->targbyrc == 0) {
    com->step->inputs.erase(
        std::find_if(com->step->inputs.begin(), com->step->inputs.end(),
                     [&](const std::unique_ptr<FACTINDS>& p) { return p.get() == com->targfid; }));
    com->targfid = factopen_input(com, *com->targfile, by_variables(h, lists));
  }
}

}  // namespace

void fact1(COMSTR* com) {
  FACTSTEP* step = com->step;
  fact1_begin(com);
  fact1_parse(com, step->parsed);
  const ParsedStep& parsed = step->parsed;
  const ParsedRecord& rec = parsed.proc;

  open_data_sets(com, rec);
  const DataSetHeader& h = com->datafid->reader->header();

  // Flags of the data sets, the input's type, its special variables and the
  // variable lists.  In-database request records are not built: this
  // run-time reads every data set itself.
  FACT1LISTS lists;
  fact1_input(com, parsed, h, lists);
  if (!lists.by.empty() || lists.notsorted)
    com->datafid->groups =
        std::make_unique<ByGroups>(*com->datafid->reader, by_variables(h, lists), lists.notsorted);
  step->freqno = lists.freq;
  step->weightno = lists.weight;

  fact1_options(com, parsed);
  fact_checkpoint(com);

  fact1_arrays(com, parsed, h, lists);
  step->varno = lists.analysis();

  if (com->targfid) check_target(com, h, lists);

  // The OUT= checks and the input variables it copies.  The variables of
  // OUT= and OUTSTAT= themselves are defined by the routines that write
  // those data sets (factout, factstt), from these lists.
  fact1_outputs(com, h, lists);
  step->outcopy = lists.out_copy;

  // The extension, then the last check of the analysis variables.  A reader
  // that opened is readable.
  load_extension(com, parsed);
  fact1_final_check(com);
  push_down_moments(com, h, lists);
}

}  // namespace kav
