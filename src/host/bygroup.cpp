#include "host/bygroup.h"

#include "host/host_messages.h"

namespace kav {

namespace {
int missing_rank(double v) {
  char c = missing_letter(v);
  if (c == '_') return 0;
  if (c == '.') return 1;
  return 2 + (c - 'A');
}
std::string rtrim(const std::string& s) {
  std::size_t e = s.find_last_not_of(' ');
  return e == std::string::npos ? std::string() : s.substr(0, e + 1);
}
}  // namespace

int compare_numeric_values(double a, double b) {
  bool ma = is_missing(a), mb = is_missing(b);
  if (ma && mb) {
    int ra = missing_rank(a), rb = missing_rank(b);
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
  }
  if (ma) return -1;
  if (mb) return 1;
  return a < b ? -1 : (a > b ? 1 : 0);
}

ByGroups::ByGroups(ObsReader& reader, std::vector<ByVariable> vars, bool notsorted)
    : reader_(reader), vars_(std::move(vars)), notsorted_(notsorted) {
  for (const auto& v : vars_) {
    int k = reader_.header().find(v.name);
    if (k < 0)
      throw DataError(reader_.header().name, "",
                      "BY variable " + v.name + " is not in the data set");
    index_.push_back(k);
  }
}

bool ByGroups::read_ahead() {
  ahead_pos_ = reader_.note();
  have_ahead_ = reader_.next(ahead_);
  return have_ahead_;
}

bool ByGroups::same_key(const Observation& a, const Observation& b) const {
  return compare_keys(a, b) == 0;
}

int ByGroups::compare_keys(const Observation& a, const Observation& b) const {
  for (std::size_t k = 0; k < index_.size(); ++k) {
    int i = index_[k];
    int c;
    if (reader_.header().vars[static_cast<std::size_t>(i)].is_numeric()) {
      double x = a.num[static_cast<std::size_t>(i)], y = b.num[static_cast<std::size_t>(i)];
      // Two missing values of the same kind are the same group.
      c = compare_numeric_values(x, y);
    } else {
      std::string x = rtrim(a.str[static_cast<std::size_t>(i)]);
      std::string y = rtrim(b.str[static_cast<std::size_t>(i)]);
      c = x < y ? -1 : (x > y ? 1 : 0);
    }
    if (c != 0) return vars_[k].descending ? -c : c;
  }
  return 0;
}

int ByGroups::xbynext() {
  if (!started_) {
    started_ = true;
    read_ahead();
    if (!have_ahead_ && index_.empty()) {
      // A data set without observations is still one (empty) group.
      group_ = 1;
      in_group_ = false;
      start_ = ahead_pos_;
      return group_;
    }
  } else {
    Observation skip;
    while (next(skip)) {
    }
  }
  if (!have_ahead_) return 0;
  if (group_ > 0 && !notsorted_ && !index_.empty() && compare_keys(ahead_, key_) < 0) {
    std::string names;
    for (const auto& v : vars_) names += (names.empty() ? "" : " ") + v.name;
    throw DataError(reader_.header().name, "observation " + std::to_string(ahead_pos_.number),
                    "the data are not sorted by " + names + ": observation " +
                        std::to_string(ahead_pos_.number) +
                        " comes after a later BY group. Sort the data, or add NOTSORTED to the "
                        "BY statement if the groups are contiguous");
  }
  key_ = ahead_;
  start_ = ahead_pos_;
  in_group_ = true;
  return ++group_;
}

bool ByGroups::next(Observation& obs) {
  if (!in_group_ || !have_ahead_) {
    in_group_ = false;
    return false;
  }
  if (!index_.empty() && !same_key(ahead_, key_)) {
    in_group_ = false;
    return false;
  }
  std::swap(obs, ahead_);
  read_ahead();
  return true;
}

void ByGroups::xbyrwnd() {
  reader_.point(start_);
  read_ahead();
  in_group_ = have_ahead_;
}

std::vector<std::string> ByGroups::key_text() const {
  std::vector<std::string> out;
  for (int i : index_) {
    const auto& var = reader_.header().vars[static_cast<std::size_t>(i)];
    if (var.is_numeric()) {
      double v = key_.num[static_cast<std::size_t>(i)];
      if (is_missing(v)) {
        out.push_back(missing_text(v));
      } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.12g", v);
        out.push_back(buf);
      }
    } else {
      out.push_back(rtrim(key_.str[static_cast<std::size_t>(i)]));
    }
  }
  return out;
}

bool ByGroups::key_is_numeric(std::size_t k) const {
  return reader_.header().vars[static_cast<std::size_t>(index_.at(k))].is_numeric();
}

double ByGroups::key_number(std::size_t k) const {
  return key_.num[static_cast<std::size_t>(index_.at(k))];
}

std::string ByGroups::key_string(std::size_t k) const {
  return rtrim(key_.str[static_cast<std::size_t>(index_.at(k))]);
}

std::string ByGroups::key_line() const {
  auto t = key_text();
  std::string s;
  for (std::size_t k = 0; k < t.size(); ++k) s += (k ? " " : "") + vars_[k].name + "=" + t[k];
  return s;
}

}  // namespace kav
