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

// The group cannot be analysed.
constexpr int kUnusable = 108;

// What marks the matrix rows.
struct RowKind {
  MatrixType mtype = MatrixType::Other;
  std::string rowkey;     // the _TYPE_ of the matrix rows
  bool est = false;       // an EST data set: its means are the PARMS rows
  bool est_rows = false;  // matrix rows recognised by their first 3 characters
};

RowKind row_kind(std::string_view dstype) {
  RowKind k;
  std::string ds = zrtype(std::string(dstype));
  k.est = ds == "EST";
  if (ds == "FACTOR") ds = "CORR";
  if (k.est) ds = "COV";
  for (int t = 0; t < 5; ++t)
    if (ds == kTypeNames[t]) k.mtype = static_cast<MatrixType>(t);
  k.rowkey = ds;
  k.est_rows = k.est;
  return k;
}

// Positions of _TYPE_, _NAME_ and the intercept of an SSCP matrix (-1: none).
struct SpecialColumns {
  int typeno = -1, nameno = -1, intcno = -1;
  bool intercept_is_var = false;  // the intercept is analysed as an ordinary variable
};

// The special variables; one of the wrong type ends the step.
SpecialColumns find_special_columns(StepContext& host, const DataSetHeader& header,
                                    const std::vector<int>& vars, MatrixType mtype) {
  SpecialColumns c;
  c.typeno = header.find("_TYPE_");
  c.nameno = header.find("_NAME_");
  if (c.typeno < 0) host.xpmlog(kReadGroup, kMsgReadSpecialNoType);
  if (c.nameno < 0) host.xpmlog(kReadGroup, kMsgReadNoNameVar);
  if ((c.typeno >= 0 && header.vars[static_cast<std::size_t>(c.typeno)].is_numeric()) ||
      (c.nameno >= 0 && header.vars[static_cast<std::size_t>(c.nameno)].is_numeric())) {
    host.xpmlog(kReadGroup, kMsgReadTypeNameChar);
    xexit(1008);
  }
  if (mtype != MatrixType::Sscp) return c;
  c.intcno = header.find("INTERCEP");
  if (c.intcno < 0) c.intcno = header.find("INTERCEPT");
  if (c.intcno < 0) {
    host.xpmlog(kReadGroup, kMsgReadSscpNoIntercept);
  } else if (!header.vars[static_cast<std::size_t>(c.intcno)].is_numeric()) {
    host.xpmlog(kReadGroup, kMsgReadInterceptType);
    xexit(1008);
  } else if (std::find(vars.begin(), vars.end(), c.intcno) != vars.end()) {
    c.intercept_is_var = true;  // then it is an ordinary variable
    c.intcno = -1;
  }
  return c;
}

// One call of zrcorr once the rows' kind and the special variables are
// known: the passes over the group's rows, the checks of what they gave,
// and the way through crossproducts to the correlations.  The methods that
// can find the group unusable return kUnusable (else 0); warnings raise
// `status` to 4.
struct MatrixReader {
  MatrixReader(StepContext& h, ByGroups& f, const std::vector<int>& v, int ni, RowKind kind,
               SpecialColumns c, double* co, double* mean, double* std)
      : host(h),
        fileid(f),
        header(f.header()),
        vars(v),
        nvar(static_cast<int>(v.size())),
        unvar(v.size()),
        npacked(unvar * (unvar + 1) / 2),
        noint(ni),
        mtype(kind.mtype),
        rowkey(kind.rowkey),
        est(kind.est),
        est_rows(kind.est_rows),
        cols(c),
        cor(co),
        vmean(mean),
        vstd(std),
        from(h.pool(), npacked),
        sums(h.pool(), unvar),
        rowvals(h.pool(), unvar),
        zeroed(h.pool(), unvar) {
    if (mtype < MatrixType::Sscp) tried[static_cast<int>(mtype)] = true;
  }

  std::string vname(int i) const {
    return header.vars[static_cast<std::size_t>(vars[unvar > 0 ? i : 0])].name;
  }
  bool centre() const { return is_uncorrected(mtype) && !noint && !cols.intercept_is_var; }
  bool from_sums() const { return cols.intcno >= 0; }

  // Passes over the group until its matrix is complete, falling back to the
  // rows of another matrix type the group has.
  int read_matrix() {
    Observation obs;
    for (;;) {
      start_pass();
      while (fileid.next(obs))
        if (read_row(obs) != 0) return kUnusable;
      bool again = false;
      if (end_pass(again) != 0) return kUnusable;
      if (!again) return 0;
    }
  }

  // Everything starts missing; rows fill it in.
  void start_pass() {
    n_read = w_read = miss;
    nobs_from_n = false;
    std::fill(cor, cor + npacked, miss);
    std::fill(vmean, vmean + nvar, miss);
    std::fill(vstd, vstd + nvar, miss);
    for (std::size_t k = 0; k < npacked; ++k) from[k] = 0;
    for (std::size_t k = 0; k < unvar; ++k) sums[k] = miss;
    for (bool& s : seen) s = false;
    nrows = matrows = 0;
    nextpos = 0;
  }

  int read_row(const Observation& obs) {
    ++nrows;
    for (int j = 0; j < nvar; ++j)
      rowvals[static_cast<std::size_t>(j)] =
          obs.num[static_cast<std::size_t>(vars[static_cast<std::size_t>(j)])];
    const std::string type =
        cols.typeno >= 0 ? zrtype(obs.str[static_cast<std::size_t>(cols.typeno)]) : rowkey;
    const bool matrix_row =
        est_rows ? type.compare(0, 3, "COV") == 0 && type.size() >= 3 : type == rowkey;
    return matrix_row ? read_matrix_row(obs) : read_other_row(type);
  }

  // A matrix row: the intercept row of an SSCP matrix, or the row of an
  // analysis variable found by _NAME_ or taken in order.
  int read_matrix_row(const Observation& obs) {
    int i = nextpos;
    if (cols.nameno >= 0) {
      const std::string name = trim(obs.str[static_cast<std::size_t>(cols.nameno)]);
      if (cols.intcno >= 0 && (same_name(name, "INTERCEP") || same_name(name, "INTERCEPT"))) {
        take_intercept_row(obs);
        return 0;
      }
      if (name.size() > 32) {
        host.xpmlog(kReadGroup, kMsgReadNameUnreadable);
        return kUnusable;
      }
      if (name.empty() || !is_valid_name(name, host.validvarname())) {
        if (!doubtful_noted) {
          host.xpmlog(kReadGroup, kMsgReadNameInvalid);
          status = std::max(status, 4);
          doubtful_noted = true;
        }
      } else {
        i = -1;
        for (int k = 0; k < nvar; ++k)
          if (same_name(vname(k), name)) i = k;
        if (i < 0) return 0;  // a row of a variable not analysed
      }
    }
    if (i >= nvar) {
      host.xpmlog(kReadGroup, kMsgReadTooManyRows);
      return kUnusable;
    }
    nextpos = i + 1;
    ++matrows;
    return store_matrix_row(obs, i);
  }

  // The intercept row: its values are the variables' sums, its intercept
  // column the sum of weights.
  void take_intercept_row(const Observation& obs) {
    ++matrows;
    for (std::size_t j = 0; j < unvar; ++j) sums[j] = rowvals[j];
    const double w = obs.num[static_cast<std::size_t>(cols.intcno)];
    if (!is_missing(w)) {
      w_read = w;
      if (!nobs_from_n) n_read = w;
    }
  }

  // Row i of the matrix, checked against the other half where that half
  // was read before.
  int store_matrix_row(const Observation& obs, int i) {
    // The diagonal first, so the symmetry check of this row can use it.
    const std::size_t ii = packed_sym_index(i, i);
    if (!is_missing(rowvals[static_cast<std::size_t>(i)])) {
      cor[ii] = rowvals[static_cast<std::size_t>(i)];
      from[ii] = 3;
    }
    for (int j = 0; j < nvar; ++j) {
      const double v = rowvals[static_cast<std::size_t>(j)];
      if (j == i || is_missing(v)) continue;  // a half-written matrix is fine
      const std::size_t ij = packed_sym_index(i, j);
      const unsigned char mine = i > j ? 1 : 2, theirs = i > j ? 2 : 1;
      if (from[ij] & theirs) {
        const double di = cor[ii], dj = cor[packed_sym_index(j, j)];
        if (is_missing(di) || is_missing(dj)) {
          host.xpmlog(kReadGroup, kMsgReadDiagonalMissing);
          return kUnusable;
        }
        if (di > kZeroThreshold && dj > kZeroThreshold &&
            std::fabs(v - cor[ij]) > 0.0001 * std::sqrt(di) * std::sqrt(dj)) {
          host.xpmlog(kReadGroup, kMsgReadNotSymmetric, {vname(i), vname(j)});
          return kUnusable;
        }
      }
      cor[ij] = v;
      from[ij] = static_cast<unsigned char>(from[ij] | mine);
    }
    const int intcno = cols.intcno;
    if (intcno >= 0 && !is_missing(obs.num[static_cast<std::size_t>(intcno)]))
      sums[static_cast<std::size_t>(i)] = obs.num[static_cast<std::size_t>(intcno)];
    return 0;
  }

  // The rows beside the matrix: means, standard deviations, counts, and
  // the matrix types the group also has.
  int read_other_row(const std::string& type) {
    if (type == "MEAN" && cols.intcno < 0) {
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
          return kUnusable;
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
    return 0;
  }

  // After a pass: done when the matrix is complete; `again` when another
  // matrix type the group has is to be read instead.
  int end_pass(bool& again) {
    if (nrows == 0) {
      host.xpmlog(kReadGroup, kMsgReadNoObs);
      return kUnusable;
    }
    bool complete = true;
    for (std::size_t k = 0; k < npacked; ++k)
      if (is_missing(cor[k])) complete = false;
    if (complete) return 0;
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
      again = true;
      return 0;
    }
    if (matrows == 0) {
      host.xpmlog(kReadGroup, kMsgReadNoMatrixRows);
      return kUnusable;
    }
    host.xpmlog(kReadGroup, kMsgReadIncomplete);
    return kUnusable;
  }

  // Variances must not be negative, a zero variance has zero covariances,
  // and a correlation diagonal off 1 is rescaled.
  int check_diagonal(double* datax) {
    for (int i = 0; i < nvar; ++i)
      if (cor[packed_sym_index(i, i)] < 0) {
        host.xpmlog(kReadGroup, kMsgReadNegativeVariance, {vname(i)});
        return kUnusable;
      }
    for (int i = 0; i < nvar; ++i) {
      if (cor[packed_sym_index(i, i)] != 0) continue;
      for (int j = 0; j < nvar; ++j)
        if (j != i && cor[packed_sym_index(i, j)] != 0) {
          host.xpmlog(kReadGroup, kMsgReadZeroVarianceCov);
          return kUnusable;
        }
    }
    if (!is_corr(mtype)) return 0;
    bool over = false, off = false;
    for (int i = 0; i < nvar; ++i) {
      const double d = cor[packed_sym_index(i, i)];
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
    return 0;
  }

  // Means (or the intercept sums that stand for them) and standard
  // deviations: required where centring needs them, else assumed.
  int settle_means() {
    if (est) {
      for (int j = 0; j < nvar; ++j)
        if (is_missing(vmean[j])) {
          host.xpmlog(kReadGroup, kMsgReadEstParmMissing);
          return kUnusable;
        }
    } else if (!centre()) {
      bool any = false;
      for (int j = 0; j < nvar; ++j) {
        double& m = from_sums() ? sums[static_cast<std::size_t>(j)] : vmean[j];
        if (is_missing(m)) {
          m = 0;
          any = true;
        }
      }
      if (any) host.xpmlog(kReadGroup, kMsgReadMeansAssumed);
    } else {
      for (int j = 0; j < nvar; ++j)
        if (is_missing(from_sums() ? sums[static_cast<std::size_t>(j)] : vmean[j])) {
          host.xpmlog(kReadGroup,
                      from_sums() ? kMsgReadSscpNoInterceptSum : kMsgReadMeanMissing);
          return kUnusable;
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
    return 0;
  }

  // The counts, with a default when the group gives none; means from the
  // intercept sums.
  void settle_counts() {
    if (is_missing(n_read)) {
      if (!est) host.xpmlog(kReadGroup, kMsgReadNoNRow);
      n_read = kDefaultNobs;
    }
    if (is_missing(w_read)) w_read = n_read;
    const double W = w_read;
    if (from_sums())
      for (int j = 0; j < nvar; ++j)
        vmean[j] = W != 0 ? sums[static_cast<std::size_t>(j)] / W : 0.0;
  }

  // To crossproducts: undo the divisor that produced the input, then centre
  // uncorrected input, or put the means back into centred input that is
  // analysed without centring.
  void to_crossproducts(std::string_view vardef) {
    const double W = w_read;
    const double din = mtype == MatrixType::Sscp
                           ? 1.0
                           : zvardiv(vardef, n_read, is_uncorrected(mtype) ? 0.0 : 1.0, W);
    for (int i = 0; i < nvar; ++i)
      for (int j = 0; j <= i; ++j) {
        double& a = cor[packed_sym_index(i, j)];
        if (is_corr(mtype)) a *= vstd[i] * vstd[j];
        a *= din;
      }
    if (centre()) {
      centre_crossproducts();
    } else if (noint && !is_uncorrected(mtype)) {
      for (int i = 0; i < nvar; ++i)
        for (int j = 0; j <= i; ++j) cor[packed_sym_index(i, j)] += W * vmean[i] * vmean[j];
    }
  }

  // Subtracts the mean part; what cancels to rounding error becomes 0, and
  // a variable whose variance cancels (or turns negative) loses its row.
  void centre_crossproducts() {
    const double W = w_read;
    auto q = [&](int i, int j) {
      return from_sums() ? sums[static_cast<std::size_t>(i)] * sums[static_cast<std::size_t>(j)] / W
                         : W * vmean[i] * vmean[j];
    };
    for (int i = 0; i < nvar; ++i) {
      zeroed[static_cast<std::size_t>(i)] = 0;
      const double Q = q(i, i);
      double& c = cor[packed_sym_index(i, i)];
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
        double& c = cor[packed_sym_index(i, j)];
        c -= Q;
        if (std::fabs(c) < std::fabs(Q) * kCancellation) c = 0;
      }
    for (int i = 0; i < nvar; ++i)
      if (zeroed[static_cast<std::size_t>(i)])
        for (int j = 0; j < nvar; ++j) cor[packed_sym_index(i, j)] = 0;
    for (int i = 0; i < nvar; ++i)
      for (int j = 0; j < i; ++j) {
        double& c = cor[packed_sym_index(i, j)];
        if (std::fabs(c) < std::sqrt(cor[packed_sym_index(i, i)] * cor[packed_sym_index(j, j)]) * kZeroThreshold) c = 0;
      }
  }

  StepContext& host;
  ByGroups& fileid;
  const DataSetHeader& header;
  const std::vector<int>& vars;
  const int nvar;
  const std::size_t unvar, npacked;
  const int noint;
  MatrixType mtype;
  std::string rowkey;
  const bool est;
  bool est_rows;
  const SpecialColumns cols;
  double* cor;
  double* vmean;
  double* vstd;
  PoolArray<unsigned char> from;  // bit 1: stored from the lower row, 2: upper
  PoolArray<double> sums;
  PoolArray<double> rowvals;
  PoolArray<unsigned char> zeroed;
  const double miss = missing_value();
  bool tried[4] = {false, false, false, false};
  bool seen[4] = {false, false, false, false};
  bool doubtful_noted = false;
  bool nobs_from_n = false;
  double n_read = miss, w_read = miss;
  long nrows = 0, matrows = 0;
  int nextpos = 0;
  int status = 0;
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
  const RowKind kind = row_kind(dstype);
  const SpecialColumns cols = find_special_columns(host, fileid.header(), vars, kind.mtype);
  MatrixReader r(host, fileid, vars, noint, kind, cols, cor, vmean, vstd);
  if (r.read_matrix() != 0 || r.check_diagonal(datax) != 0 || r.settle_means() != 0)
    return kUnusable;
  r.settle_counts();
  const MatrixType mtype = r.mtype;
  const double df = noint ? 0.0 : 1.0;
  const bool already =
      (mtype == MatrixType::Corr && !noint) || (mtype == MatrixType::Ucorr && noint);
  if (!already) r.to_crossproducts(vardef);
  const double d = zvardiv(vardef, r.n_read, df, r.w_read);
  if (!already) {
    if (d > 0)
      for (std::size_t k = 0; k < r.npacked; ++k) cor[k] /= d;
    zcovcor(r.nvar, cor, datax);
    std::copy(datax, datax + r.nvar, vstd);
  }
  *vardiv = d;
  *sumwt = r.w_read;
  *nobs = r.n_read;
  return r.status;
}

}  // namespace kav
