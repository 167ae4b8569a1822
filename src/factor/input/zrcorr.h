// Readers of special data sets: summary statistics written as rows marked
// by _TYPE_ (a matrix, MEAN, STD, N, SUMWGT, ...) instead of raw
// observations.  They deliver what the moment pass delivers from raw data.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/bygroup.h"

namespace kav {

class StepContext;

// Reads the matrix, means, standard deviations and counts of the current BY
// group of `fileid` and delivers the correlation matrix `cor` (packed, order
// vars.size()), `vmean`, `vstd`, the variance divisor, the sum of weights and
// the number of observations.  `vars` are the analysis variables' positions
// in the data set; `dstype` is the data set type (CORR, COV, UCORR, UCOV,
// SSCP, FACTOR, EST, or another type whose matrix rows carry that _TYPE_);
// `datax` is scratch of vars.size().  Returns 0, 4 (warnings) or 108 (the
// group cannot be analysed); a _TYPE_, _NAME_ or intercept variable of the
// wrong type ends the step (exit code 1008).
int zrcorr(StepContext& host, ByGroups& fileid, const std::vector<int>& vars, int noint,
           std::string_view dstype, double* cor, double* vmean, double* vstd, double* datax,
           std::string_view vardef, double* vardiv, double* sumwt, double* nobs);

// 1 when all non-missing values of v[0..n) are equal (*result that value, or
// missing when every value is missing); 0 otherwise (*result their minimum).
int same(double* result, const double* v, int n);

// A _TYPE_ value as rows are told apart: its first 8 characters, upper
// case, without trailing blanks.
std::string zrtype(const std::string& value);

// Kinds of matrix rows, in the order a reader falls back through them.
enum class MatrixType { Corr, Cov, Ucorr, Ucov, Sscp, Other };

}  // namespace kav
