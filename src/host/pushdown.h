// The moment pass run where the data live.  A reader of a database table
// can compute a procedure's means and crossproducts in SQL, so that only
// p(p+1)/2 numbers per BY group come back instead of every row.  This header
// is the procedure's view of that service: standard C++ only.
#pragma once

#include <string>
#include <vector>

#include "host/bygroup.h"

namespace kav {

// What the procedure's own pass would accumulate: the variables (positions
// in the header), the FREQ and WEIGHT variables (-1 for none), whether the
// crossproducts are centred, and the BY variables.  An observation is used
// when its frequency is at least 1 (counted as its whole part), its weight
// is positive, and no variable is missing.
struct MomentRequest {
  std::vector<int> vars;
  int freq = -1;
  int weight = -1;
  bool noint = false;
  std::vector<ByVariable> by;
};

// The sums of one BY group.  c is the product of the frequency's whole part
// and the weight of an observation used.
struct GroupMoments {
  double nread = 0;             // observations in the group
  double nused = 0;             // observations used
  double nmiss = 0;             // left out for a missing variable
  double nzero = 0;             // left out for a missing or non-positive frequency or weight
  double sum_freqs_read = 0;    // frequencies of the observations with a usable frequency
  double sum_weights_read = 0;  // c of the observations with a usable frequency and weight
  double nobs = 0;              // frequencies of the observations used
  double sumwgt = 0;            // c of the observations used
  std::vector<double> sums;     // sum of c x per variable
  std::vector<double> cross;    // packed triangle: sum of c (x - mean)(y - mean), or of c x y with NOINT
  std::vector<double> nonmissing;  // observations in which each variable has a value
};

// Offered by readers that can push the pass down (found by dynamic_cast).
class MomentSource {
 public:
  virtual ~MomentSource() = default;
  // Computes the sums of every BY group where the data live, the groups in
  // BY order.  Afterwards the reader returns one observation per group,
  // holding its BY values only.  Throws DataError when the database fails.
  virtual void push_down(const MomentRequest& request) = 0;
  virtual bool pushed_down() const = 0;
  // The sums of group `group` (1-based, in the order of the observations).
  virtual const GroupMoments& group_moments(int group) const = 0;
  // "SQLite", "PostgreSQL".
  virtual std::string engine_name() const = 0;
};

}  // namespace kav
