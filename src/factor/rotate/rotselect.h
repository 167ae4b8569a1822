// The rotation request of a PROC FACTOR step: the rotation codes, keeping
// only the last ROTATE= option, the selection of the prerotation, the
// rotation list and the final rotation, and the oblique-solution tests.
#pragma once

#include <vector>

#include "factor/rotate/rotation_registry.h"

namespace kav {

struct COMSTR;
struct FieldValue;

// The ROTATE= list as the statement left it: the codes in order of writing,
// every parameter value with the 1-based list position of its rotation, and
// the list length at the end of each ROTATE= option written.
struct RotationList {
  std::vector<int> codes;
  std::vector<double> params;
  std::vector<int> labels;
  std::vector<int> marks;
};

// Takes the ROTATE= field of the parsed statement.
RotationList rotation_list(const FieldValue& rotate);

// Keeps only what the last ROTATE= option wrote: with two or more options,
// the codes and parameters of all but the last are dropped and the labels
// of the remaining parameters renumbered from 1.
void ParseRotation(RotationList& list);

// The selection rules.  Expects rmethod0 (the PREROTATE= code, 0 when not
// given), gamma, tau, kvalue and hkpower (missing when not given) and the
// TARGET= flag already in the record.  Sets rmethod2 and rmethod0, the
// oblique and some-rotation flags, nrot, and copies the list into rmethod,
// rotparm and irotparm (nrotparm) from the step's pool.  Returns the number
// of the group-180 message the caller logs (115, a Procrustes rotation
// without TARGET=, with rc raised to 3000), or 0.
int select_rotations(COMSTR* com, const RotationList& list);

// Sets or clears the oblique-request flag for one rotation code; answers 1
// for the codes that give an oblique solution by themselves, 0 for
// Harris-Kaiser (oblique through its own transformation) and the rest.
int oblfact(COMSTR* com, int code);

// The parameters of the rotation at 1-based list position `position`.
std::vector<double> rotation_params(const COMSTR* com, int position);

}  // namespace kav
