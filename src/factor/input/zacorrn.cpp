// The moment pass.  Observations are shifted by the first one used before
// their crossproducts are formed, so that data with a large common offset
// (values near 1e9 that differ in their decimals) keep their precision: the
// differences are exact and the sums stay small.  Each buffer accumulates
// into its own sums and triangle; the buffers are merged in buffer order at
// the end, so no locks are taken on the sums.
#include "factor/input/zacorrn.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <optional>

#include "factor/input/zcthread.h"
#include "host/moment_messages.h"
#include "host/progress.h"
#include "host/pushdown.h"
#include "host/services.h"
#include "host/thread_messages.h"
#include "numeric/matrix.h"
#include "numeric/vector_kernels.h"

namespace kav {

namespace {

constexpr double kZeroThreshold = 1.110223024625157e-13;
constexpr int kMaxThreads = 100;
// Rows the kernels take at a time; every sum of the pass is formed over
// such a group from zero and then added to the running value, so with one
// thread the bits do not depend on how large the buffers are.
constexpr std::int64_t kFullBuffer = 64;
// A block handed from one thread to the next holds about this much work:
// a hand-over costs a cache-line transfer (under a microsecond) or, when
// the next thread has gone to sleep, a wake-up of some ten microseconds,
// and either must stay under 1% of the block.  The bytes bound keeps a
// block of narrow rows from growing past the second-level cache (and from
// costing page faults a small pass would notice).
constexpr double kBlockMicros = 1000.0;
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t{1} << 20;
constexpr std::uint64_t kAlign = 64;  // each block on its own cache lines

// Doubles by whole cache lines.
struct alignas(64) Line {
  double v[8];
};

std::uint64_t aligned(std::uint64_t bytes) {
  return (bytes + kAlign - 1) / kAlign * kAlign;
}

// The reading state all buffers share.  Only the thread whose turn it is to
// read touches it; it has cache lines of its own, so that what the others
// write meanwhile does not pull them away from it.
struct alignas(64) ZacorrReading {
  ByGroups* groups = nullptr;
  Observation obs;
  const Observation* moredata = nullptr;
  int nvals = 0;
  std::string pending_error;  // the host's text of a read error, if any
  double nread_total = 0;
  ProgressDisplay* progress = nullptr;
};

std::string num_text(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

std::string seconds_text(double micros) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.3f s", micros / 1e6);
  return buf;
}

// Moves to the next observation of the group; false (with the error kept)
// when reading failed.
bool advance(ZacorrReading* rs) {
  try {
    rs->moredata = rs->groups->next(rs->obs) ? &rs->obs : nullptr;
  } catch (const std::exception& e) {
    rs->pending_error = e.what();
    rs->moredata = nullptr;
    return false;
  }
  return true;
}

// A buffer holds its rows in groups of up to 64, each group column by
// column (value k of row i at k * g + i), so that the kernels run down
// short contiguous columns of one compact group however large the buffer.
// Threads take turns at the reading, so there the reading only puts each
// row in its group as it comes (value k of row i at i * nvals + k, one
// line after another), and the processing turns the group, after the
// reading has been handed on.
// A thread alone turns the groups too once the rows are long: putting
// each value in its column at once writes to as many lines as a row has
// values, while turning a group writes one column after another.  Turning
// made a pass on one thread 12% slower at 50 variables, and 3% and 9%
// faster at 70 and 100.
constexpr int kRowsFirstAlone = 64;
bool rows_first_alone(const ZACORR_STR* b) {
  return b->nvar + b->fqbit + b->wtbit >= kRowsFirstAlone;
}

std::int64_t group_rows(const ZACORR_STR* b) {
  return std::min(b->vecsize, kFullBuffer);
}

void prefetch_for_write(const void* at, std::size_t bytes) {
  const char* c = static_cast<const char*>(at);
  for (std::size_t o = 0; o < bytes; o += 64) __builtin_prefetch(c + o, 1);
}

void debug_line(StepContext& host, const std::string& text) {
  host.log().text(Severity::Note, text);
}

}  // namespace

int znthreads(StepContext& host, const std::string& macro_name) {
  const bool debug = host.debug_on("znthreads");
  std::optional<double> count;
  if (auto text = host.xjsymgn(macro_name)) {
    char* end = nullptr;
    const double v = std::strtod(text->c_str(), &end);
    if (end != text->c_str() && !std::isnan(v)) count = v;
  }
  if (!count) {
    const auto threads = host.xyrngef("THREADS");
    const auto cpus = host.xyrngef("CPUCOUNT");
    if (!threads || *threads == 0 || !cpus || !(*cpus > 1)) {
      if (debug) debug_line(host, "znthreads: no threads");
      return 1;
    }
    count = cpus;
  }
  double c = std::floor(*count);
  if (c > kMaxThreads) c = kMaxThreads;
  if (c < 0) c = 0;
  if (debug) debug_line(host, "znthreads: " + num_text(c) + " thread(s)");
  return static_cast<int>(c);
}

namespace {

// Costs per observation, in nanoseconds, as measured on a 2-core machine:
// reading one value (copying it from memory, or parsing its text); one
// multiply-add of the crossproducts.
double read_ns(bool parsed) {
  return parsed ? 40.0 : 1.5;
}
constexpr double kMultiplyAddNs = 0.17;

double arithmetic_ns(int nvar, bool weighted) {
  const double v = nvar;
  return (v * (v + 1) / 2 + v + (weighted ? v : 0)) * kMultiplyAddNs;
}

}  // namespace

int zthreads_that_pay(int count, int nvar, int nvals, bool weighted, bool parsed,
                      std::int64_t rows) {
  if (count < 2) return count;
  // Starting a thread and joining it costs some 100 microseconds; a pass
  // that takes not much more on one thread is left to one.
  constexpr double kSmallPassNs = 300e3;
  if (rows > 0 && rows * (arithmetic_ns(nvar, weighted) + nvals * read_ns(parsed)) < kSmallPassNs)
    return 1;
  // Handing the reading from one thread to the next, per observation: the
  // reading state moves between processors once a block, and with text
  // also the bytes the next thread parses, some 18 per value.  In memory
  // two threads gained 1.24-1.28 at 6 variables and 1.00-1.19 at 2 to 4
  // (millions of rows), so from 6 they are used.
  const double hand_over_ns = parsed ? 20.0 + 10.0 * nvals : 3.5;
  const double work = arithmetic_ns(nvar, weighted);
  if (work < 1.25 * hand_over_ns) return 1;
  const double turn = nvals * read_ns(parsed) + hand_over_ns;
  const double busy = std::ceil((turn + work) / turn);  // threads the reading keeps busy
  return busy < count ? static_cast<int>(busy) : count;
}

std::int64_t zblock_rows(const ZacorrShape& shape, int count) {
  const double row_ns =
      arithmetic_ns(shape.nvar, shape.weighted) + shape.nvals * read_ns(shape.parsed);
  std::int64_t groups = static_cast<std::int64_t>(kBlockMicros * 1000.0 / row_ns / kFullBuffer) + 1;
  const auto row_bytes = 8 * static_cast<std::uint64_t>(std::max(shape.nvals, 1));
  const auto fit = static_cast<std::int64_t>(kMaxBlockBytes / row_bytes / kFullBuffer);
  groups = std::min(groups, std::max<std::int64_t>(fit, 1));
  // Enough blocks for every thread to get a few, where the size is known.
  if (shape.rows > 0)
    groups = std::min(groups, std::max<std::int64_t>(1, (shape.rows + 4 * count * kFullBuffer - 1) /
                                                            (4 * count * kFullBuffer)));
  return groups * kFullBuffer;
}

ZacorrLayout zacsize(int count, const ZacorrShape& shape, double available_kb,
                     const std::function<void*(std::uint64_t)>& allocate) {
  ZacorrLayout out;
  if (count <= 0) {  // observation mode asked for
    out.count = 1;
    out.vecsize = 1;
    return out;
  }
  const int nvar = shape.nvar, nvals = shape.nvals;
  const std::int64_t rows = count > 1 ? zblock_rows(shape, count) : kFullBuffer;
  const auto uvar = static_cast<std::uint64_t>(nvar);
  const std::uint64_t npacked = uvar * (uvar + 1) / 2;
  const std::uint64_t buffer =
      aligned(8 * static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(nvals));
  const std::uint64_t worker =
      aligned(sizeof(ZACORR_STR)) + buffer + aligned(8 * uvar) + aligned(8 * npacked);
  if (count > 1) {
    const double fit = std::floor((available_kb * 1000.0 - static_cast<double>(buffer)) /
                                  static_cast<double>(worker));
    if (fit < count) count = fit < 0 ? 0 : static_cast<int>(fit);
    while (count > 1) {
      // One line more than the blocks need, to start them on a line boundary:
      // a line shared by two threads' blocks would go back and forth between
      // their processors.
      void* block = allocate(kAlign + buffer + static_cast<std::uint64_t>(count - 1) * worker);
      if (block) {
        out.count = count;
        out.vecsize = rows;
        out.worker_bytes = worker;
        out.block = block;
        out.base = static_cast<char*>(block) +
                   (kAlign - reinterpret_cast<std::uintptr_t>(block) % kAlign) % kAlign;
        return out;
      }
      --count;
    }
  }
  // One buffer on the calling thread, as large as memory allows.
  out.count = 1;
  for (std::int64_t v = kFullBuffer; v > 1; v /= 2) {
    void* block = allocate(static_cast<std::uint64_t>(8 * v * nvals));
    if (block) {
      out.vecsize = v;
      out.block = block;
      out.base = static_cast<char*>(block);
      return out;
    }
  }
  out.vecsize = 1;
  return out;
}

void fill_buffer(void* buffer, int* status) {
  auto* b = static_cast<ZACORR_STR*>(buffer);
  auto* rs = static_cast<ZacorrReading*>(b->xo_parms_ptr);
  const std::int64_t vs = b->vecsize;
  const std::int64_t g = group_rows(b);
  const int nvar = b->nvar;
  const std::int64_t step = b->rows_first ? 1 : g, row_step = b->rows_first ? rs->nvals : 1;
  // With several threads the reading state was last written by another
  // processor.  Asking for all of its lines at once costs one transfer's
  // wait instead of one per line met along the way.
  prefetch_for_write(rs, sizeof *rs);
  prefetch_for_write(rs->groups, sizeof(ByGroups));
  if (rs->moredata) prefetch_for_write(rs->moredata->num.data(), rs->moredata->num.size() * 8);
  b->nrecvec = 0;
  *status = 0;
  while (b->nrecvec < vs) {
    if (!rs->moredata) {
      *status = -1;
      break;
    }
    // Value k of the observation at x[k * step] in its group of rows.
    double* x = b->data + b->nrecvec / g * g * rs->nvals + b->nrecvec % g * row_step;
    const double* num = rs->moredata->num.data();
    for (int k = 0; k < rs->nvals; ++k) x[k * step] = num[b->xvptr[k]];
    b->nread += 1;
    rs->nread_total += 1;

    bool use = true;
    double f = 1.0;
    if (b->fqbit) {
      f = x[nvar * step];
      if (is_missing(f)) {
        use = false;
      } else {
        f = std::floor(f);  // a frequency counts whole observations only
        x[nvar * step] = f;
        if (f <= 0)
          use = false;
        else
          b->SumFreqsRead += f;
      }
      if (!use) b->nzero += 1;
    }
    if (use && b->wtbit) {
      const double w = x[(nvar + b->fqbit) * step];
      if (is_missing(w) || w <= 0) {
        b->nzero += 1;
        use = false;
      } else {
        b->SumWeightsRead += w * f;
      }
    }
    if (use) {
      for (int j = 0; j < nvar; ++j)
        if (is_missing(x[j * step])) {
          b->nmiss += 1;
          use = false;
          break;
        }
    }
    if (use) {
      if (b->need_to_save_first_obs) {
        for (int j = 0; j < nvar; ++j) b->std[j] = x[j * step];
        b->need_to_save_first_obs = 0;
      }
      b->nrecvec += 1;
      b->nused += 1;
    }
    if (!advance(rs)) {
      b->readDataRC = 54;
      *status = 1;
      break;
    }
    b->moredata = rs->moredata;
  }
  if (rs->progress) rs->progress->update(rs->nread_total);
}

namespace {

// The rows of a group as read, while the group is turned column by column;
// one per thread, given back when the pass ends.
thread_local std::vector<double> turning;

// The n rows of a group that starts at `data`, g rows long.
void process_rows(ZACORR_STR* b, double* data, std::int64_t g, std::int64_t n) {
  double* freq = data + b->nvar * g;
  double* weight = freq + (b->fqbit ? g : 0);
  const double* w = nullptr;
  if (b->fqbit) {
    b->nobs += zvsum(freq, n);
    if (b->wtbit) {
      zvme111(freq, freq, weight, n);
      b->sumwgt += zvsum(freq, n);
    } else {
      b->sumwgt = b->nobs;
    }
    w = freq;
  } else if (b->wtbit) {
    b->nobs += static_cast<double>(n);
    b->sumwgt += zvsum(weight, n);
    w = weight;
  } else {
    b->nobs += static_cast<double>(n);
    b->sumwgt = b->nobs;
  }
  if (b->intbit) zvsubt(data, b->nvar, n, g, b->std);
  if (w)
    zvscpwm(data, b->nvar, n, g, w, b->mean, b->corr);
  else
    zvscpm(data, b->nvar, n, g, b->mean, b->corr);
}

}  // namespace

int process_buffer(void* buffer) {
  auto* b = static_cast<ZACORR_STR*>(buffer);
  const std::int64_t g = group_rows(b);
  const std::int64_t nvals = b->nvar + b->fqbit + b->wtbit;
  for (std::int64_t at = 0; at < b->nrecvec; at += g) {
    double* group = b->data + at * nvals;
    const std::int64_t n = std::min(g, b->nrecvec - at);
    if (b->rows_first && g > 1) {
      turning.assign(group, group + n * nvals);
      const double* r = turning.data();
      for (std::int64_t k = 0; k < nvals; ++k)
        for (std::int64_t i = 0; i < n; ++i) group[k * g + i] = r[i * nvals + k];
    }
    process_rows(b, group, g, n);
  }
  return 0;
}

int fill_and_process_block(void* buffer, int* status) {
  auto* b = static_cast<ZACORR_STR*>(buffer);
  const std::int64_t block = b->vecsize;
  std::int64_t used = 0;
  *status = 0;
  // As many groups as the block holds, each read and then processed at
  // once while it is in the nearest cache; a read error leaves the group
  // being read unprocessed, as it would a whole block.
  b->vecsize = kFullBuffer;
  b->rows_first = rows_first_alone(b);
  while (used < block && *status == 0) {
    fill_buffer(b, status);
    if (*status != 0 && *status != -1) break;
    used += b->nrecvec;
    process_buffer(b);
  }
  b->vecsize = block;
  return 0;
}

namespace {

// One accepted observation alone (observation mode): the slot holds it, with
// the frequency and weight after it.
void process_observation(ZACORR_STR* b, double* diff) {
  if (b->nrecvec == 0) return;
  const int nvar = b->nvar;
  const double f = b->fqbit ? b->freqa[0] : 1.0;
  const double c = b->wtbit ? b->weighta[0] * f : f;
  for (int j = 0; j < nvar; ++j) diff[j] = b->intbit ? b->data[j] - b->std[j] : b->data[j];
  zscp(c, diff, nvar, b->corr);
  zvxay11(c, b->mean, diff, nvar);
  b->nobs += f;
  b->sumwgt += c;
}

void merge(ZACORR_STR* into, const ZACORR_STR* from, long npacked) {
  zvxy111(into->corr, into->corr, from->corr, npacked);
  zvxy111(into->mean, into->mean, from->mean, into->nvar);
  into->nread += from->nread;
  into->nused += from->nused;
  into->nmiss += from->nmiss;
  into->nzero += from->nzero;
  into->nobs += from->nobs;
  into->sumwgt += from->sumwgt;
  into->SumFreqsRead += from->SumFreqsRead;
  into->SumWeightsRead += from->SumWeightsRead;
}

// The variables without a single value in the group, as a list of names
// ("" when every variable has one).  Reading the group again costs only a
// group that has no usable observation at all.
std::string variables_all_missing(ByGroups& groups, const std::vector<int>& vars) {
  std::vector<char> seen(vars.size(), 0);
  groups.xbyrwnd();
  Observation obs;
  while (groups.next(obs))
    for (std::size_t j = 0; j < vars.size(); ++j)
      if (!is_missing(obs.num[static_cast<std::size_t>(vars[j])])) seen[j] = 1;
  std::string names;
  for (std::size_t j = 0; j < vars.size(); ++j)
    if (!seen[j])
      names += (names.empty() ? "" : ", ") +
               groups.header().vars[static_cast<std::size_t>(vars[j])].name;
  return names;
}

// Double precision can fail the sums in two ways, each found once per
// variable after the pass so that the pass itself pays nothing.  Values far
// apart (differences near 1e154 or more) give squares beyond the largest
// double: the sums and crossproducts, and so the means or the centred
// matrix, are infinite or not a number.  Values whose differences are below
// about 1e-154 give squares that vanish below the smallest normal double:
// the sum of the shifted values is not zero, so the variable is not
// constant, yet the sum of their squares is zero or has lost its digits.
// Both return the first such variable, or -1.
int overflowed_variable(int nvar, const double* C, const double* mean) {
  for (int j = 0; j < nvar; ++j) {
    if (!std::isfinite(mean[j])) return j;
    for (int k = 0; k <= j; ++k)
      if (!std::isfinite(C[packed_index(j, k)])) return j;
  }
  return -1;
}

int underflowed_variable(int nvar, const double* C, const double* sums) {
  for (int j = 0; j < nvar; ++j)
    if (sums[j] != 0 && std::fabs(C[packed_index(j, j)]) < std::numeric_limits<double>::min())
      return j;
  return -1;
}

// Releases the pass's block however the pass ends.
struct BlockGuard {
  StepPool& pool;
  void* block;
  ~BlockGuard() {
    if (block) pool.release(block);
  }
};

// From the sums of a pass to the group's means, standard deviations,
// correlations and counts, with the messages of a group that cannot be
// analysed.  `sign` is +1 when the sums are of x - shift (observation mode),
// -1 when of shift - x (the buffers).
int finish_pass(zacorrInfo_S* info, ZACORR_STR& main, double sign,
                const std::function<std::string()>& all_missing) {
  StepContext& host = *info->host;
  const DataSetHeader& header = info->fileid->header();
  const std::string& dsname = header.name;
  const int nvar = static_cast<int>(info->vars.size());
  const int fqbit = main.fqbit, wtbit = main.wtbit;
  // Counts.
  if (info->nobsp) {
    NOBSTR& c = *info->nobsp;
    c.NObsRead = main.nread;
    c.NObsUsed = main.nused;
    c.SumFreqsRead = fqbit ? main.SumFreqsRead : main.nread;
    c.SumFreqsUsed = main.nobs;
    c.SumWeightsRead = wtbit ? main.SumWeightsRead : c.SumFreqsRead;
    c.SumWeightsUsed = main.sumwgt;
  }
  if (info->nobsPtr) *info->nobsPtr = main.nobs;
  if (info->sumwgtPtr) *info->sumwgtPtr = main.sumwgt;
  if (info->vardivPtr) *info->vardivPtr = 0;

  if (main.nmiss > 0 && !(info->flags & kZacorrNoMissingNote))
    host.xpmlog(kReadGroup, kMsgReadMissingValues,
                {num_text(main.nmiss), num_text(main.nread), dsname});
  if (main.nzero > 0)
    host.xpmlog(kReadGroup, kMsgReadBadFreqWeight,
                {num_text(main.nzero), num_text(main.nread), dsname});
  if (main.nread <= 0) {
    host.xpmlog(kReadGroup, kMsgReadNoObs);
    return 108;
  }
  if (main.sumwgt <= 0) {
    // Without weights nothing but missing values can have left every
    // observation out; say which.
    if (wtbit || main.nzero > 0 || main.readDataRC) {
      host.xpmlog(kReadGroup, kMsgReadWeightSum);
    } else if (const std::string empty = all_missing(); !empty.empty()) {
      host.xpmlog(kReadGroup, kMsgReadVariableAllMissing, {dsname, empty});
    } else {
      host.xpmlog(kReadGroup, kMsgReadAllObsMissing, {dsname, num_text(main.nread)});
    }
    return 108;
  }
  const double df = main.intbit ? 1.0 : 0.0;
  if (main.nobs == df) {
    host.xpmlog(kReadGroup, kMsgReadTooFewObs, {num_text(df + 1)});
    return 108;
  }
  const double d = zvardiv(info->vardef, main.nobs, df, main.sumwgt,
                           [&host](const char* text) { host.log().text(Severity::Error, text); });
  if (info->vardivPtr) *info->vardivPtr = d;
  if (d <= 0) {
    host.xpmlog(kReadGroup, kMsgReadVardef);
    return 108;
  }

  double* C = info->corr;
  const double* S = info->mean;
  const double W = main.sumwgt;
  auto name = [&](int j) { return header.vars[static_cast<std::size_t>(info->vars[j])].name; };
  if (const int j = underflowed_variable(nvar, C, S); j >= 0) {
    host.xpmlog(kReadGroup, kMsgReadSscpUnderflow, {name(j)});
    xexit(1012);
  }
  if (main.intbit) {
    for (int j = 0; j < nvar; ++j)
      for (int k = 0; k <= j; ++k) C[packed_index(j, k)] -= S[j] * S[k] / W;
    for (int j = 0; j < nvar; ++j) {
      const double cjj = C[packed_index(j, j)];
      info->mean[j] = info->std[j] + sign * S[j] / W;
      info->std[j] = cjj > 0 ? std::sqrt(cjj / d) : 0.0;
    }
  } else {
    for (int j = 0; j < nvar; ++j) {
      const double cjj = C[packed_index(j, j)];
      info->std[j] = cjj > 0 ? std::sqrt(cjj / d) : 0.0;
      info->mean[j] = S[j] / W;
    }
  }
  if (const int j = overflowed_variable(nvar, C, info->mean); j >= 0) {
    host.xpmlog(kReadGroup, kMsgReadSscpOverflow, {name(j)});
    xexit(1012);
  }
  for (int j = 0; j < nvar; ++j) {
    double& m = info->mean[j];
    double& s = info->std[j];
    if (s < std::fabs(m) * kZeroThreshold) {  // constant up to rounding
      s = 0;
      C[packed_index(j, j)] = 0;
    } else if (std::fabs(m) < s * kZeroThreshold) {
      m = 0;
    }
  }
  zcovcor(nvar, C, info->work);
  return 0;
}

}  // namespace

int zacorrn(zacorrInfo_S* info) {
  StepContext& host = *info->host;
  ByGroups& groups = *info->fileid;
  const DataSetHeader& header = groups.header();
  const std::string& dsname = header.name;
  const bool debug = host.debug_on("zacorr");
  const int nvar = static_cast<int>(info->vars.size());
  const long npacked = static_cast<long>(nvar) * (nvar + 1) / 2;

  if (header.find("_TYPE_") >= 0 && header.find("_NAME_") >= 0)
    host.xpmlog(kReadGroup, kMsgReadSpecialAsRaw, {dsname});

  std::vector<int> positions(info->vars);
  const int fqbit = info->freqvar >= 0, wtbit = info->weightvar >= 0;
  if (fqbit) positions.push_back(info->freqvar);
  if (wtbit) positions.push_back(info->weightvar);
  const int nvals = static_cast<int>(positions.size());

  int count = znthreads(host, "zacorr_threads");
  const bool parsed = groups.read_cost() == ObsReader::ReadCost::Parse;
  if (const int pays =
          zthreads_that_pay(count, nvar, nvals, fqbit || wtbit, parsed, info->total_hint);
      pays < count) {
    if (debug)
      debug_line(host, "zacorr: " + std::to_string(pays) + " of " + std::to_string(count) +
                           " thread(s) used; " + std::to_string(nvar) + " variable(s)" +
                           (parsed ? " read from text" : "") + " are too few for more to pay");
    count = pays;
  }
  StepPool& pool = host.pool();
  const ZacorrShape shape{nvar, nvals, fqbit || wtbit, parsed, info->total_hint};
  const ZacorrLayout layout = zacsize(
      count, shape, wmrlmem(), [&pool](std::uint64_t bytes) { return pool.allocate(bytes); });
  BlockGuard guard{pool, layout.block};
  count = layout.count;
  const std::int64_t vecsize = layout.vecsize;
  if (debug)
    debug_line(host, "zacorr: " + std::to_string(count) +
                         " thread(s), vecsize=" + std::to_string(vecsize));

  ZacorrReading reading;
  reading.groups = &groups;
  reading.nvals = nvals;
  alignas(64) ProgressDisplay progress(&std::cerr, stderr_is_terminal(), info->total_hint);
  reading.progress = &progress;

  std::vector<double> one_slot;  // observation mode keeps its single slot here
  double* data0;
  if (layout.block) {
    data0 = reinterpret_cast<double*>(layout.base);
  } else {
    one_slot.assign(static_cast<std::size_t>(nvals), 0.0);
    data0 = one_slot.data();
  }

  // Buffer 0's record and the shift vector on lines of their own: thread 0
  // writes its record all the time, and every thread reads the shift.
  alignas(64) ZACORR_STR main;
  std::vector<Line> shift_lines((static_cast<std::size_t>(nvar) + 7) / 8);
  double* shift = shift_lines.empty() ? info->std : shift_lines.front().v;
  main.nvar = nvar;
  main.fqbit = fqbit;
  main.wtbit = wtbit;
  main.fqwtbit = fqbit || wtbit;
  main.intbit = (info->flags & kZacorrNoint) ? 0 : 1;
  main.need_to_save_first_obs = main.intbit;
  main.xvptr = positions.data();
  main.xo_parms_ptr = &reading;
  main.corr = info->corr;
  main.mean = info->mean;
  main.std = shift;
  main.data = data0;
  main.vecsize = vecsize;
  main.freqa = data0 + nvar * group_rows(&main);  // the first group's
  main.weighta = main.freqa + (fqbit ? group_rows(&main) : 0);
  main.vecsize = vecsize;
  std::fill(info->corr, info->corr + npacked, 0.0);
  std::fill(info->mean, info->mean + nvar, 0.0);
  std::fill(info->std, info->std + nvar, 0.0);
  std::fill(shift, shift + nvar, 0.0);

  // The first observation of the group, so that every fill starts at one.
  bool read_failed = !advance(&reading);
  if (read_failed) main.readDataRC = 54;
  main.moredata = reading.moredata;

  double read_us = 0, process_us = 0;
  if (read_failed) {
    // nothing read; the error is reported below
  } else if (vecsize == 1) {
    std::vector<double> diff(static_cast<std::size_t>(nvar));
    int status = 0;
    while (status == 0) {
      fill_buffer(&main, &status);
      process_observation(&main, diff.data());
    }
  } else if (count < 2) {
    main.rows_first = rows_first_alone(&main);
    int status = 0;
    while (status == 0) {
      const auto t0 = std::chrono::steady_clock::now();
      fill_buffer(&main, &status);
      const auto t1 = std::chrono::steady_clock::now();
      process_buffer(&main);  // a partly filled buffer is processed too
      read_us += std::chrono::duration<double, std::micro>(t1 - t0).count();
      process_us +=
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t1).count();
    }
  } else {
    std::vector<ZACORR_STR*> records(static_cast<std::size_t>(count));
    main.rows_first = true;
    records[0] = &main;
    char* next = layout.base + aligned(8 * static_cast<std::uint64_t>(vecsize * nvals));
    const auto uvar = static_cast<std::uint64_t>(nvar);
    for (int t = 1; t < count; ++t) {
      auto* r = new (next) ZACORR_STR(main);
      r->need_to_save_first_obs = 0;
      char* p = next + aligned(sizeof(ZACORR_STR));
      r->data = reinterpret_cast<double*>(p);
      p += aligned(8 * static_cast<std::uint64_t>(vecsize * nvals));
      r->mean = reinterpret_cast<double*>(p);
      p += aligned(8 * uvar);
      r->corr = reinterpret_cast<double*>(p);
      r->freqa = r->data + nvar * group_rows(r);
      r->weighta = r->freqa + (fqbit ? group_rows(r) : 0);
      records[static_cast<std::size_t>(t)] = r;
      next += layout.worker_bytes;
    }
    std::vector<void*> buffers(records.begin(), records.end());
    ZCT_PARMS parms;
    parms.nThreads = count;
    parms.buffers = buffers.data();
    parms.ReadBufferFunction = fill_buffer;
    parms.ProcessBufferFunction = process_buffer;
    parms.AloneBlockFunction = fill_and_process_block;
    const int rc = zcthread(&parms);
    read_us = parms.read_uSec;
    process_us = parms.process_uSec;
    if (debug && parms.threads_at_end < count)
      debug_line(host,
                 "zacorr: the threads got less done than one would; one thread finished the pass");
    if (rc != 0 && !main.readDataRC) {
      progress.finish();
      if (!reading.pending_error.empty()) host.log().text(Severity::Error, reading.pending_error);
      if (rc >= kMsgThreadFirst) host.xpmlog(kThreadGroup, rc);
      xexit(1012);
    }
    // Buffer 0's last fill was cut short by a read error and never handed
    // over; what it holds is still counted.
    if (main.readDataRC) process_buffer(&main);
    for (int t = 1; t < count; ++t) merge(&main, records[static_cast<std::size_t>(t)], npacked);
  }
  progress.finish();
  std::vector<double>().swap(turning);
  std::copy(shift, shift + nvar, info->std);
  // Values the reader could not read are missing now; say so before the
  // counts of observations they left out.
  host.log_data_notes(groups.reader());

  if (main.readDataRC) {
    if (!reading.pending_error.empty())
      host.log().text(Severity::Error, reading.pending_error);
    else
      host.log().text(Severity::Error, "Unknown error reading data set " + dsname + ".");
  }
  if (debug)
    debug_line(host, "zacorr: " + num_text(main.nread) + " observation(s) read, " +
                         num_text(main.nused) + " used; reading " + seconds_text(read_us) +
                         ", processing " + seconds_text(process_us) + " (all threads)");

  return finish_pass(info, main, vecsize == 1 ? 1.0 : -1.0,
                     [&] { return variables_all_missing(groups, info->vars); });
}

int zacorr_pushed(zacorrInfo_S* info, const GroupMoments& g) {
  // Values the database could not give as numbers are told group by group,
  // as the rows read one by one tell them.
  if (info->host && info->fileid) info->host->log_data_notes(info->fileid->reader());
  const int nvar = static_cast<int>(info->vars.size());
  const std::size_t npacked = static_cast<std::size_t>(nvar) * (nvar + 1) / 2;
  ZACORR_STR main;
  main.nvar = nvar;
  main.fqbit = info->freqvar >= 0;
  main.wtbit = info->weightvar >= 0;
  main.intbit = (info->flags & kZacorrNoint) ? 0 : 1;
  main.corr = info->corr;
  main.mean = info->mean;
  main.nread = g.nread;
  main.nused = g.nused;
  main.nmiss = g.nmiss;
  main.nzero = g.nzero;
  main.nobs = g.nobs;
  main.sumwgt = g.sumwgt;
  main.SumFreqsRead = g.sum_freqs_read;
  main.SumWeightsRead = g.sum_weights_read;
  for (std::size_t k = 0; k < npacked; ++k) info->corr[k] = k < g.cross.size() ? g.cross[k] : 0.0;
  for (int j = 0; j < nvar; ++j) {
    const double s =
        static_cast<std::size_t>(j) < g.sums.size() ? g.sums[static_cast<std::size_t>(j)] : 0.0;
    if (main.intbit) {
      // Centred about the means already: the means take the place of the
      // shift and the sums about them are zero.
      info->std[j] = g.sumwgt > 0 ? s / g.sumwgt : 0.0;
      info->mean[j] = 0;
    } else {
      info->std[j] = 0;
      info->mean[j] = s;
    }
  }
  return finish_pass(info, main, 1.0, [&] {
    std::string names;
    const DataSetHeader& header = info->fileid->header();
    for (int j = 0; j < nvar; ++j)
      if (static_cast<std::size_t>(j) < g.nonmissing.size() &&
          g.nonmissing[static_cast<std::size_t>(j)] == 0)
        names +=
            (names.empty() ? "" : ", ") +
            header.vars[static_cast<std::size_t>(info->vars[static_cast<std::size_t>(j)])].name;
    return names;
  });
}

}  // namespace kav
