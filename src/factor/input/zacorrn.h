// The moment pass over raw observations: weighted means, standard
// deviations, the correlation matrix, the variance divisor and the counts of
// the current BY group, accumulated in one parallel pass.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/bygroup.h"

namespace kav {

class StepContext;

// Observation counts of one pass (the pass fills the first six).
struct NOBSTR {
  double NObsRead = 0;
  double NObsUsed = 0;
  double SumFreqsRead = 0;
  double SumFreqsUsed = 0;
  double SumWeightsRead = 0;
  double SumWeightsUsed = 0;
  double nobsWithMissing = 0;
  double nobsWithMissingAnalysisVariables = 0;
  double nobsWithMissingAnalysisVariablesOrFreqOrWeight = 0;
  double nobsWithNonMissingFreqAndWeightAndZeroFreqOrWeight = 0;
  double future1 = 0;
};

inline constexpr std::uint32_t kZacorrNoint = 1u;          // crossproducts not centred
inline constexpr std::uint32_t kZacorrNoMissingNote = 2u;  // no note on missing values

// What the caller asks of the pass.  The caller owns every pointer.  The
// data set is the current BY group of `fileid`; the variables are positions
// in its header (analysis variables first, then partial variables).
struct zacorrInfo_S {
  std::uint32_t flags = 0;
  ByGroups* fileid = nullptr;
  StepContext* host = nullptr;      // messages, memory pool, options, macro variables
  std::vector<int> vars;            // variables to accumulate (nvar of them)
  int freqvar = -1;                 // FREQ variable's position, -1 for none
  int weightvar = -1;               // WEIGHT variable's position, -1 for none
  std::string vardef = "DF      ";  // VARDEF= text, blank padded to 8
  double* sumwgtPtr = nullptr;      // out: sum of weights of the observations used
  double* vardivPtr = nullptr;      // out: variance divisor
  double* mean = nullptr;           // out: nvar weighted means
  double* std = nullptr;            // out: nvar standard deviations
  double* corr = nullptr;           // out: packed correlation triangle, nvar(nvar+1)/2
  double* work = nullptr;           // nvar scratch; on return sqrt of the centred crossproducts
  double* nobsPtr = nullptr;        // out: sum of frequencies of the observations used
  NOBSTR* nobsp = nullptr;          // out: observation counts, may be null
  std::int64_t total_hint = -1;  // observations expected in the group (progress only), -1 unknown
  void* userPtr1 = nullptr;
  void* userPtr2 = nullptr;
};

// One buffer of the pass (buffer 0 is the main record).
struct ZACORR_STR {
  int nvar = 0;
  int fqbit = 0, wtbit = 0, fqwtbit = 0;
  int intbit = 0;
  int need_to_save_first_obs = 0;  // only buffer 0 captures the shift
  // The reading puts each row of a group as it comes, and the processing
  // turns the group column by column (threads taking turns at the reading);
  // else the reading puts the values in their columns at once.
  bool rows_first = false;
  const int* xvptr = nullptr;    // header positions of the nvals values fetched
  void* xo_parms_ptr = nullptr;  // the reading state shared by all buffers
  const Observation* moredata = nullptr;
  double* corr = nullptr;
  double* mean = nullptr;
  double* std = nullptr;  // the shift vector, shared
  double* data = nullptr;
  double* freqa = nullptr;
  double* weighta = nullptr;
  double sumwgt = 0, nobs = 0;
  double nread = 0, nmiss = 0, nzero = 0;
  double SumFreqsRead = 0, SumWeightsRead = 0;
  std::int64_t vecsize = 0;
  std::int64_t nrecvec = 0;
  double nused = 0;
  int readDataRC = 0;
};

// Returns 0, or 108 when the group cannot be analysed (the messages have been
// issued).  Thread-pool failures end the step (exit code 1012).
int zacorrn(zacorrInfo_S* info);

struct GroupMoments;
// The same results from sums a database computed (the pass pushed down).
int zacorr_pushed(zacorrInfo_S* info, const GroupMoments& sums);

// The thread count: the macro variable first (floor, limited to 0..100),
// then the THREADS and CPUCOUNT system options.
int znthreads(StepContext& host, const std::string& macro_name);

// How many of `count` threads pay for a pass over nvar analysis variables
// fetched with nvals values per observation (weighted: a FREQ or WEIGHT
// variable is present; parsed: the data are text to parse, not values in
// memory).  The threads take turns at the reading, so an extra thread pays
// only while a buffer's arithmetic outweighs handing the reading over to it,
// and only as many threads as the reading can keep busy; a pass over rows
// (when known, else -1) too few to repay starting a thread keeps one.  The
// rule depends on the shape and kind of the data alone, so a pass is
// reproducible.
int zthreads_that_pay(int count, int nvar, int nvals, bool weighted, bool parsed,
                      std::int64_t rows = -1);

// Reading and processing callbacks of the pass.
void fill_buffer(void* buffer, int* status);
int process_buffer(void* buffer);
// One block of the rotation read and processed 64 rows at a time, for a
// thread that goes on alone (the same groups into the same sums, so the
// same bits as the rotation).
int fill_and_process_block(void* buffer, int* status);

// What the pass reads: nvar analysis variables fetched with nvals values
// per observation, weighted or not, parsed from text or not, and the rows
// expected (-1 unknown).
struct ZacorrShape {
  int nvar = 0;
  int nvals = 0;
  bool weighted = false;
  bool parsed = false;
  std::int64_t rows = -1;
};

// Rows of one block handed between `count` threads: a multiple of 64 large
// enough that handing it over is a small part of its work, bounded in bytes,
// and small enough that each thread gets several blocks of a data set of
// known size.  Depends on the shape alone, so a pass is reproducible.
std::int64_t zblock_rows(const ZacorrShape& shape, int count);

// How many threads and how large buffers fit in memory: `count` workers
// asked for, `available_kb` free, `allocate` returns null on failure.  On
// return `block` is the allocation (null in observation mode, vecsize 1) and
// `base`, its first cache-line boundary, starts buffer 0, followed by count
// - 1 worker blocks each on cache lines of its own.  One thread reads 64 rows
// at a time, several threads zblock_rows.
struct ZacorrLayout {
  int count = 1;
  std::int64_t vecsize = 1;
  std::uint64_t worker_bytes = 0;  // bytes of one worker block
  void* block = nullptr;
  char* base = nullptr;
};
ZacorrLayout zacsize(int count, const ZacorrShape& shape, double available_kb,
                     const std::function<void*(std::uint64_t)>& allocate);

}  // namespace kav
