// Reports a code of zeigen2 or zeigvec through the host's messages.

#include <algorithm>

#include "numeric/eigen.h"

namespace kav {
namespace {

// The eigensolver's catalogue group and its messages.
constexpr int kGroup = 271;
constexpr int kMsgBisection = 1;  // the fast method failed; bisection instead
constexpr int kMsgBadArguments = 2;
constexpr int kMsgEigenvaluesMissing = 3;
constexpr int kMsgVectorsSlight = 4;  // 5: reduced accuracy, 6: not accurate, stop
constexpr int kMsgMatrixProblem = 100;
constexpr int kRunStopped = 9999;

int report(const EigenMessageSink& sink, int number, bool as_note) {
  const int handle = sink.log ? sink.log(kGroup, number) : 0;
  if (as_note && sink.note) sink.note("EigenNote", kGroup, number);
  return handle;
}

void stop(const EigenMessageSink& sink) {
  if (sink.exit) sink.exit(kRunStopped);
}

}  // namespace

int zeigmsg(int code, const EigenMessageSink& sink) {
  int handle = 0;
  if (code == kEigenBadArguments || code == kEigenMissingOrBisectionFailed) {
    handle = report(sink, code == kEigenBadArguments ? kMsgBadArguments : kMsgEigenvaluesMissing, true);
    stop(sink);
    return handle;
  }
  if (code >= 0) return 0;  // success, and 97 which the caller lives with
  if (code <= -100) {
    handle = report(sink, kMsgMatrixProblem, false);
    code += 100;
  }
  const int magnitude = -code;
  if (magnitude % 10 == 1) handle = report(sink, kMsgBisection, false);
  const int tens = std::min(magnitude / 10, 3);
  if (tens > 0) {
    handle = report(sink, kMsgVectorsSlight - 1 + tens, true);
    if (tens == 3) stop(sink);
  }
  return handle;
}

}  // namespace kav
