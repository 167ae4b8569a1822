// Reading a matrix from a special data set.  Rows are matched to analysis
// variables by _NAME_ (or taken in order), the two halves of the matrix are
// checked against each other, and the input is brought to the correlation
// matrix of the wanted centring through crossproducts: a correlation or
// covariance matrix is scaled back by the divisor that made it, uncorrected
// crossproducts are centred, and the result is divided by this analysis's
// divisor.
#include "factor/input/zrcorr.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "host/moment_messages.h"
#include "host/services.h"
#include "numeric/matrix.h"
#include "numeric/vector_kernels.h"

namespace kav {

namespace {

constexpr double kZeroThreshold = 1.110223024625157e-13;
constexpr double kCancellation = 1.110223024625157e-12;
constexpr double kDiagLow = 0.999999999999889, kDiagHigh = 1.000000000000111;
constexpr double kDefaultNobs = 10000;
constexpr const char* kTypeNames[] = {"CORR", "COV", "UCORR", "UCOV", "SSCP"};

bool is_corr(MatrixType t) {
  return t == MatrixType::Corr || t == MatrixType::Ucorr;
}
bool is_uncorrected(MatrixType t) {
  return t == MatrixType::Ucorr || t == MatrixType::Ucov || t == MatrixType::Sscp;
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string num_text(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

// Scratch arrays of one call, from the step's pool.
template <class T>
struct PoolArray {
  StepPool& pool;
  T* p;
  PoolArray(StepPool& pl, std::size_t n) : pool(pl), p(pl.allocate_array<T>(n ? n : 1)) {
    if (!p) xexit(1016);
  }
  ~PoolArray() { pool.release(p); }
  T& operator[](std::size_t i) { return p[i]; }
};

}  // namespace

std::string zrtype(const std::string& value) {
  std::string t = value.substr(0, 8);
  for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
  return t;
}

int same(double* result, const double* v, int n) {
  double first = missing_value(), low = missing_value();
  int equal = 1;
  for (int i = 0; i < n; ++i) {
    if (is_missing(v[i])) continue;
    if (is_missing(first)) {
      first = low = v[i];
      continue;
    }
    if (v[i] != first) equal = 0;
    if (v[i] < low) low = v[i];
  }
  *result = equal ? first : low;
  return equal;
}

int zrcorr(StepContext& host, ByGroups& fileid, const std::vector<int>& vars, int noint,
           std::string_view dstype, double* cor, double* vmean, double* vstd, double* datax,
           std::string_view vardef, double* vardiv, double* sumwt, double* nobs) {
  const DataSetHeader& header = fileid.header();
  const int nvar = static_cast<int>(vars.size());
  const auto unvar = static_cast<std::size_t>(nvar);
  const std::size_t npacked = unvar * (unvar + 1) / 2;
  auto vname = [&](int i) {
    return header.vars[static_cast<std::size_t>(vars[unvar > 0 ? i : 0])].name;
  };
  auto at = [](int i, int j) {
    return static_cast<std::size_t>(packed_index(std::max(i, j), std::min(i, j)));
  };
  int status = 0;

  // The kind of matrix rows to read.
  std::string ds = zrtype(std::string(dstype));
  const bool est = ds == "EST";
  if (ds == "FACTOR") ds = "CORR";
  if (est) ds = "COV";
  MatrixType mtype = MatrixType::Other;
  for (int t = 0; t < 5; ++t)
    if (ds == kTypeNames[t]) mtype = static_cast<MatrixType>(t);
  std::string rowkey = ds;  // the _TYPE_ of the matrix rows
  bool est_rows = est;      // matrix rows recognised by their first 3 characters

  // The special variables.
  const int typeno = header.find("_TYPE_"), nameno = header.find("_NAME_");
  if (typeno < 0) host.xpmlog(kReadGroup, kMsgReadSpecialNoType);
  if (nameno < 0) host.xpmlog(kReadGroup, kMsgReadNoNameVar);
  if ((typeno >= 0 && header.vars[static_cast<std::size_t>(typeno)].is_numeric()) ||
      (nameno >= 0 && header.vars[static_cast<std::size_t>(nameno)].is_numeric())) {
    host.xpmlog(kReadGroup, kMsgReadTypeNameChar);
    xexit(1008);
  }
  int intcno = -1;
  bool intercept_is_var = false;
  if (mtype == MatrixType::Sscp) {
    intcno = header.find("INTERCEP");
    if (intcno < 0) intcno = header.find("INTERCEPT");
    if (intcno < 0) {
      host.xpmlog(kReadGroup, kMsgReadSscpNoIntercept);
    } else if (!header.vars[static_cast<std::size_t>(intcno)].is_numeric()) {
      host.xpmlog(kReadGroup, kMsgReadInterceptType);
      xexit(1008);
    } else if (std::find(vars.begin(), vars.end(), intcno) != vars.end()) {
      intercept_is_var = true;  // then it is an ordinary variable
      intcno = -1;
    }
  }

  StepPool& pool = host.pool();
  PoolArray<unsigned char> from(pool, npacked);  // bit 1: stored from the lower row, 2: upper
  PoolArray<double> sums(pool, unvar);
  PoolArray<double> rowvals(pool, unvar);
  PoolArray<unsigned char> zeroed(pool, unvar);
  bool tried[4] = {false, false, false, false};
  if (mtype < MatrixType::Sscp) tried[static_cast<int>(mtype)] = true;
  const double miss = missing_value();
  bool doubtful_noted = false;

  Observation obs;
  double n_read = miss, w_read = miss;
  for (;;) {
    // Everything starts missing; rows fill it in.
    n_read = w_read = miss;
    bool nobs_from_n = false;
    std::fill(cor, cor + npacked, miss);
    std::fill(vmean, vmean + nvar, miss);
    std::fill(vstd, vstd + nvar, miss);
    for (std::size_t k = 0; k < npacked; ++k) from[k] = 0;
    for (std::size_t k = 0; k < unvar; ++k) sums[k] = miss;
    bool seen[4] = {false, false, false, false};
    long nrows = 0, matrows = 0;
    int nextpos = 0;

    while (fileid.next(obs)) {
      ++nrows;
      for (int j = 0; j < nvar; ++j)
        rowvals[static_cast<std::size_t>(j)] =
            obs.num[static_cast<std::size_t>(vars[static_cast<std::size_t>(j)])];
      const std::string type =
          typeno >= 0 ? zrtype(obs.str[static_cast<std::size_t>(typeno)]) : rowkey;
      const bool matrix_row =
          est_rows ? type.compare(0, 3, "COV") == 0 && type.size() >= 3 : type == rowkey;
      if (matrix_row) {
        int i;
        if (nameno >= 0) {
          const std::string name = trim(obs.str[static_cast<std::size_t>(nameno)]);
          if (intcno >= 0 && (same_name(name, "INTERCEP") || same_name(name, "INTERCEPT"))) {
            // The intercept row: its values are the variables' sums, its
            // intercept column the sum of weights.
            ++matrows;
            for (std::size_t j = 0; j < unvar; ++j) sums[j] = rowvals[j];
            const double w = obs.num[static_cast<std::size_t>(intcno)];
            if (!is_missing(w)) {
              w_read = w;
              if (!nobs_from_n) n_read = w;
            }
            continue;
          }
          if (name.size() > 32) {
            host.xpmlog(kReadGroup, kMsgReadNameUnreadable);
            return 108;
          }
          if (name.empty() || !is_valid_name(name, host.validvarname())) {
            if (!doubtful_noted) {
              host.xpmlog(kReadGroup, kMsgReadNameInvalid);
              status = std::max(status, 4);
              doubtful_noted = true;
            }
            i = nextpos;
          } else {
            i = -1;
            for (int k = 0; k < nvar; ++k)
              if (same_name(vname(k), name)) i = k;
            if (i < 0) continue;  // a row of a variable not analysed
          }
        } else {
          i = nextpos;
        }
        if (i >= nvar) {
          host.xpmlog(kReadGroup, kMsgReadTooManyRows);
          return 108;
        }
        nextpos = i + 1;
        ++matrows;
        // The diagonal first, so the symmetry check of this row can use it.
        const std::size_t ii = at(i, i);
        if (!is_missing(rowvals[static_cast<std::size_t>(i)])) {
          cor[ii] = rowvals[static_cast<std::size_t>(i)];
          from[ii] = 3;
        }
        for (int j = 0; j < nvar; ++j) {
          const double v = rowvals[static_cast<std::size_t>(j)];
          if (j == i || is_missing(v)) continue;  // a half-written matrix is fine
          const std::size_t ij = at(i, j);
          const unsigned char mine = i > j ? 1 : 2, theirs = i > j ? 2 : 1;
          if (from[ij] & theirs) {
            const double di = cor[ii], dj = cor[at(j, j)];
            if (is_missing(di) || is_missing(dj)) {
              host.xpmlog(kReadGroup, kMsgReadDiagonalMissing);
              return 108;
            }
            if (di > kZeroThreshold && dj > kZeroThreshold &&
                std::fabs(v - cor[ij]) > 0.0001 * std::sqrt(di) * std::sqrt(dj)) {
              host.xpmlog(kReadGroup, kMsgReadNotSymmetric, {vname(i), vname(j)});
              return 108;
            }
          }
          cor[ij] = v;
          from[ij] = static_cast<unsigned char>(from[ij] | mine);
        }
        if (intcno >= 0 && !is_missing(obs.num[static_cast<std::size_t>(intcno)]))
          sums[static_cast<std::size_t>(i)] = obs.num[static_cast<std::size_t>(intcno)];
        continue;
      }
      if (type == "MEAN" && intcno < 0) {
        std::copy(rowvals.p, rowvals.p + nvar, vmean);
      } else if (est && type.compare(0, 4, "PARM") == 0 && type.size() >= 4) {
        std::copy(rowvals.p, rowvals.p + nvar, vmean);
      } else if ((type == "STD" && mtype == MatrixType::Corr) ||
                 (type == "USTD" && mtype == MatrixType::Ucorr)) {
        std::copy(rowvals.p, rowvals.p + nvar, vstd);
      } else if (type == "N") {
        // A count that is not a whole number above 0 is no count: the
        // analysis would divide by it or take it for a sample size.
        for (int j = 0; j < nvar; ++j) {
          const double v = rowvals[static_cast<std::size_t>(j)];
          if (!is_missing(v) && !(std::isfinite(v) && v >= 1 && v == std::floor(v))) {
            host.xpmlog(kReadGroup, kMsgReadBadCount, {type, num_text(v), vname(j)});
            return 108;
          }
        }
        if (!same(&n_read, rowvals.p, nvar)) host.xpmlog(kReadGroup, kMsgReadNRowUneven);
        nobs_from_n = true;
      } else if (type == "SUMWGT") {
        if (!same(&w_read, rowvals.p, nvar)) host.xpmlog(kReadGroup, kMsgReadSumwgtUneven);
        if (w_read < 0) w_read = 0;
      } else {
        for (int t = 0; t < 4; ++t)
          if (type == kTypeNames[t]) seen[t] = true;
      }
    }

    if (nrows == 0) {
      host.xpmlog(kReadGroup, kMsgReadNoObs);
      return 108;
    }
    bool complete = true;
    for (std::size_t k = 0; k < npacked; ++k)
      if (is_missing(cor[k])) complete = false;
    if (complete) break;
    host.xpmlog(kReadGroup, kMsgReadMatrixMissing);
    int next = -1;
    for (int t = 0; t < 4 && next < 0; ++t)
      if (seen[t] && !tried[t]) next = t;
    if (next >= 0) {
      host.xpmlog(kReadGroup, kMsgReadRowsReplaced,
                  {est_rows ? std::string("COV") : rowkey, kTypeNames[next]});
      tried[next] = true;
      mtype = static_cast<MatrixType>(next);
      rowkey = kTypeNames[next];
      est_rows = false;
      fileid.xbyrwnd();
      continue;
    }
    if (matrows == 0) {
      host.xpmlog(kReadGroup, kMsgReadNoMatrixRows);
      return 108;
    }
    host.xpmlog(kReadGroup, kMsgReadIncomplete);
    return 108;
  }

  // Diagonal checks.
  for (int i = 0; i < nvar; ++i)
    if (cor[at(i, i)] < 0) {
      host.xpmlog(kReadGroup, kMsgReadNegativeVariance, {vname(i)});
      return 108;
    }
  for (int i = 0; i < nvar; ++i) {
    if (cor[at(i, i)] != 0) continue;
    for (int j = 0; j < nvar; ++j)
      if (j != i && cor[at(i, j)] != 0) {
        host.xpmlog(kReadGroup, kMsgReadZeroVarianceCov);
        return 108;
      }
  }
  if (is_corr(mtype)) {
    bool over = false, off = false;
    for (int i = 0; i < nvar; ++i) {
      const double d = cor[at(i, i)];
      if (d < kDiagLow || d > kDiagHigh) {
        host.xpmlog(kReadGroup, kMsgReadDiagonalNotOne, {vname(i), num_text(d)});
        off = true;
        if (d > kDiagHigh) over = true;
      }
    }
    if (over) {
      host.xpmlog(kReadGroup, kMsgReadDiagonalAboveOne);
      status = std::max(status, 4);
    }
    if (off) {
      host.xpmlog(kReadGroup, kMsgReadRescaled);
      zcovcor(nvar, cor, datax);
    }
  }

  // Means (or the intercept sums that stand for them).
  const bool centre = is_uncorrected(mtype) && !noint && !intercept_is_var;
  const bool from_sums = intcno >= 0;
  if (est) {
    for (int j = 0; j < nvar; ++j)
      if (is_missing(vmean[j])) {
        host.xpmlog(kReadGroup, kMsgReadEstParmMissing);
        return 108;
      }
  } else if (!centre) {
    bool any = false;
    for (int j = 0; j < nvar; ++j) {
      double& m = from_sums ? sums[static_cast<std::size_t>(j)] : vmean[j];
      if (is_missing(m)) {
        m = 0;
        any = true;
      }
    }
    if (any) host.xpmlog(kReadGroup, kMsgReadMeansAssumed);
  } else {
    for (int j = 0; j < nvar; ++j)
      if (is_missing(from_sums ? sums[static_cast<std::size_t>(j)] : vmean[j])) {
        host.xpmlog(kReadGroup, from_sums ? kMsgReadSscpNoInterceptSum : kMsgReadMeanMissing);
        return 108;
      }
  }
  if (is_corr(mtype)) {
    bool any = false;
    for (int j = 0; j < nvar; ++j)
      if (is_missing(vstd[j])) {
        vstd[j] = 1;
        any = true;
      }
    if (any) host.xpmlog(kReadGroup, kMsgReadStdAssumed);
  }

  // Counts.
  if (is_missing(n_read)) {
    if (!est) host.xpmlog(kReadGroup, kMsgReadNoNRow);
    n_read = kDefaultNobs;
  }
  if (is_missing(w_read)) w_read = n_read;
  const double W = w_read;
  if (from_sums)
    for (int j = 0; j < nvar; ++j) vmean[j] = W != 0 ? sums[static_cast<std::size_t>(j)] / W : 0.0;

  const double df = noint ? 0.0 : 1.0;
  const bool already =
      (mtype == MatrixType::Corr && !noint) || (mtype == MatrixType::Ucorr && noint);
  if (!already) {
    // To crossproducts: undo the divisor that produced the input.
    const double din = mtype == MatrixType::Sscp
                           ? 1.0
                           : zvardiv(vardef, n_read, is_uncorrected(mtype) ? 0.0 : 1.0, W);
    for (int i = 0; i < nvar; ++i)
      for (int j = 0; j <= i; ++j) {
        double& a = cor[at(i, j)];
        if (is_corr(mtype)) a *= vstd[i] * vstd[j];
        a *= din;
      }
    auto q = [&](int i, int j) {
      return from_sums ? sums[static_cast<std::size_t>(i)] * sums[static_cast<std::size_t>(j)] / W
                       : W * vmean[i] * vmean[j];
    };
    if (centre) {
      for (int i = 0; i < nvar; ++i) {
        zeroed[static_cast<std::size_t>(i)] = 0;
        const double Q = q(i, i);
        double& c = cor[at(i, i)];
        c -= Q;
        if (std::fabs(c) < std::fabs(Q) * kCancellation) {
          zeroed[static_cast<std::size_t>(i)] = 1;
        } else if (c < 0) {
          host.xpmlog(kReadGroup, kMsgReadNegativeCentred);
          status = std::max(status, 4);
          zeroed[static_cast<std::size_t>(i)] = 1;
        }
      }
      for (int i = 0; i < nvar; ++i)
        for (int j = 0; j < i; ++j) {
          const double Q = q(i, j);
          double& c = cor[at(i, j)];
          c -= Q;
          if (std::fabs(c) < std::fabs(Q) * kCancellation) c = 0;
        }
      for (int i = 0; i < nvar; ++i)
        if (zeroed[static_cast<std::size_t>(i)])
          for (int j = 0; j < nvar; ++j) cor[at(i, j)] = 0;
      for (int i = 0; i < nvar; ++i)
        for (int j = 0; j < i; ++j) {
          double& c = cor[at(i, j)];
          if (std::fabs(c) < std::sqrt(cor[at(i, i)] * cor[at(j, j)]) * kZeroThreshold) c = 0;
        }
    } else if (noint && !is_uncorrected(mtype)) {
      // Centred input analysed without centring: put the means back.
      for (int i = 0; i < nvar; ++i)
        for (int j = 0; j <= i; ++j) cor[at(i, j)] += W * vmean[i] * vmean[j];
    }
  }

  const double d = zvardiv(vardef, n_read, df, W);
  if (!already) {
    if (d > 0)
      for (std::size_t k = 0; k < npacked; ++k) cor[k] /= d;
    zcovcor(nvar, cor, datax);
    std::copy(datax, datax + nvar, vstd);
  }
  *vardiv = d;
  *sumwt = W;
  *nobs = n_read;
  return status;
}

}  // namespace kav
