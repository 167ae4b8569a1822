// Keeps the TARGET= data set's BY groups in step with the input's: for each
// input group the target is moved forward to the group with the same BY
// values.  An input group that the target has no group for is skipped.
#include <string>

#include "factor/state/factds.h"

namespace kav {

namespace {

// The BY values of a group, taken from its first observation; the group is
// left at its start.  The group may have been read already (a Procrustes
// rotation reads its target), so it is rewound first.
Observation first_of_group(FACTINDS* ds) {
  Observation obs;
  ds->groups->xbyrwnd();
  if (!ds->groups->next(obs)) obs.resize(ds->reader->header().vars.size());
  ds->groups->xbyrwnd();
  return obs;
}

std::string trimmed(const std::string& s) {
  std::size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}

// <0, 0, >0 as the target's group comes before, at or after the input's in
// the input's BY order.
int compare_groups(FACTINDS* source, const Observation& in, FACTINDS* target,
                   const Observation& tg) {
  const DataSetHeader& sh = source->reader->header();
  const DataSetHeader& th = target->reader->header();
  for (const ByVariable& b : source->groups->variables()) {
    int si = sh.find(b.name), ti = th.find(b.name);
    if (si < 0 || ti < 0) return 1;
    auto s = static_cast<std::size_t>(si), t = static_cast<std::size_t>(ti);
    int c;
    if (sh.vars[s].is_numeric() != th.vars[t].is_numeric()) return 1;
    if (sh.vars[s].is_numeric()) {
      c = compare_numeric_values(tg.num[t], in.num[s]);
    } else {
      c = trimmed(tg.str[t]).compare(trimmed(in.str[s]));
      c = c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    if (b.descending) c = -c;
    if (c != 0) return c;
  }
  return 0;
}

}  // namespace

int zbysync(FACTINDS* source, FACTINDS* target, int targbyrc) {
  if (!target || !source || targbyrc != 0 || !source->groups->has_by()) return 0;
  if (target->done) return 1;
  if (target->group == 0 && factbynext(target) == 0) return 1;
  Observation in = first_of_group(source);
  for (;;) {
    Observation tg = first_of_group(target);
    int c = compare_groups(source, in, target, tg);
    if (c == 0) return 0;
    if (c > 0) return 1;  // the target has no group for these values
    if (factbynext(target) == 0) return 1;
  }
}

}  // namespace kav
