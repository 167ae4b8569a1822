// What the database engines share: column kinds, kav's metadata table, the
// reader of a table or view, and the moment pass in SQL.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "host/db_engine.h"
#include "host/host_messages.h"
#include "host/library.h"
#include "host/pushdown.h"

namespace kav {

std::string db_quote_name(const std::string& name) {
  std::string s = "\"";
  for (char c : name) s += c == '"' ? std::string("\"\"") : std::string(1, c);
  return s + "\"";
}

std::string db_quote_text(const std::string& text) {
  std::string s = "'";
  for (char c : text) s += c == '\'' ? std::string("''") : std::string(1, c);
  return s + "'";
}

std::string db_number(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string db_column_type(const Variable& v) {
  if (v.is_numeric()) return "DOUBLE PRECISION";
  return "VARCHAR(" + std::to_string(v.length < 1 ? 1 : v.length) + ")";
}

void db_classify(DbColumn& col) {
  const std::string& t = col.type;
  auto has = [&t](const char* s) { return t.find(s) != std::string::npos; };
  col.supported = true;
  if (has("char") || has("text") || has("clob") || t == "name") {
    col.kind = VarKind::Character;
    // VARCHAR(n) and CHAR(n) keep their width; TEXT gets one from its values.
    const auto open = t.find('(');
    col.length = open == std::string::npos ? 0 : std::atoi(t.c_str() + open + 1);
    return;
  }
  col.kind = VarKind::Numeric;
  col.length = 8;
  if (has("interval") || has("point")) {
    col.supported = false;
    return;
  }
  static const char* numeric[] = {"int", "real", "floa", "doub", "numeric", "decimal", "serial"};
  for (const char* n : numeric)
    if (has(n)) return;
  col.supported = false;  // blob, bytea, date, boolean, json, ...
}

std::string db_meta_create_sql() {
  return std::string("CREATE TABLE IF NOT EXISTS ") + kDbMetaTable +
         " (member VARCHAR(256) PRIMARY KEY, dstype VARCHAR(8), label TEXT, varlabels TEXT)";
}

std::vector<std::string> db_meta_write_sql(const std::string& table, const DataSetHeader& h) {
  nlohmann::json labels = nlohmann::json::object();
  for (const Variable& v : h.vars)
    if (!v.label.empty()) labels[v.name] = v.label;
  return {std::string("DELETE FROM ") + kDbMetaTable + " WHERE member = " + db_quote_text(table),
          std::string("INSERT INTO ") + kDbMetaTable + " VALUES (" + db_quote_text(table) + ", " +
              db_quote_text(h.type) + ", " + db_quote_text(h.label) + ", " +
              db_quote_text(labels.dump()) + ")"};
}

void (*db_test_hook)(const char* event) = nullptr;

namespace {

void hook(const char* event) {
  if (db_test_hook) db_test_hook(event);
}

}  // namespace

DbStepWrites::~DbStepWrites() {
  if (!finished_) rollback();
}

DbConnection& DbStepWrites::connection() {
  if (finished_) throw DbFailure("the step's transaction has already ended");
  if (!conn_) {
    auto c = lib_->connect();
    for (const std::string& s : lib_->begin_sql()) c->exec(s);
    conn_ = std::move(c);
  }
  return *conn_;
}

int DbStepWrites::open(std::vector<std::string> discard) {
  Writer w;
  w.discard = std::move(discard);
  writers_.push_back(std::move(w));
  return static_cast<int>(writers_.size()) - 1;
}

void DbStepWrites::stage(int id, std::string table, std::string display,
                         std::vector<std::string> publish, std::int64_t special) {
  Writer& w = writers_.at(static_cast<std::size_t>(id));
  w.open = false;
  w.staged = true;
  w.table = std::move(table);
  w.display = std::move(display);
  w.publish = std::move(publish);
  w.special = special;
}

void DbStepWrites::abandon(int id) {
  if (id < 0) return;
  Writer& w = writers_.at(static_cast<std::size_t>(id));
  if (!w.open) return;
  w.open = false;
  if (finished_ || !conn_) return;
  try {
    for (const std::string& s : w.discard) conn_->exec(s);
  } catch (const DbFailure&) {
    // A transaction that cannot drop the scratch cannot commit either: the
    // commit reports it.
  }
}

void DbStepWrites::hold_note(int id, std::vector<std::string> args) {
  writers_.at(static_cast<std::size_t>(id)).note = std::move(args);
}

void DbStepWrites::rollback() {
  finished_ = true;
  if (!conn_) return;
  try {
    conn_->exec("ROLLBACK");
  } catch (const DbFailure&) {
    // The connection is gone: the server has rolled back already.
  }
}

std::vector<DbMessage> DbStepWrites::finish(bool commit, bool& failed) {
  failed = false;
  std::vector<DbMessage> out;
  if (finished_) return out;
  if (!conn_) {
    finished_ = true;
    return out;
  }
  const std::string where = " of library " + lib_->libref() + " in the " + lib_->describe();
  auto unchanged = [&](std::vector<DbMessage>& msgs) {
    for (const Writer& w : writers_)
      if (w.staged) msgs.push_back({msg::kDataSetNotReplaced, {w.display}});
  };
  const bool any = std::any_of(writers_.begin(), writers_.end(), [](const Writer& w) { return w.staged; });
  if (!commit || !any) {
    rollback();
    unchanged(out);
    return out;
  }
  const Writer* at = nullptr;  // the table being put in place
  bool committing = false;
  try {
    for (Writer& w : writers_)
      if (w.open) {
        w.open = false;
        for (const std::string& s : w.discard) conn_->exec(s);
      }
    conn_->exec(db_meta_create_sql());
    for (const Writer& w : writers_) {
      if (!w.staged) continue;
      at = &w;
      for (const std::string& s : w.publish) conn_->exec(s);
    }
    at = nullptr;
    committing = true;
    hook("commit");
    conn_->exec("COMMIT");
    finished_ = true;
  } catch (const DbFailure& e) {
    rollback();
    failed = true;
    std::string why = e.what();
    while (!why.empty() && (why.back() == '.' || why.back() == ' ')) why.pop_back();
    for (const Writer& w : writers_) {
      if (!w.staged) continue;
      if (at && &w != at) {
        out.push_back({msg::kDataSetNotReplaced, {w.display}});
        continue;
      }
      const std::string what =
          committing ? "the COMMIT of table " + w.table + where + " failed (" + why +
                           "), so the step's tables in library " + lib_->libref() +
                           " are as they were, unless the server took the COMMIT before the "
                           "connection broke"
                     : "table " + w.table + where + " could not be put in place (" + why +
                           "), so no table of the step was changed in library " + lib_->libref();
      out.push_back({msg::kWriteFailed, {w.display, what}});
    }
    return out;
  }
  for (const Writer& w : writers_) {
    if (!w.staged) continue;
    if (!w.note.empty()) out.push_back({msg::kDataSetWritten, w.note});
    if (w.special > 0)
      out.push_back({msg::kSpecialMissingNull,
                     {std::to_string(w.special), w.display, lib_->describe()}});
  }
  return out;
}

DbWriter::~DbWriter() {
  if (!staged_) step_->abandon(id_);
}

void DbWriter::fail(const std::string& why) const {
  throw DataError(header_.name, "", "table " + table_ + " of library " + step_->library().libref() +
                                        " in the " + step_->library().describe() +
                                        " could not be written: " + why);
}

void DbWriter::write(const Observation& obs) {
  for (std::size_t i = 0; i < header_.vars.size() && i < obs.num.size(); ++i)
    if (header_.vars[i].is_numeric()) {
      const char m = missing_letter(obs.num[i]);
      if (m != 0 && m != '.') ++special_;
    }
  try {
    put_row(obs);
  } catch (const DbFailure& e) {
    fail(e.what());
  }
}

void DbWriter::commit() {
  try {
    finish_rows();
  } catch (const DbFailure& e) {
    fail(e.what());
  }
  step_->stage(id_, table_, header_.name, publish_sql(), special_);
  staged_ = true;
  if (step_->standalone) {
    bool failed = false;
    const auto msgs = step_->finish(true, failed);
    for (const DbMessage& m : msgs)
      if (m.number == msg::kWriteFailed) throw DataError(header_.name, "", m.args[1]);
  }
  hook("staged");
}

bool DbWriter::hold_written_note(std::vector<std::string> args) {
  if (!staged_ || step_->standalone) return false;
  step_->hold_note(id_, std::move(args));
  return true;
}

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string cell_text(const DbCell& c) {
  if (c.null) return "";
  if (c.text) return c.str;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", c.num);
  return buf;
}

double cell_number(const DbCell& c) { return c.null ? 0.0 : c.num; }

// Reads a table or view row by row, or, once the moment pass has been
// pushed down, returns one observation per BY group.
class DbReader : public ObsReader, public MomentSource {
 public:
  DbReader(DbLibrary& lib, std::unique_ptr<DbConnection> conn, DbTable table, DataSetHeader header,
           std::vector<std::string> notes)
      : lib_(lib), conn_(std::move(conn)), table_(std::move(table)), header_(std::move(header)),
        notes_(std::move(notes)) {}

  const DataSetHeader& header() const override { return header_; }
  ReadCost read_cost() const override { return ReadCost::Parse; }
  std::int64_t count_hint() const override {
    return pushed_ ? static_cast<std::int64_t>(keys_.size()) : -1;
  }
  std::vector<std::string> take_notes() override {
    std::vector<std::string> out = std::move(notes_);
    notes_.clear();
    if (unreadable_ > 0)
      out.push_back(std::to_string(unreadable_) + " value(s) of numeric columns of " + header_.name +
                    " were not numbers and were read as missing.");
    unreadable_ = 0;
    return out;
  }

  bool next(Observation& obs) override {
    if (pushed_) {
      if (row_ >= static_cast<std::int64_t>(keys_.size())) return false;
      // A group's values that were not numbers are told as the rows
      // would tell them, group by group.
      unreadable_ += bad_[static_cast<std::size_t>(row_)];
      obs = keys_[static_cast<std::size_t>(row_++)];
      return true;
    }
    if (at_ >= buffer_.size()) {
      if (failed_) fail("reading", "");
      if (exhausted_) return false;
      buffer_.clear();
      at_ = 0;
      try {
        if (!cursor_) cursor_ = conn_->cursor(select_sql());
        exhausted_ = !cursor_->fetch(buffer_, 4096);
        hook("fetch");
      } catch (const DbFailure& e) {
        fail("reading", e.what());
      }
      if (buffer_.empty()) return false;
    }
    const DbRow& row = buffer_[at_++];
    ++row_;
    obs.resize(header_.vars.size());
    for (std::size_t i = 0; i < header_.vars.size() && i < row.size(); ++i) {
      const DbCell& c = row[i];
      if (header_.vars[i].is_numeric()) {
        if (c.null) continue;
        if (!c.text) {
          obs.num[i] = c.num;
        } else if (lib_.dialect().stored_as_text) {
          // Text SQLite kept in a numeric column: the column's affinity
          // would have made a number of it had it been one.
          ++unreadable_;
        } else {
          char* end = nullptr;
          const double v = std::strtod(c.str.c_str(), &end);
          if (!c.str.empty() && end && *end == 0 && std::isfinite(v))
            obs.num[i] = v;
          else
            ++unreadable_;
        }
      } else {
        obs.str[i] = cell_text(c);
      }
    }
    return true;
  }

  ObsPosition note() const override { return {row_, row_ + 1}; }
  void point(const ObsPosition& pos) override {
    if (pos.offset == row_) return;
    row_ = pos.offset;
    if (pushed_) return;
    buffer_.clear();
    at_ = 0;
    exhausted_ = false;
    try {
      if (!cursor_) cursor_ = conn_->cursor(select_sql());
      cursor_->seek(row_);
    } catch (const DbFailure& e) {
      fail("reading", e.what());
    }
  }

  void push_down(const MomentRequest& req) override;
  bool pushed_down() const override { return pushed_; }
  const GroupMoments& group_moments(int group) const override {
    return moments_.at(static_cast<std::size_t>(group - 1));
  }
  std::string engine_name() const override { return lib_.engine(); }

 private:
  // After a failure the connection is of no more use: a later call says
  // that reading stopped rather than what the dead connection answers.
  [[noreturn]] void fail(const std::string& doing, const std::string& why) const {
    if (failed_)
      throw DataError(header_.name, "", "reading table " + table_.name + " of library " +
                                            lib_.libref() + " stopped at the error above");
    failed_ = true;
    throw DataError(header_.name, "",
                    "the " + lib_.describe() + " failed " + doing + " table " + table_.name +
                        " of library " + lib_.libref() + ": " + why);
  }
  std::string select_sql() const {
    std::string s = "SELECT ";
    for (std::size_t i = 0; i < table_.columns.size(); ++i)
      s += (i ? ", " : "") + db_quote_name(table_.columns[i].name);
    return s + " FROM " + db_quote_name(table_.name);
  }
  std::string col(int var) const {
    return db_quote_name(table_.columns[static_cast<std::size_t>(var)].name);
  }

  DbLibrary& lib_;
  std::unique_ptr<DbConnection> conn_;
  DbTable table_;
  DataSetHeader header_;
  std::unique_ptr<DbCursor> cursor_;
  std::vector<DbRow> buffer_;
  std::size_t at_ = 0;
  bool exhausted_ = false;
  std::int64_t row_ = 0;
  std::vector<std::string> notes_;
  std::int64_t unreadable_ = 0;
  bool pushed_ = false;
  std::vector<Observation> keys_;
  std::vector<GroupMoments> moments_;
  std::vector<std::int64_t> bad_;  // per group, of a pushed-down pass
  mutable bool failed_ = false;
};

// The SQL of the pass.  Pass one counts the observations of each group the
// way the procedure's own pass does and sums c and c x over those used;
// pass two sums c (x - mean)(y - mean) with the means of pass one as
// literals, so that the crossproducts of data far from zero keep their
// digits.  Only CAST, CASE, SUM, COUNT, GROUP BY, ORDER BY ... NULLS FIRST,
// a join to a VALUES list on IS NOT DISTINCT FROM, and a subquery in FROM are
// used.
void DbReader::push_down(const MomentRequest& req) {
  const DbDialect& d = lib_.dialect();
  const std::size_t p = req.vars.size();
  auto num = [](const std::string& x) { return "CAST(" + x + " AS DOUBLE PRECISION)"; };
  auto present = [&](const std::string& x) { return "(" + x + " IS NOT NULL AND " + d.is_number(x) + ")"; };
  std::string fok = "1 = 1", wok = "1 = 1", fv = "1", c = "1";
  if (req.freq >= 0) {
    const std::string f = col(req.freq);
    fok = "(" + present(f) + " AND " + num(f) + " >= 1)";
    fv = d.whole(num(f));
    c = fv;
  }
  if (req.weight >= 0) {
    const std::string w = col(req.weight);
    wok = "(" + present(w) + " AND " + num(w) + " > 0)";
    c = req.freq >= 0 ? "(" + fv + ") * " + num(w) : num(w);
  }
  std::string complete = "1 = 1";
  for (int v : req.vars) complete += " AND " + present(col(v));
  const std::string usable = fok + " AND " + wok;
  const std::string used = usable + " AND " + complete;

  // The BY values as the rows give them: where the engine keeps text in a
  // numeric column, that text is a missing value.  by_list names them in
  // the outer queries.
  std::string by_list, order;
  // BY value k of `column` (the column as a query names it).
  auto by_value = [&](std::size_t k, const std::string& column) {
    const int v = header_.find(req.by[k].name);
    const bool text = !header_.vars[static_cast<std::size_t>(v)].is_numeric();
    return !text && d.stored_as_text ? "CASE WHEN " + d.is_number(column) + " THEN " + column + " END"
                                     : column;
  };
  std::vector<std::string> by_expr;
  for (std::size_t k = 0; k < req.by.size(); ++k) {
    const int v = header_.find(req.by[k].name);
    const std::string q = col(v), alias = "kav_b" + std::to_string(k);
    const bool text = !header_.vars[static_cast<std::size_t>(v)].is_numeric();
    by_expr.push_back(by_value(k, q));
    by_list += (k ? ", " : "") + alias;
    order += std::string(k ? ", " : "") + alias + (text ? d.text_order : "") +
             (req.by[k].descending ? " DESC NULLS LAST" : " ASC NULLS FIRST");
  }
  auto by_select = [&] {
    std::string s;
    for (std::size_t k = 0; k < by_expr.size(); ++k) s += by_expr[k] + " AS kav_b" + std::to_string(k) + ", ";
    return s;
  };
  // Values of numeric columns stored as text, counted as the rows would
  // count them for the reader's note.
  std::string bad;
  if (d.stored_as_text)
    for (std::size_t i = 0; i < header_.vars.size(); ++i)
      if (header_.vars[i].is_numeric())
        bad += std::string(bad.empty() ? "" : " + ") + "CASE WHEN " + d.stored_as_text(col(static_cast<int>(i))) +
               " THEN 1 ELSE 0 END";
  const std::string group_tail =
      req.by.empty() ? "" : " GROUP BY " + by_list + " ORDER BY " + order;
  const std::string from = " FROM " + db_quote_name(table_.name);
  const std::size_t nby = req.by.size();

  // The conditions are evaluated once per row, in the inner query.
  std::string inner1 = "SELECT " + by_select() + (bad.empty() ? "" : "(" + bad + ") AS kav_bad, ") +
                       "CASE WHEN " + usable + " THEN 1 ELSE 0 END AS kav_ok, "
                       "CASE WHEN " + used + " THEN 1 ELSE 0 END AS kav_use, "
                       "CASE WHEN " + fok + " THEN " + fv + " ELSE 0 END AS kav_f, "
                       "CASE WHEN " + usable + " THEN " + c + " ELSE 0 END AS kav_c";
  for (std::size_t j = 0; j < p; ++j) {
    const std::string x = col(req.vars[j]), n = std::to_string(j);
    inner1 += ", " + num(x) + " AS kav_x" + n + ", CASE WHEN " + present(x) + " THEN 1 ELSE 0 END AS kav_p" + n;
  }
  std::string pass1 = "SELECT " + (nby ? by_list + ", " : std::string()) +
                      "COUNT(*), SUM(1 - kav_ok), SUM(kav_ok - kav_use), SUM(kav_f), SUM(kav_c), "
                      "SUM(kav_use), SUM(CASE WHEN kav_use = 1 THEN kav_f END), "
                      "SUM(CASE WHEN kav_use = 1 THEN kav_c END)";
  for (std::size_t j = 0; j < p; ++j)
    pass1 += ", SUM(CASE WHEN kav_use = 1 THEN kav_c * kav_x" + std::to_string(j) + " END)";
  for (std::size_t j = 0; j < p; ++j) pass1 += ", SUM(kav_p" + std::to_string(j) + ")";
  if (!bad.empty()) pass1 += ", SUM(kav_bad)";
  pass1 += " FROM (" + inner1 + from + ") AS s" + group_tail;

  auto key_of = [&](const DbRow& r) {
    std::string k;
    for (std::size_t i = 0; i < nby; ++i)
      k += r[i].null ? std::string("\x01") : r[i].text ? "T" + r[i].str + '\x02' : db_number(r[i].num) + '\x02';
    return k;
  };
  std::vector<Observation> keys;
  std::vector<GroupMoments> groups;
  std::vector<DbRow> key_cells;
  std::map<std::string, std::size_t> index;
  std::vector<std::int64_t> bad_counts;
  try {
    conn_->query(pass1, [&](const DbRow& r) {
      GroupMoments g;
      std::size_t i = nby;
      double* counts[] = {&g.nread, &g.nzero, &g.nmiss, &g.sum_freqs_read, &g.sum_weights_read,
                          &g.nused, &g.nobs, &g.sumwgt};
      for (double* x : counts) *x = cell_number(r[i++]);
      for (std::size_t j = 0; j < p; ++j) g.sums.push_back(cell_number(r[i++]));
      for (std::size_t j = 0; j < p; ++j) g.nonmissing.push_back(cell_number(r[i++]));
      bad_counts.push_back(bad.empty() ? 0 : static_cast<std::int64_t>(cell_number(r[i++])));
      g.cross.assign(p * (p + 1) / 2, 0.0);
      Observation key;
      key.resize(header_.vars.size());
      for (std::size_t k = 0; k < nby; ++k) {
        const auto v = static_cast<std::size_t>(header_.find(req.by[k].name));
        if (header_.vars[v].is_numeric()) {
          if (!r[k].null) key.num[v] = r[k].text ? std::strtod(r[k].str.c_str(), nullptr) : r[k].num;
        } else {
          key.str[v] = cell_text(r[k]);
        }
      }
      index[key_of(r)] = groups.size();
      key_cells.emplace_back(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(nby));
      keys.push_back(std::move(key));
      groups.push_back(std::move(g));
    });

    hook("moments");
    // Pass two, in slices of at most 1000 sums: engines limit the columns
    // of a result (SQLite to 2000, PostgreSQL to 1664).
    std::string values, join;
    bool any = false;
    for (std::size_t gi = 0; gi < groups.size(); ++gi) {
      const GroupMoments& g = groups[gi];
      if (!(g.sumwgt > 0)) continue;
      std::string row;
      for (std::size_t k = 0; k < nby; ++k) {
        const auto v = static_cast<std::size_t>(header_.find(req.by[k].name));
        const char* type = header_.vars[v].is_numeric() ? "DOUBLE PRECISION" : "TEXT";
        const DbCell& kc = key_cells[gi][k];
        row += std::string(k ? ", " : "") + "CAST(" +
               (kc.null ? std::string("NULL") : kc.text ? db_quote_text(kc.str) : db_number(kc.num)) +
               " AS " + type + ")";
      }
      for (std::size_t j = 0; j < p; ++j)
        row += std::string(nby || j ? ", " : "") + "CAST(" + db_number(g.sums[j] / g.sumwgt) +
               " AS DOUBLE PRECISION)";
      values += std::string(any ? ", " : "") + "(" + row + ")";
      any = true;
      if (nby == 0 && !req.noint) {
        // Without BY groups the means go into the SQL as they are.
        values.clear();
        for (std::size_t j = 0; j < p; ++j) values += db_number(g.sums[j] / g.sumwgt) + ",";
      }
    }
    if (any) {
      std::vector<std::string> dev(p);
      std::string inner = "SELECT " + by_select() + c + " AS kav_c";
      std::size_t at = 0;
      for (std::size_t j = 0; j < p; ++j) {
        std::string x = num(db_quote_name(table_.columns[static_cast<std::size_t>(req.vars[j])].name));
        if (!req.noint) {
          if (nby == 0) {
            const std::size_t comma = values.find(',', at);
            x += " - CAST(" + values.substr(at, comma - at) + " AS DOUBLE PRECISION)";
            at = comma + 1;
          } else {
            x += " - m.column" + std::to_string(nby + j + 1);
          }
        }
        inner += ", " + x + " AS kav_d" + std::to_string(j);
      }
      inner += from;
      if (nby && !req.noint) {
        inner += " JOIN (VALUES " + values + ") AS m ON ";
        for (std::size_t k = 0; k < nby; ++k) {
          // The table's column named by the table, so that no column of
          // the VALUES list is meant.
          const std::string q = db_quote_name(table_.name) + "." + col(header_.find(req.by[k].name));
          inner += std::string(k ? " AND " : "") + by_value(k, q) + " IS NOT DISTINCT FROM m.column" +
                   std::to_string(k + 1);
        }
      }
      inner += " WHERE " + used;
      std::vector<std::pair<std::size_t, std::size_t>> terms;
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k <= j; ++k) terms.emplace_back(j, k);
      const std::string group2 = nby ? " GROUP BY " + by_list : std::string();
      for (std::size_t first = 0; first < terms.size(); first += 1000) {
        const std::size_t last = std::min(terms.size(), first + 1000);
        std::string q = "SELECT " + (nby ? by_list + ", " : std::string());
        for (std::size_t t = first; t < last; ++t)
          q += std::string(t > first ? ", " : "") + "SUM(" + (c == "1" ? "" : "kav_c * ") + "kav_d" +
               std::to_string(terms[t].first) + " * kav_d" + std::to_string(terms[t].second) + ")";
        q += " FROM (" + inner + ") AS s" + group2;
        conn_->query(q, [&](const DbRow& r) {
          auto it = index.find(key_of(r));
          if (it == index.end()) return;
          GroupMoments& g = groups[it->second];
          for (std::size_t t = first; t < last; ++t) {
            const auto [j, k] = terms[t];
            g.cross[j * (j + 1) / 2 + k] = cell_number(r[nby + t - first]);
          }
        });
      }
    }
  } catch (const DbFailure& e) {
    fail("computing the moments of", e.what());
  }
  bad_ = std::move(bad_counts);
  keys_ = std::move(keys);
  moments_ = std::move(groups);
  pushed_ = true;
  row_ = 0;
}

}  // namespace

bool DbLibrary::exists(const DataSetName& name) {
  try {
    auto c = connect();
    return find_table(*c, name.member).has_value();
  } catch (const DbFailure&) {
    return false;
  }
}

std::unique_ptr<ObsReader> DbLibrary::open_read(const DataSetName& name, ValidVarName rule) {
  const std::string display = name.display();
  std::unique_ptr<DbConnection> conn;
  std::optional<DbTable> table;
  try {
    conn = connect();
    table = find_table(*conn, name.member);
  } catch (const DbFailure& e) {
    throw DataError(display, "", "the " + describe() + " of library " + libref_ +
                                     " could not be read for table " + name.member + ": " + e.what());
  }
  if (!table)
    throw LibraryError(msg::kDataSetMissing,
                       {display, "a table or view named " + name.member + " in the " + describe() +
                                     " of library " + libref_});
  DataSetHeader h;
  h.name = display;
  std::string renamed;
  for (DbColumn& c : table->columns) {
    if (!c.supported)
      throw DataError(display, "",
                      "column " + c.name + " of table " + table->name + " in the " + describe() +
                          " of library " + libref_ + " has type " + c.type +
                          ", which kav cannot read; numbers (integer, real, double precision, "
                          "numeric) and text (char, varchar, text) can be read");
    Variable v;
    v.name = c.name;
    if (!is_valid_name(v.name, rule)) {
      v.name = make_valid_name(v.name, rule);
      renamed += (renamed.empty() ? "" : ", ") + c.name + " to " + v.name;
    }
    v.kind = c.kind;
    v.length = c.kind == VarKind::Numeric ? 8 : c.length;
    if (c.kind == VarKind::Character && c.length <= 0) {
      // TEXT has no declared width: the longest value gives it.
      v.length = 1;
      try {
        conn->query("SELECT MAX(LENGTH(" + db_quote_name(c.name) + ")) FROM " +
                        db_quote_name(table->name),
                    [&](const DbRow& r) {
                      if (!r.empty() && !r[0].null)
                        v.length = std::max(1, static_cast<int>(r[0].text ? std::atof(r[0].str.c_str()) : r[0].num));
                    });
      } catch (const DbFailure&) {
      }
    }
    h.vars.push_back(std::move(v));
  }
  // What SQL does not keep: the data set type and the labels.
  try {
    conn->query(std::string("SELECT dstype, label, varlabels FROM ") + kDbMetaTable +
                    " WHERE member = " + db_quote_text(table->name),
                [&](const DbRow& r) {
                  h.type = r[0].null ? "" : r[0].str;
                  h.label = r[1].null ? "" : r[1].str;
                  if (!r[2].null) {
                    auto j = nlohmann::json::parse(r[2].str, nullptr, false);
                    if (j.is_object())
                      for (Variable& v : h.vars)
                        if (j.contains(v.name) && j[v.name].is_string()) v.label = j[v.name];
                  }
                });
  } catch (const DbFailure&) {
    // no metadata table: a database kav has not written to
  }
  if (name.has_type) h.type = name.type;
  if (name.has_label) h.label = name.label;
  std::vector<std::string> notes;
  if (!renamed.empty())
    notes.push_back("Column names of " + display + " that are not valid under VALIDVARNAME=" +
                    validvarname_text(rule) + " were changed: " + renamed + ".");
  return std::make_unique<DbReader>(*this, std::move(conn), std::move(*table), std::move(h),
                                    std::move(notes));
}

std::unique_ptr<ObsWriter> DbLibrary::open_write(const DataSetName& name, DataSetHeader header,
                                                 std::shared_ptr<DbStepWrites> step) {
  std::string table = lower(name.member);
  try {
    if (!step) {
      step = std::make_shared<DbStepWrites>(shared_from_this());
      step->standalone = true;
    }
    if (auto existing = find_table(step->connection(), name.member)) {
      if (existing->view)
        throw DbFailure(existing->name + " is a view; kav writes only tables");
      table = existing->name;
    }
    return stage_writer(std::move(step), table, std::move(header));
  } catch (const DbFailure& e) {
    throw DataError(name.display(), "", "table " + table + " could not be written in the " +
                                            describe() + " of library " + libref_ + ": " + e.what());
  }
}

}  // namespace kav
