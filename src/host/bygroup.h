// BY groups over a sequential reader: steps walk the groups one by one, read
// a group's observations, and can go back to the group's first observation.
#pragma once

#include <string>
#include <vector>

#include "host/dataset.h"

namespace kav {

struct ByVariable {
  std::string name;
  bool descending = false;
};

class ByGroups {
 public:
  // Throws DataError when a BY variable is not in the data set.  Without BY
  // variables the whole data set is one group (present even when empty).
  ByGroups(ObsReader& reader, std::vector<ByVariable> vars, bool notsorted = false);

  // Moves to the next BY group: returns its 1-based number, or 0 when no
  // group is left.  Unread observations of the current group are skipped.
  // Throws DataError when the data are not in BY order (unless NOTSORTED).
  int xbynext();
  // The next observation of the current group; false at the group's end.
  bool next(Observation& obs);
  // Returns to the current group's first observation.
  void xbyrwnd();

  bool has_by() const { return !index_.empty(); }
  const std::vector<ByVariable>& variables() const { return vars_; }
  // The BY values of the current group, one text per BY variable, as they
  // would print ("north", "3", ".").
  std::vector<std::string> key_text() const;
  // "region=north sex=F"
  std::string key_line() const;
  // The exact BY value k of the current group: the number of a numeric BY
  // variable (missing values included), or the text of a character one
  // without trailing blanks.
  bool key_is_numeric(std::size_t k) const;
  double key_number(std::size_t k) const;
  std::string key_string(std::size_t k) const;
  // Observation number (1-based) of the current group's first observation.
  std::int64_t first_observation() const { return start_.number; }
  const DataSetHeader& header() const { return reader_.header(); }
  ObsReader::ReadCost read_cost() const { return reader_.read_cost(); }
  ObsReader& reader() { return reader_; }

 private:
  bool read_ahead();
  bool same_key(const Observation& a, const Observation& b) const;
  int compare_keys(const Observation& a, const Observation& b) const;

  ObsReader& reader_;
  std::vector<ByVariable> vars_;
  std::vector<int> index_;
  bool notsorted_;
  int group_ = 0;
  bool started_ = false;
  Observation ahead_;
  ObsPosition ahead_pos_;
  bool have_ahead_ = false;
  Observation key_;
  ObsPosition start_;
  bool in_group_ = false;
};

// Sort order of numeric BY values: missing values first (._ then . then
// .A to .Z), then numbers.
int compare_numeric_values(double a, double b);

}  // namespace kav
