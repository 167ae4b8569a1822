#include "host/csv.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "host/csv_sidecar.h"
#include "host/scratch_files.h"

namespace kav {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::string file_label(const std::string& display, const std::string& path) {
  if (display.empty() || display == path) return path;
  return display + " (" + path + ")";
}

std::string where_line(std::int64_t line) {
  return "line " + std::to_string(line);
}

// Line breaks in [p, lim): LF, CRLF and a lone CR each count once.
std::int64_t count_breaks(const char* p, const char* lim) {
  std::int64_t n = 0;
  for (; p < lim; ++p) {
    if (*p == '\n') {
      ++n;
    } else if (*p == '\r' && (p + 1 == lim || p[1] != '\n')) {
      ++n;
    }
  }
  return n;
}

// A value as written, quoted for a message: control bytes (a NUL above all,
// which would end the line on a terminal or vanish) are shown as escapes.
std::string quote_for_message(std::string_view text) {
  constexpr std::size_t kShown = 40;
  std::string s = "'";
  for (const char c : text.substr(0, kShown)) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      s += c;
    } else if (u == 0) {
      s += "\\0";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      s += hex;
    }
  }
  if (text.size() > kShown) s += "...";
  return s + "'";
}

bool equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  return t;
}

// The first `length` bytes of a value, cut back to a character boundary so
// no UTF-8 sequence is split.
std::size_t cut_length(std::string_view text, int length) {
  if (length <= 0 || text.size() <= static_cast<std::size_t>(length)) return text.size();
  std::size_t n = static_cast<std::size_t>(length);
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

// Plain decimals of at most 19 digits whose digits form an integer m below
// 2^53 and that have at most 22 decimals: m and 10^k are both exact doubles,
// so the single division m / 10^k is correctly rounded, the same double
// from_chars gives, at a fraction of the cost.  Anything else is left to
// from_chars.
bool parse_short_decimal(const char* p, const char* end, double& out) {
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const bool negative = *p == '-';
  p += negative;
  std::uint64_t m = 0;
  const char* const first = p;
  while (p < end && is_digit(*p)) m = m * 10 + static_cast<unsigned>(*p++ - '0');
  std::ptrdiff_t digits = p - first, decimals = 0;
  if (p < end && *p == '.') {
    const char* const point = ++p;
    while (p < end && is_digit(*p)) m = m * 10 + static_cast<unsigned>(*p++ - '0');
    decimals = p - point;
    digits += decimals;
  }
  if (p != end || digits == 0 || digits > 19 || decimals > 22 || m > (std::uint64_t{1} << 53))
    return false;
  const double v = static_cast<double>(m) / kPow10[decimals];
  out = negative ? -v : v;
  return true;
}

// A number that no double holds: an infinity, or a decimal beyond the range
// of double precision either way (1e309, 1e-400).
bool is_number_out_of_range(std::string_view t) {
  t = trim_blanks(t);
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) t.remove_prefix(1);
  if (equals_ignore_case(t, "inf") || equals_ignore_case(t, "infinity")) return true;
  if (t.empty() || !(is_digit(t[0]) || t[0] == '.')) return false;
  double scratch;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), scratch);
  return r.ec == std::errc::result_out_of_range && r.ptr == t.data() + t.size();
}

// Whether the text belongs in a numeric column: parse_csv_number accepts
// it, or it is a number out of range, which is read as a missing value with
// a note naming it rather than making the column character.  Plain decimals
// are recognised by their characters alone (any such text short of
// hundreds of digits is a finite double), the rest parsed.
bool is_csv_number(std::string_view t) {
  const char* p = t.data();
  const char* const end = p + t.size();
  if (p < end && *p == '-') ++p;
  const char* const first = p;
  while (p < end && is_digit(*p)) ++p;
  std::ptrdiff_t digits = p - first;
  if (p < end && *p == '.') {
    const char* const point = ++p;
    while (p < end && is_digit(*p)) ++p;
    digits += p - point;
  }
  if (p == end && digits > 0 && digits < 300) return true;
  double scratch;
  return parse_csv_number(t, scratch) || is_number_out_of_range(t);
}

bool parse_number_slow(std::string_view t, double& out) {
  t = trim_blanks(t);
  if (t.empty() || equals_ignore_case(t, "NA") || equals_ignore_case(t, "NaN") || t == ".") {
    out = missing_value();
    return true;
  }
  if (t.size() == 2 && t[0] == '.') {
    const char c = t[1];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') {
      out = special_missing(c);
      return true;
    }
  }
  if (t[0] == '+') t.remove_prefix(1);
  if (t.empty()) return false;
  // Only plain decimal numbers: no "inf", "nan" or a second sign.
  const std::size_t lead = (t[0] == '-') ? 1 : 0;
  if (t.size() <= lead || !(is_digit(t[lead]) || t[lead] == '.')) return false;
  auto r = std::from_chars(t.data(), t.data() + t.size(), out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

}  // namespace

// ---------------------------------------------------------------------------
// Numbers and fields

bool parse_csv_number(std::string_view t, double& out) {
  if (t.empty()) {
    out = missing_value();
    return true;
  }
  // The common case, a plain number, goes straight to from_chars; the first
  // characters are checked so that "nan" and "inf", which from_chars would
  // take, are never read as numbers.
  const char c0 = t[0];
  if (is_digit(c0) || (t.size() > 1 && (c0 == '-' || c0 == '.') &&
                       (is_digit(t[1]) || (c0 == '-' && t[1] == '.')))) {
    if (parse_short_decimal(t.data(), t.data() + t.size(), out)) return true;
    auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    if (r.ec == std::errc() && r.ptr == t.data() + t.size()) return true;
  }
  return parse_number_slow(t, out);
}

void append_csv_number(std::string& out, double value) {
  if (is_missing(value)) {
    const char letter = missing_letter(value);
    if (letter != '.') {
      out += '.';
      out += letter;
    }
    return;
  }
  std::array<char, 32> buf;
  auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  out.append(buf.data(), r.ptr);
}

void append_csv_field(std::string& out, std::string_view text, char delimiter) {
  bool quote = !text.empty() && (text.front() == ' ' || text.front() == '\t' ||
                                 text.back() == ' ' || text.back() == '\t');
  for (char c : text) {
    if (c == delimiter || c == '"' || c == '\n' || c == '\r') {
      quote = true;
      break;
    }
  }
  if (!quote) {
    out.append(text);
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// ---------------------------------------------------------------------------
// Records

CsvRecordReader::CsvRecordReader(const std::string& path, CsvRecordOptions opts)
    : path_(path), opts_(std::move(opts)) {
  display_ = file_label(opts_.display_name, path_);
  file_ = std::fopen(path_.c_str(), "rb");
  if (!file_) fail(0, "cannot open the file: " + std::string(std::strerror(errno)));
  // The reader keeps its own buffer; a second one inside stdio would only
  // add a copy.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  // A file smaller than a chunk gets a buffer of its own size (it is read
  // whole at once): the buffer is zero-filled when made, and every page of
  // it first touched costs a fault, which a small job would notice.
  std::size_t capacity = kChunk;
  struct stat st;
  if (::fstat(::fileno(file_), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0)
    capacity = std::clamp<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 64, kChunk);
  buf_.resize(capacity + 1);
  buf_[0] = '\0';
  stop_[static_cast<unsigned char>(opts_.delimiter)] = true;
  stop_[static_cast<unsigned char>('\n')] = true;
  stop_[static_cast<unsigned char>('\r')] = true;
  stop_[0] = true;  // the sentinel at the end of the data
}

CsvRecordReader::~CsvRecordReader() {
  if (file_) std::fclose(file_);
}

void CsvRecordReader::fail(std::int64_t line, const std::string& what) const {
  throw DataError(display_, line > 0 ? where_line(line) : std::string(), what);
}

bool CsvRecordReader::refill() {
  if (eof_) return false;
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, len_ - pos_);
    base_ += static_cast<std::int64_t>(pos_);
    len_ -= pos_;
    pos_ = 0;
  }
  // Grow when a record fills most of the buffer, so that a long record costs
  // a few large reads rather than many small ones.
  const std::size_t capacity = buf_.size() - 1;
  if (capacity - len_ < capacity / 4) buf_.resize(2 * capacity + 1);
  const std::size_t want = buf_.size() - 1 - len_;
  const std::size_t got = std::fread(buf_.data() + len_, 1, want, file_);
  if (got < want) {
    if (std::ferror(file_))
      fail(line_, "cannot read the file: " + std::string(std::strerror(errno)));
    eof_ = true;
  }
  len_ += got;
  buf_[len_] = '\0';
  return got > 0;
}

void CsvRecordReader::seek(std::int64_t offset, std::int64_t line) {
  line_ = line;
  // Within the buffer no read is needed: the buffer is kept as read.
  if (offset >= base_ && offset <= base_ + static_cast<std::int64_t>(len_)) {
    pos_ = static_cast<std::size_t>(offset - base_);
    return;
  }
  if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0)
    fail(line, "cannot seek in the file: " + std::string(std::strerror(errno)));
  std::clearerr(file_);
  base_ = offset;
  len_ = pos_ = 0;
  buf_[0] = '\0';
  eof_ = false;
}

bool CsvRecordReader::next() {
  if (base_ + static_cast<std::int64_t>(pos_) == 0) {
    while (len_ < 3 && refill()) {
    }
    if (len_ >= 3 && std::memcmp(buf_.data(), "\xEF\xBB\xBF", 3) == 0) pos_ = 3;
  }
  for (;;) {
    switch (parse_record(eof_)) {
      case Parse::Complete:
        return true;
      case Parse::End:
        return false;
      case Parse::NeedMore:
        refill();
        break;
    }
  }
}

CsvRecordReader::Parse CsvRecordReader::parse_record(bool at_eof) {
  const char* const begin = buf_.data();
  const char* const end = begin + len_;
  const char delim = opts_.delimiter;
  for (;;) {
    const char* p = begin + pos_;
    if (p == end) {
      if (!at_eof) return Parse::NeedMore;
      count_ = 0;
      return Parse::End;
    }
    std::size_t count = 0;
    std::int64_t inner_breaks = 0;  // line breaks inside quoted fields
    bool any_escaped = false;
    for (;;) {
      const char* start;
      const char* stop;
      bool quoted = false, escaped = false;
      if (p < end && *p == '"') {
        quoted = true;
        const std::int64_t field_line = line_ + inner_breaks;
        start = ++p;
        for (;;) {
          const char* hit = static_cast<const char*>(std::memchr(p, '"', end - p));
          if (!hit) {
            if (at_eof) fail(field_line, "a quoted field that starts on this line is never closed");
            return Parse::NeedMore;
          }
          inner_breaks += count_breaks(p, hit);
          p = hit + 1;
          if (p == end && !at_eof) return Parse::NeedMore;  // "" may continue
          if (p < end && *p == '"') {
            escaped = true;
            ++p;
            continue;
          }
          stop = hit;
          break;
        }
        if (p < end && *p != delim && *p != '\n' && *p != '\r')
          fail(line_ + inner_breaks,
               "unexpected text after the closing quote of a field: a quote inside a quoted "
               "field must be doubled");
      } else {
        start = p;
        for (;;) {
          while (!stop_[static_cast<unsigned char>(*p)]) ++p;
          if (*p == '\0' && p != end) {  // a NUL byte in the data, not the sentinel
            ++p;
            continue;
          }
          break;
        }
        stop = p;
      }
      if (count == fields_.size()) fields_.resize(2 * count + 8);
      fields_[count++] = {std::string_view(start, static_cast<std::size_t>(stop - start)), quoted,
                          escaped};
      any_escaped |= escaped;
      if (p == end) {
        if (!at_eof) return Parse::NeedMore;
        break;  // the last record has no line break
      }
      if (*p == delim) {
        ++p;
        continue;
      }
      if (*p == '\r') {
        ++p;
        if (p == end && !at_eof) return Parse::NeedMore;  // a LF may follow
        if (p < end && *p == '\n') ++p;
      } else {
        ++p;  // '\n'
      }
      break;
    }
    const bool blank = count == 1 && !fields_[0].quoted && fields_[0].text.empty();
    if (blank && opts_.skip_blank_lines) {
      pos_ = static_cast<std::size_t>(p - begin);
      ++line_;
      continue;
    }
    count_ = count;
    record_line_ = line_;
    record_offset_ = base_ + static_cast<std::int64_t>(pos_);
    line_ += 1 + inner_breaks;
    pos_ = static_cast<std::size_t>(p - begin);
    if (any_escaped) {
      // Reserve first so the views into unescaped_ stay valid.
      std::size_t total = 0;
      for (std::size_t i = 0; i < count; ++i)
        if (fields_[i].escaped) total += fields_[i].text.size();
      unescaped_.clear();
      unescaped_.reserve(total);
      for (std::size_t i = 0; i < count; ++i) {
        if (!fields_[i].escaped) continue;
        const std::size_t from = unescaped_.size();
        const std::string_view raw = fields_[i].text;
        for (std::size_t k = 0; k < raw.size(); ++k) {
          unescaped_ += raw[k];
          if (raw[k] == '"') ++k;  // the second quote of a doubled pair
        }
        fields_[i].text = std::string_view(unescaped_.data() + from, unescaped_.size() - from);
      }
    }
    return Parse::Complete;
  }
}

// ---------------------------------------------------------------------------
// Data set reader

namespace {

std::int64_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

// Line number at byte `offset`: one more than the line breaks before it.
std::int64_t line_at(const std::string& path, std::int64_t offset) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::vector<char> buf(kChunk);
  std::int64_t done = 0, breaks = 0;
  bool after_cr = false;
  while (done < offset) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::int64_t>(offset - done, buf.size()));
    const std::size_t got = std::fread(buf.data(), 1, want, f);
    if (got == 0) break;
    for (std::size_t i = 0; i < got; ++i) {
      const char c = buf[i];
      if (c == '\n') {
        if (!after_cr) ++breaks;
      } else if (c == '\r') {
        ++breaks;
      }
      after_cr = c == '\r';
    }
    done += static_cast<std::int64_t>(got);
  }
  std::fclose(f);
  return breaks + 1;
}

class CsvObsReader : public ObsReader {
 public:
  CsvObsReader(const std::string& path, const CsvReadOptions& opts)
      : records_(path, CsvRecordOptions{opts.delimiter, true, opts.name}) {
    label_ = records_.display_name();
    header_.name = opts.name.empty() ? path : opts.name;
    if (!records_.next())
      throw DataError(label_, "",
                      "the file is empty; a CSV data set needs a header row of variable names");
    const std::int64_t header_line = records_.line();
    const std::size_t ncols = records_.size();

    const auto sidecar = read_csv_sidecar(path, label_);
    if (sidecar) {
      header_.type = sidecar->type;
      header_.label = sidecar->label;
    }

    // The sidecar's variables by name as written and ignoring case (the
    // first of each), so that matching the columns costs one look-up each.
    std::unordered_map<std::string, const Variable*> sidecar_exact, sidecar_folded;
    if (sidecar)
      for (const Variable& v : sidecar->vars) {
        sidecar_exact.emplace(v.name, &v);
        sidecar_folded.emplace(upper(v.name), &v);
      }
    std::vector<std::string> written(ncols);
    header_.vars.reserve(ncols);
    std::vector<bool> known(ncols, false);  // kind and length given by the sidecar
    std::string renamed, missing_from_sidecar;
    for (std::size_t i = 0; i < ncols; ++i) {
      // Blanks around an unquoted name are layout; quotes keep them.
      written[i] = std::string(records_.quoted(i) ? records_[i] : trim_blanks(records_[i]));
      if (written[i].find_first_not_of(" \t") == std::string::npos)
        throw DataError(label_, where_line(header_line),
                        "column " + std::to_string(i + 1) +
                            " of the header row has no name; every column needs one");
      Variable var;
      var.name = written[i];
      if (sidecar) {
        const Variable* match = nullptr;
        if (auto e = sidecar_exact.find(written[i]); e != sidecar_exact.end())
          match = e->second;
        else if (auto f = sidecar_folded.find(upper(written[i])); f != sidecar_folded.end())
          match = f->second;
        if (match) {
          var = *match;
          var.name = written[i];
          known[i] = true;
        } else {
          missing_from_sidecar += (missing_from_sidecar.empty() ? "" : ", ") + written[i];
        }
      }
      if (!is_valid_name(var.name, opts.validvarname)) {
        var.name = make_valid_name(var.name, opts.validvarname);
        renamed += (renamed.empty() ? "" : ", ") + quote_for_message(written[i]) + " to " +
                   name_literal(var.name);
      }
      header_.vars.push_back(std::move(var));
    }
    std::unordered_map<std::string, std::size_t> first_with_name;
    first_with_name.reserve(ncols);
    for (std::size_t i = 0; i < ncols; ++i) {
      auto [at, fresh] = first_with_name.emplace(upper(header_.vars[i].name), i);
      if (fresh) continue;
      const std::size_t k = at->second;
      throw DataError(label_, where_line(header_line),
                      "columns " + std::to_string(k + 1) + " (" + quote_for_message(written[k]) +
                          ") and " + std::to_string(i + 1) + " (" + quote_for_message(written[i]) +
                          ") both give the name " + name_literal(header_.vars[i].name) +
                          "; variable names must differ (ignoring case)");
    }
    if (!renamed.empty())
      notes_.push_back(label_ + ": column names that are not valid under VALIDVARNAME=" +
                       validvarname_text(opts.validvarname) + " were changed: " + renamed + ".");
    if (sidecar && !missing_from_sidecar.empty())
      notes_.push_back(label_ + ": the sidecar file does not describe the column(s) " +
                       missing_from_sidecar + "; their types were inferred from the values.");

    data_offset_ = records_.next_offset();
    data_line_ = records_.next_line();
    if (std::find(known.begin(), known.end(), false) != known.end()) {
      infer_types(known);
      records_.seek(data_offset_, data_line_);
    } else if (sidecar->observations >= 0 && sidecar->csv_bytes == file_size(path)) {
      count_ = sidecar->observations;
    }
    numeric_.resize(ncols);
    for (std::size_t i = 0; i < ncols; ++i) numeric_[i] = header_.vars[i].is_numeric() ? 1 : 0;
    remember_line(data_offset_, data_line_);
  }

  const DataSetHeader& header() const override { return header_; }
  // Rows kept while inferring are copied, not parsed.
  ReadCost read_cost() const override { return cached_ ? ReadCost::Copy : ReadCost::Parse; }

  bool next(Observation& obs) override {
    if (cached_) return next_cached(obs);
    if (!records_.next()) return false;
    const std::size_t n = numeric_.size();
    if (records_.size() != n) ragged(records_.line(), records_.size());
    if (obs.num.size() != n || obs.str.size() != n) obs.resize(n);
    const bool first_pass = number_ > high_water_;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view f = records_[i];
      if (numeric_[i]) {
        if (!parse_csv_number(f, obs.num[i])) {
          obs.num[i] = missing_value();
          if (first_pass && bad_numbers_++ == 0)
            first_bad_ = quote_for_message(f) + " in column " + name_literal(header_.vars[i].name) +
                         " on " + where_line(records_.line());
        }
      } else {
        const std::size_t keep = cut_length(f, header_.vars[i].length);
        if (keep < f.size() && first_pass && cut_values_++ == 0)
          first_cut_ =
              "column " + name_literal(header_.vars[i].name) + " on " + where_line(records_.line());
        obs.str[i].assign(f.data(), keep);
      }
    }
    if (first_pass) high_water_ = number_;
    ++number_;
    return true;
  }

  ObsPosition note() const override {
    if (cached_) {
      remember_line(row_offset(cursor_), row_line(cursor_));
      return {row_offset(cursor_), number_};
    }
    remember_line(records_.next_offset(), records_.next_line());
    return {records_.next_offset(), number_};
  }

  void point(const ObsPosition& pos) override {
    if (cached_) {
      // Row r starts where row r - 1 ended.
      const auto at = std::lower_bound(row_end_.begin(), row_end_.end(), pos.offset);
      if (pos.offset == data_offset_ || (at != row_end_.end() && *at == pos.offset)) {
        cursor_ = pos.offset == data_offset_ ? 0 : (at - row_end_.begin()) + 1;
        number_ = pos.number;
        return;
      }
      drop_cache();  // not a row start: read the file from there
    }
    std::int64_t line = 0;
    for (const auto& [offset, l] : lines_)
      if (offset == pos.offset && l > 0) line = l;
    if (line == 0) line = line_at(records_.path(), pos.offset);
    records_.seek(pos.offset, line);
    number_ = pos.number;
  }

  std::int64_t count_hint() const override { return count_; }

  std::vector<std::string> take_notes() override {
    if (bad_numbers_ > 0) {
      notes_.push_back(label_ + ": " + std::to_string(bad_numbers_) +
                       (bad_numbers_ == 1 ? " value" : " values") +
                       " in numeric columns could not be read as numbers and became missing "
                       "values; the first is " +
                       first_bad_ + ".");
      bad_numbers_ = 0;
    }
    if (cut_values_ > 0) {
      notes_.push_back(label_ + ": " + std::to_string(cut_values_) +
                       (cut_values_ == 1 ? " value was" : " values were") +
                       " longer than the length of their character variable and were cut; the "
                       "first is in " +
                       first_cut_ + ".");
      cut_values_ = 0;
    }
    return std::exchange(notes_, {});
  }

 private:
  [[noreturn]] void ragged(std::int64_t line, std::size_t fields) const {
    throw DataError(label_, where_line(line),
                    "the row has " + std::to_string(fields) + (fields == 1 ? " field" : " fields") +
                        " but the header row has " + std::to_string(header_.vars.size()) +
                        " columns");
  }

  // The rows served from what the inference kept: its values, and where
  // each row ends and on which line the next starts.
  bool next_cached(Observation& obs) {
    const std::size_t n = numeric_.size();
    if (cursor_ >= static_cast<std::int64_t>(row_end_.size())) return false;
    if (obs.num.size() != n || obs.str.size() != n) obs.resize(n);
    const double* v = values_.data() + static_cast<std::size_t>(cursor_) * n;
    std::copy(v, v + n, obs.num.begin());
    if (number_ > high_water_) {
      // The values beyond double precision of this row, counted once.
      for (auto b = std::lower_bound(bad_.begin(), bad_.end(), BadValue{cursor_, 0, {}});
           b != bad_.end() && b->row == cursor_; ++b)
        if (bad_numbers_++ == 0) first_bad_ = b->text;
      high_water_ = number_;
    }
    ++cursor_;
    ++number_;
    return true;
  }

  std::int64_t row_offset(std::int64_t r) const {
    return r == 0 ? data_offset_ : row_end_[static_cast<std::size_t>(r - 1)];
  }
  std::int64_t row_line(std::int64_t r) const {
    return r == 0 ? data_line_ : row_next_line_[static_cast<std::size_t>(r - 1)];
  }

  // Back to reading the file, from where the cache had got to.
  void drop_cache() {
    const std::int64_t offset = row_offset(cursor_), line = row_line(cursor_);
    cached_ = false;
    std::vector<double>().swap(values_);
    std::vector<std::int64_t>().swap(row_end_);
    std::vector<std::int64_t>().swap(row_next_line_);
    records_.seek(offset, line);
  }

  // One pass over the rows for the columns the sidecar does not describe: a
  // column is numeric while every value reads as a number or a missing value,
  // and a character column is as long as its longest value.  When no
  // sidecar describes any column and every column stays numeric, the values
  // read are kept (up to kCacheBytes) and the data are served from them: the
  // file is read and parsed once.
  void infer_types(const std::vector<bool>& known) {
    const std::size_t n = known.size();
    std::vector<std::size_t> open;  // columns still taken as numeric
    for (std::size_t i = 0; i < n; ++i)
      if (!known[i]) open.push_back(i);
    std::vector<std::size_t> longest(n, 0);
    std::vector<char> text(n, 0);
    std::int64_t rows = 0;
    bool keep = open.size() == n && n > 0;
    // Room for as many values as the file could hold (each takes at least a
    // digit and a delimiter), so that the values are never copied to a
    // larger block; pages not written cost nothing.
    if (keep)
      values_.reserve(static_cast<std::size_t>(std::min(
          kCacheBytes / 8, std::max<std::int64_t>(0, file_size(records_.path())) / 2 + 1)));
    while (records_.next()) {
      if (records_.size() != n) ragged(records_.line(), records_.size());
      ++rows;
      if (keep && (rows * static_cast<std::int64_t>(n) * 8 > kCacheBytes)) {
        keep = false;
        std::vector<double>().swap(values_);
        std::vector<BadValue>().swap(bad_);
      }
      if (keep) {
        // Every column is still open, in column order: parse once, keep.
        for (std::size_t i = 0; i < n && keep; ++i) {
          double v;
          const std::string_view f = records_[i];
          if (parse_csv_number(f, v)) {
            values_.push_back(v);
          } else if (is_number_out_of_range(f)) {
            values_.push_back(missing_value());
            bad_.push_back({rows - 1, i,
                            quote_for_message(f) + " in column " +
                                name_literal(header_.vars[i].name) + " on " +
                                where_line(records_.line())});
          } else {
            keep = false;  // a text column: read the file again as before
            std::vector<double>().swap(values_);
            std::vector<BadValue>().swap(bad_);
          }
        }
        if (keep) {
          row_end_.push_back(records_.next_offset());
          row_next_line_.push_back(records_.next_line());
          for (std::size_t i = 0; i < n; ++i) longest[i] = std::max(longest[i], records_[i].size());
          continue;
        }
        std::vector<std::int64_t>().swap(row_end_);
        std::vector<std::int64_t>().swap(row_next_line_);
      }
      for (std::size_t k = 0; k < open.size();) {
        const std::size_t i = open[k];
        if (is_csv_number(records_[i])) {
          ++k;
          continue;
        }
        text[i] = 1;
        // Before this row, a column still numeric with a value of some
        // length held numbers: a stray value made it character, which is
        // worth a note naming it.
        if (longest[i] > 0)
          notes_.push_back(label_ + ": column " + name_literal(header_.vars[i].name) +
                           " is read as character: its value " + quote_for_message(records_[i]) +
                           " on " + where_line(records_.line()) +
                           " is not a number, though every value before it is a number or a "
                           "missing value. To read the column as numeric, correct that value or "
                           "leave it empty.");
        open[k] = open.back();
        open.pop_back();
      }
      for (std::size_t i = 0; i < n; ++i) longest[i] = std::max(longest[i], records_[i].size());
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (known[i]) continue;
      Variable& v = header_.vars[i];
      v.kind = text[i] ? VarKind::Character : VarKind::Numeric;
      v.length = text[i] ? static_cast<int>(std::max<std::size_t>(1, longest[i])) : 8;
    }
    count_ = rows;
    cached_ = keep;
  }

  void remember_line(std::int64_t offset, std::int64_t line) const {
    lines_[next_slot_] = {offset, line};
    next_slot_ = (next_slot_ + 1) % lines_.size();
  }

  // Values beyond double precision met while the values were kept: the
  // row (from 0), the column, and the text of the note.
  struct BadValue {
    std::int64_t row;
    std::size_t column;
    std::string text;
    bool operator<(const BadValue& o) const { return row < o.row; }
  };
  static constexpr std::int64_t kCacheBytes = std::int64_t{256} << 20;

  CsvRecordReader records_;
  bool cached_ = false;         // the rows come from values_
  std::vector<double> values_;  // row by row
  std::vector<std::int64_t> row_end_, row_next_line_;
  std::vector<BadValue> bad_;
  std::int64_t cursor_ = 0;  // the cached row next() returns
  std::string label_;
  DataSetHeader header_;
  std::vector<char> numeric_;
  std::int64_t data_offset_ = 0, data_line_ = 0;
  std::int64_t count_ = -1;
  std::int64_t number_ = 1;      // number of the observation next() returns
  std::int64_t high_water_ = 0;  // highest observation read so far
  std::vector<std::string> notes_;
  std::int64_t bad_numbers_ = 0, cut_values_ = 0;
  std::string first_bad_, first_cut_;
  // Line numbers of recently noted positions, so that errors after point()
  // still name the right line without counting from the start of the file.
  mutable std::array<std::pair<std::int64_t, std::int64_t>, 16> lines_{};
  mutable std::size_t next_slot_ = 0;
};

// ---------------------------------------------------------------------------
// Data set writer

class CsvObsWriter : public ObsWriter {
 public:
  CsvObsWriter(const std::string& path, DataSetHeader header)
      : path_(path), header_(std::move(header)) {
    label_ = file_label(header_.name, path_);
    remove_stale_temps(path_);
    remove_stale_temps(csv_sidecar_path(path_));
    temp_ = create_temp_beside(path_, file_);
    if (temp_.empty())
      throw DataError(label_, "",
                      "cannot create a file next to " + path_ + ": " + std::strerror(errno));
    std::setvbuf(file_, nullptr, _IONBF, 0);
    for (std::size_t i = 0; i < header_.vars.size(); ++i) {
      if (i > 0) buffer_ += ',';
      append_csv_field(buffer_, header_.vars[i].name);
    }
    if (header_.vars.size() == 1 && buffer_.empty()) buffer_ = "\"\"";
    buffer_ += '\n';
    buffer_.reserve(kChunk + kChunk / 4);
  }

  ~CsvObsWriter() override {
    if (file_) std::fclose(file_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
  }

  const DataSetHeader& header() const override { return header_; }

  void write(const Observation& obs) override {
    if (committed_) throw std::logic_error("CSV data set written after commit: " + label_);
    const std::size_t n = header_.vars.size();
    const std::size_t row_start = buffer_.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) buffer_ += ',';
      const Variable& v = header_.vars[i];
      if (v.is_numeric()) {
        append_csv_number(buffer_, i < obs.num.size() ? obs.num[i] : missing_value());
      } else if (i < obs.str.size()) {
        const std::string& s = obs.str[i];
        append_csv_field(buffer_, std::string_view(s.data(), cut_length(s, v.length)));
      }
    }
    // A one-column row with an empty value would be a blank line, which
    // readers skip; a quoted empty field keeps the observation.
    if (buffer_.size() == row_start) buffer_ += "\"\"";
    buffer_ += '\n';
    ++rows_;
    if (buffer_.size() >= kChunk) flush();
  }

  void commit() override {
    if (committed_) return;
    flush();
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) failed("cannot finish writing " + temp_);
    // The sidecar goes first, carrying the facts of the data set it replaces
    // until the CSV's rename, the one step that commits; see CsvSidecarCommit.
    CsvSidecarCommit how;
    how.csv_digest = digest_.text();
    struct stat st;
    const bool replacing = ::stat(path_.c_str(), &st) == 0;
    if (replacing) how.replaced_csv = path_;
    put_sidecar(csv_sidecar_text(header_, rows_, bytes_, how), /*required=*/true);
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
      const int err = errno;
      restore_sidecar(replacing);
      errno = err;
      failed("cannot rename " + temp_ + " to " + path_);
    }
    committed_ = true;
    // The data set is in place; a sidecar that still carries the old one's
    // facts is only slower to open, so failing to tidy it up is no error.
    if (replacing) {
      how.replaced_csv.clear();
      put_sidecar(csv_sidecar_text(header_, rows_, bytes_, how), /*required=*/false);
    }
  }

 private:
  // Writes the sidecar to a temporary file and renames it into place.
  void put_sidecar(const std::string& text, bool required) {
    const std::string sidecar = csv_sidecar_path(path_);
    std::FILE* side = nullptr;
    const std::string side_temp = create_temp_beside(sidecar, side, path_);
    if (side_temp.empty()) {
      if (required) failed("cannot create a file next to " + sidecar);
      return;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), side) == text.size();
    const bool closed = std::fclose(side) == 0;
    const bool renamed = written && closed && std::rename(side_temp.c_str(), sidecar.c_str()) == 0;
    if (renamed) return;
    const int err = errno;
    ::unlink(side_temp.c_str());
    errno = err;
    if (required) failed("cannot write " + sidecar);
  }

  // Puts back the sidecar of the data set that stays, so that it does not
  // go on carrying the facts of a commit that did not happen.
  void restore_sidecar(bool replacing) {
    const std::string sidecar = csv_sidecar_path(path_);
    const std::string old = replacing ? csv_sidecar_in_force(path_) : std::string();
    if (old.empty())
      ::unlink(sidecar.c_str());
    else
      put_sidecar(old, /*required=*/false);
  }

  void flush() {
    if (buffer_.empty()) return;
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
      failed("cannot write " + temp_);
    digest_.add(buffer_);
    bytes_ += static_cast<std::int64_t>(buffer_.size());
    buffer_.clear();
  }

  [[noreturn]] void failed(const std::string& what) {
    throw DataError(label_, "", what + ": " + std::strerror(errno));
  }

  std::string path_, label_, temp_;
  DataSetHeader header_;
  std::FILE* file_ = nullptr;
  std::string buffer_;
  std::int64_t rows_ = 0, bytes_ = 0;
  CsvDigest digest_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<ObsReader> open_csv_reader(const std::string& path, const CsvReadOptions& opts) {
  return std::make_unique<CsvObsReader>(path, opts);
}

std::unique_ptr<ObsWriter> open_csv_writer(const std::string& path, DataSetHeader header) {
  return std::make_unique<CsvObsWriter>(path, std::move(header));
}

}  // namespace kav
