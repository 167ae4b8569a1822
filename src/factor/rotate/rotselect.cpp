#include "factor/rotate/rotselect.h"

#include <algorithm>

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"
#include "factor/state/status.h"
#include "host/services.h"
#include "host/stmtparse.h"
#include "host/value.h"

namespace kav {

RotationList rotation_list(const FieldValue& rotate) {
  RotationList r;
  for (const ListItem& it : rotate.items) r.codes.push_back(it.code);
  r.params = rotate.numbers;
  r.labels = rotate.labels;
  r.marks = rotate.marks;
  return r;
}

void ParseRotation(RotationList& list) {
  const std::size_t n = list.marks.size();
  if (n < 2) return;
  const int c = list.marks[n - 2];
  list.codes.erase(list.codes.begin(),
                   list.codes.begin() + std::min<std::ptrdiff_t>(c, std::ssize(list.codes)));
  std::size_t drop = 0;
  while (drop < list.labels.size() && list.labels[drop] <= c) ++drop;
  list.params.erase(list.params.begin(), list.params.begin() + static_cast<std::ptrdiff_t>(drop));
  list.labels.erase(list.labels.begin(), list.labels.begin() + static_cast<std::ptrdiff_t>(drop));
  for (int& l : list.labels) l -= c;
  list.marks.assign(1, list.marks[n - 1] - c);
}

int oblfact(COMSTR* com, int code) {
  const RotationMethod* method = find_rotation(code);
  if (method && method->kind == RotKind::HarrisKaiser) {
    // Harris-Kaiser gives an oblique solution through its own
    // transformation; it is not an oblique criterion.
    fopt_set(com, kFoptOblique);
    return 0;
  }
  if (oblsol(code)) {
    fopt_set(com, kFoptOblique);
    return 1;
  }
  fopt_clear(com, kFoptOblique);
  return 0;
}

int select_rotations(COMSTR* com, const RotationList& list) {
  auto given = [](double v) { return !is_missing(v); };
  const bool target = fopt_test(com, kFoptTarget);
  const bool empty = list.codes.empty();

  // The final rotation, when no list is given, follows the options
  // that only one kind of rotation takes.
  com->rmethod2 = kRotNone;
  if (empty) {
    if (target) {
      com->rmethod2 = kRotProcrustes;
    } else if (given(com->kvalue) || com->rmethod0 != kRotNotGiven) {
      com->rmethod2 = kRotPromax;
    } else {
      // HKPOWER= alone asks for a Harris-Kaiser rotation, and that is what
      // runs: HK with its orthomax step at gamma 1 is varimax in
      // Harris-Kaiser mode.  Coding it as HK rather than as varimax keeps
      // the oblique flag, the oblique arrays and the oblique plots in step
      // with the oblique solution it produces.  TAU= and GAMMA= still take
      // precedence, as for the other parameter options.
      if (given(com->hkpower)) com->rmethod2 = kRotHk;
      if (given(com->tau)) com->rmethod2 = kRotOblimin;
      if (given(com->gamma)) com->rmethod2 = kRotOrthomax;
    }
  }

  // Promax needs an orthogonal start; without PREROTATE= it is varimax,
  // or the criterion whose parameter was given.
  const bool promax_runs = (empty && com->rmethod2 == kRotPromax && given(com->kvalue)) ||
                           (!empty && list.codes.front() == kRotPromax);
  if (com->rmethod0 == kRotNotGiven && promax_runs) {
    com->rmethod0 = kRotVarimax;
    if (given(com->tau)) com->rmethod0 = kRotOblimin;
    if (given(com->gamma)) com->rmethod0 = kRotOrthomax;
  }

  // A Procrustes rotation has nothing to aim at without TARGET=.
  int message = 0;
  if (!target) {
    bool procrustes =
        com->rmethod0 == kRotProcrustes || com->rmethod2 == kRotProcrustes ||
        std::find(list.codes.begin(), list.codes.end(), kRotProcrustes) != list.codes.end();
    if (procrustes) {
      message = kMsgProcrustesNoTarget;
      factrc(com, kExitConflict);
    }
  }

  // The prerotation serves promax only.
  if (com->rmethod0 == kRotNotGiven || (empty && com->rmethod2 != kRotPromax) ||
      (!empty && list.codes.front() != kRotPromax))
    com->rmethod0 = kRotNone;

  // The oblique flag: set when any rotation that runs is oblique.
  fopt_clear(com, kFoptOblique);
  oblfact(com, com->rmethod0);
  if (!fopt_test(com, kFoptOblique)) oblfact(com, com->rmethod2);
  for (std::size_t k = 0; k < list.codes.size() && !fopt_test(com, kFoptOblique); ++k)
    oblfact(com, list.codes[k]);

  // The number of rotations in the list, and the flag that any rotation runs.
  com->nrot = static_cast<int>(
      std::count_if(list.codes.begin(), list.codes.end(), [](int c) { return c != kRotNone; }));
  if (com->rmethod0 != kRotNone || com->rmethod2 != kRotNone || com->nrot != 0)
    fopt_set(com, kFoptRotate);
  else
    fopt_clear(com, kFoptRotate);

  // The list itself, for the rotation stages.
  com->rmethod = nullptr;
  com->rotparm = nullptr;
  com->irotparm = nullptr;
  com->nrotparm = static_cast<int>(list.params.size());
  if (!list.codes.empty()) {
    com->rmethod = fact_alloc<int>(com, list.codes.size());
    std::copy(list.codes.begin(), list.codes.end(), com->rmethod);
  }
  if (!list.params.empty()) {
    com->rotparm = fact_alloc<double>(com, list.params.size());
    com->irotparm = fact_alloc<int>(com, list.labels.size());
    std::copy(list.params.begin(), list.params.end(), com->rotparm);
    std::copy(list.labels.begin(), list.labels.end(), com->irotparm);
  }
  return message;
}

std::vector<double> rotation_params(const COMSTR* com, int position) {
  std::vector<double> out;
  for (int k = 0; k < com->nrotparm; ++k)
    if (com->irotparm[k] == position) out.push_back(com->rotparm[k]);
  return out;
}

}  // namespace kav
