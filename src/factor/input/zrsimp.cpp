// Means, standard deviations and counts only.  Without a matrix there is no
// correlation to protect, so whatever is missing takes a neutral value.
#include "factor/input/zrsimp.h"

#include <algorithm>

#include "factor/input/zrcorr.h"
#include "host/moment_messages.h"
#include "host/services.h"
#include "numeric/vector_kernels.h"

namespace kav {

namespace {
constexpr double kDefaultNobs = 10000;
}

int zrsimp(StepContext& host, ByGroups& fileid, const std::vector<int>& vars, double* vmean,
           double* vstd, double* datax, std::string_view vardef, double* vardiv, double* sumwt,
           double* nobs) {
  const DataSetHeader& header = fileid.header();
  const int nvar = static_cast<int>(vars.size());
  const double miss = missing_value();
  double n_read = miss, w_read = miss;
  auto finish = [&] {
    if (is_missing(w_read)) w_read = n_read;
    // The sum of weights stands for the count here.
    *vardiv = zvardiv(vardef, w_read, 1.0, w_read);
    *sumwt = w_read;
    if (nobs) *nobs = n_read;
  };

  const int typeno = header.find("_TYPE_");
  if (typeno < 0) {
    host.xpmlog(kReadGroup, kMsgReadNoTypeDefaults);
    n_read = kDefaultNobs;
    std::fill(vmean, vmean + nvar, 0.0);
    std::fill(vstd, vstd + nvar, 1.0);
    finish();
    return 0;
  }
  if (header.vars[static_cast<std::size_t>(typeno)].is_numeric()) {
    host.xpmlog(kReadGroup, kMsgReadTypeNameChar);
    xexit(1008);
  }

  std::fill(vmean, vmean + nvar, miss);
  std::fill(vstd, vstd + nvar, miss);
  Observation obs;
  long nrows = 0;
  while (fileid.next(obs)) {
    ++nrows;
    for (int j = 0; j < nvar; ++j)
      datax[j] = obs.num[static_cast<std::size_t>(vars[static_cast<std::size_t>(j)])];
    const std::string type = zrtype(obs.str[static_cast<std::size_t>(typeno)]);
    if (type == "MEAN") {
      std::copy(datax, datax + nvar, vmean);
    } else if (type == "STD") {
      std::copy(datax, datax + nvar, vstd);
    } else if (type == "N") {
      if (!same(&n_read, datax, nvar)) host.xpmlog(kReadGroup, kMsgReadNRowUneven);
      if (n_read < 0) n_read = 0;
    } else if (type == "SUMWGT") {
      if (!same(&w_read, datax, nvar)) host.xpmlog(kReadGroup, kMsgReadSumwgtUneven);
      if (w_read < 0) w_read = 0;
    }
  }
  if (nrows == 0) {
    host.xpmlog(kReadGroup, kMsgReadNoObs);
    return 108;
  }
  if (is_missing(n_read)) {
    host.xpmlog(kReadGroup, kMsgReadNoNRow);
    n_read = kDefaultNobs;
  }
  finish();
  for (int j = 0; j < nvar; ++j) {
    if (is_missing(vmean[j])) vmean[j] = 0;
    if (is_missing(vstd[j])) vstd[j] = 1;
  }
  return 0;
}

}  // namespace kav
