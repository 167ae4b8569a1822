// The PostgreSQL engine: LIBNAME ref POSTGRES 'host=... dbname=... user=...'.
// Every reader has a connection of its own; the writers of a step share one.
// A reader walks a scrollable cursor in one read-only transaction, so that
// going back to a BY group's first row is a MOVE.  A writer creates its
// table under a name of its own in the step's transaction and fills it with
// COPY; when the step ends well the old tables are dropped and the new ones
// renamed before COMMIT: other sessions see the old tables or the new ones,
// never a part of either.
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "host/db_engine.h"
#include "host/host_messages.h"
#include "host/library.h"

namespace kav {

namespace {

// A libpq message on one line: its line breaks and indents become single
// spaces.
std::string trimmed(const char* s) {
  std::string t;
  for (const char* p = s ? s : ""; *p; ++p) {
    const bool space = *p == '\n' || *p == '\t' || *p == ' ' || *p == '\r';
    if (!space) t += *p;
    else if (!t.empty() && t.back() != ' ') t += ' ';
  }
  while (!t.empty() && t.back() == ' ') t.pop_back();
  return t;
}

// Result types whose text is a number.
bool numeric_oid(Oid t) {
  return t == 20 || t == 21 || t == 23 || t == 700 || t == 701 || t == 1700 || t == 26;
}

class PgConnection : public DbConnection {
 public:
  // The session is named "kav" unless the connection string names it.  A
  // server that vanishes from the network without closing the connection is
  // noticed after about a minute and a half of silence (TCP keepalives, and
  // a limit on unacknowledged data) instead of never; the connection string
  // may set other values, since it comes after them.
  explicit PgConnection(const std::string& conninfo) {
    const char* keys[] = {"keepalives_idle", "keepalives_interval", "keepalives_count",
                          "tcp_user_timeout", "dbname", "fallback_application_name", nullptr};
    const char* values[] = {"60", "10", "3", "90000", conninfo.c_str(), "kav", nullptr};
    pg_ = PQconnectdbParams(keys, values, 1);
    if (!pg_ || PQstatus(pg_) != CONNECTION_OK) {
      std::string why = pg_ ? trimmed(PQerrorMessage(pg_)) : "out of memory";
      PQfinish(pg_);
      pg_ = nullptr;
      throw DbFailure(why);
    }
    PQsetNoticeProcessor(pg_, [](void*, const char*) {}, nullptr);
    // The pushed-down pass is one aggregate with up to 1000 sums: compiling
    // it to machine code takes the server far longer than running it (100 s
    // against 4 s for 200,000 rows of 50 columns).  Servers without JIT
    // refuse the setting, which changes nothing.
    PGresult* r = PQexec(pg_, "SET jit = off");
    PQclear(r);
  }
  ~PgConnection() override { PQfinish(pg_); }
  PGconn* handle() { return pg_; }

  PGresult* run(const std::string& sql, ExecStatusType want) {
    PGresult* r = PQexec(pg_, sql.c_str());
    if (PQresultStatus(r) != want && !(want == PGRES_COMMAND_OK && PQresultStatus(r) == PGRES_TUPLES_OK)) {
      std::string why = trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(pg_));
      if (why.empty()) why = trimmed(PQerrorMessage(pg_));
      PQclear(r);
      throw DbFailure(why);
    }
    return r;
  }
  void exec(const std::string& sql) override { PQclear(run(sql, PGRES_COMMAND_OK)); }
  static void rows_of(PGresult* r, const std::function<void(const DbRow&)>& fn) {
    const int n = PQntuples(r), m = PQnfields(r);
    std::vector<bool> numeric(static_cast<std::size_t>(m));
    for (int j = 0; j < m; ++j) numeric[static_cast<std::size_t>(j)] = numeric_oid(PQftype(r, j));
    DbRow row(static_cast<std::size_t>(m));
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < m; ++j) {
        DbCell& c = row[static_cast<std::size_t>(j)];
        c = DbCell{};
        if (PQgetisnull(r, i, j)) continue;
        c.null = false;
        const char* v = PQgetvalue(r, i, j);
        if (numeric[static_cast<std::size_t>(j)]) {
          c.num = std::strtod(v, nullptr);
        } else {
          c.text = true;
          c.str.assign(v, static_cast<std::size_t>(PQgetlength(r, i, j)));
        }
      }
      fn(row);
    }
  }
  void query(const std::string& sql, const std::function<void(const DbRow&)>& fn) override {
    PGresult* r = run(sql, PGRES_TUPLES_OK);
    try {
      rows_of(r, fn);
    } catch (...) {
      PQclear(r);
      throw;
    }
    PQclear(r);
  }
  std::unique_ptr<DbCursor> cursor(const std::string& sql) override;

 private:
  PGconn* pg_;
};

std::atomic<int> name_counter{0};

class PgCursor : public DbCursor {
 public:
  PgCursor(PgConnection& c, std::string sql)
      : conn_(c), sql_(std::move(sql)), name_("kav_cursor_" + std::to_string(++name_counter)) {
    open();
  }
  ~PgCursor() override { close(); }
  bool fetch(std::vector<DbRow>& rows, int max) override {
    if (!open_) return false;
    PGresult* r = conn_.run("FETCH FORWARD " + std::to_string(max) + " FROM " + name_, PGRES_TUPLES_OK);
    const int n = PQntuples(r);
    PgConnection::rows_of(r, [&rows](const DbRow& row) { rows.push_back(row); });
    PQclear(r);
    // At the end the transaction goes, and with it the lock that would make
    // a writer replacing this table (DATA x; SET x;) wait.
    if (n < max) close();
    return n == max;
  }
  void seek(std::int64_t row) override {
    if (!open_) open();
    conn_.exec("MOVE ABSOLUTE " + std::to_string(row) + " FROM " + name_);
  }

 private:
  void open() {
    conn_.exec("BEGIN READ ONLY");
    conn_.exec("DECLARE " + name_ + " SCROLL CURSOR FOR " + sql_);
    open_ = true;
  }
  void close() {
    if (!open_) return;
    open_ = false;
    try {
      conn_.exec("ROLLBACK");
    } catch (const DbFailure&) {
    }
  }
  PgConnection& conn_;
  std::string sql_, name_;
  bool open_ = false;
};

std::unique_ptr<DbCursor> PgConnection::cursor(const std::string& sql) {
  return std::make_unique<PgCursor>(*this, sql);
}

class PgWriter : public DbWriter {
 public:
  PgWriter(std::shared_ptr<DbStepWrites> step, std::string table, DataSetHeader header)
      : DbWriter(std::move(step), std::move(table), std::move(header)) {
    fresh_ = "kav_new_" + std::to_string(::getpid()) + "_" + std::to_string(++name_counter);
    announce({"DROP TABLE IF EXISTS " + db_quote_name(fresh_)});
    std::string cols;
    for (std::size_t i = 0; i < header_.vars.size(); ++i)
      cols += (i ? ", " : "") + db_quote_name(header_.vars[i].name) + " " + db_column_type(header_.vars[i]);
    conn().exec("CREATE TABLE " + db_quote_name(fresh_) + " (" + cols + ")");
  }

 private:
  void put_row(const Observation& obs) override {
    for (std::size_t i = 0; i < header_.vars.size(); ++i) {
      if (i) buffer_ += '\t';
      if (header_.vars[i].is_numeric()) {
        const double v = i < obs.num.size() ? obs.num[i] : missing_value();
        buffer_ += is_missing(v) ? "\\N" : db_number(v);
      } else {
        for (char ch : i < obs.str.size() ? obs.str[i] : std::string()) {
          switch (ch) {
            case '\\': buffer_ += "\\\\"; break;
            case '\t': buffer_ += "\\t"; break;
            case '\n': buffer_ += "\\n"; break;
            case '\r': buffer_ += "\\r"; break;
            default: buffer_ += ch;
          }
        }
      }
    }
    buffer_ += '\n';
    if (buffer_.size() > (1u << 20)) finish_rows();
  }
  // Each batch is a COPY of its own, so that the writers of a step can
  // take turns on the step's one connection.
  void finish_rows() override {
    if (buffer_.empty()) return;
    auto& c = static_cast<PgConnection&>(conn());
    PQclear(c.run("COPY " + db_quote_name(fresh_) + " FROM STDIN", PGRES_COPY_IN));
    PGconn* h = c.handle();
    const bool sent = PQputCopyData(h, buffer_.data(), static_cast<int>(buffer_.size())) == 1;
    buffer_.clear();
    if (PQputCopyEnd(h, sent ? nullptr : "the rows could not be sent") != 1)
      throw DbFailure(trimmed(PQerrorMessage(h)));
    PGresult* r = PQgetResult(h);
    const bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
    std::string why = trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(h));
    if (why.empty()) why = trimmed(PQerrorMessage(h));
    PQclear(r);
    while (PGresult* more = PQgetResult(h)) PQclear(more);
    if (!ok) throw DbFailure(why);
  }
  // The old table goes and the new one takes its name in the step's
  // transaction: other sessions see the old table or the new one.
  std::vector<std::string> publish_sql() override {
    std::vector<std::string> sql = {
        "DROP TABLE IF EXISTS " + db_quote_name(table_),
        "ALTER TABLE " + db_quote_name(fresh_) + " RENAME TO " + db_quote_name(table_)};
    for (std::string& m : db_meta_write_sql(table_, header_)) sql.push_back(std::move(m));
    return sql;
  }
  std::string fresh_, buffer_;
};

// The connection string as the log may show it: without a password.
std::string shown(const std::string& conninfo) {
  std::string out;
  std::size_t i = 0;
  while (i < conninfo.size()) {
    std::size_t end = conninfo.find(' ', i);
    if (end == std::string::npos) end = conninfo.size();
    std::string part = conninfo.substr(i, end - i);
    if (part.rfind("password", 0) == 0) part = "password=...";
    if (!part.empty()) out += (out.empty() ? "" : " ") + part;
    i = end + 1;
  }
  return "'" + out + "'";
}

class PgLibrary : public DbLibrary {
 public:
  PgLibrary(const std::string& libref, const std::string& conninfo)
      : DbLibrary(libref, "PostgreSQL", shown(conninfo)), conninfo_(conninfo) {
    dialect_.whole = [](const std::string& x) { return "FLOOR(" + x + ")"; };
    dialect_.is_number = [](const std::string& x) {
      return "CAST(" + x + " AS DOUBLE PRECISION) <> CAST('NaN' AS DOUBLE PRECISION)";
    };
    dialect_.text_order = " COLLATE \"C\"";
  }
  std::unique_ptr<DbConnection> connect() override { return std::make_unique<PgConnection>(conninfo_); }
  const DbDialect& dialect() const override { return dialect_; }
  std::optional<DbTable> find_table(DbConnection& c, const std::string& member) override {
    std::optional<DbTable> t;
    std::string oid;
    c.query("SELECT c.relname, c.relkind, c.oid::text FROM pg_class c WHERE c.relkind IN ('r', 'v', "
            "'m', 'p', 'f') AND pg_table_is_visible(c.oid) AND lower(c.relname) = lower(" +
                db_quote_text(member) + ") ORDER BY c.relname = " + db_quote_text(member) +
                " DESC LIMIT 1",
            [&](const DbRow& r) {
              t = DbTable{};
              t->name = r[0].str;
              t->view = r[1].str == "v" || r[1].str == "m";
              oid = r[2].str;
            });
    if (!t) return t;
    c.query("SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute WHERE attrelid = " +
                oid + " AND attnum > 0 AND NOT attisdropped ORDER BY attnum",
            [&](const DbRow& r) {
              DbColumn col;
              col.name = r[0].str;
              col.type = r[1].str;
              db_classify(col);
              t->columns.push_back(std::move(col));
            });
    return t;
  }
  // A table that a reader of this run still holds would otherwise make the
  // replacement wait for ever.
  std::vector<std::string> begin_sql() const override {
    return {"BEGIN", "SET LOCAL lock_timeout = '10s'"};
  }
  std::unique_ptr<ObsWriter> stage_writer(std::shared_ptr<DbStepWrites> step, const std::string& table,
                                          DataSetHeader header) override {
    return std::make_unique<PgWriter>(std::move(step), table, std::move(header));
  }

 private:
  std::string conninfo_;
  DbDialect dialect_;
};

}  // namespace

std::shared_ptr<DbLibrary> open_postgres_library(const std::string& libref, const std::string& conninfo) {
  auto lib = std::make_shared<PgLibrary>(libref, conninfo);
  try {
    lib->connect();
  } catch (const DbFailure& e) {
    throw LibraryError(msg::kDatabaseUnusable, {libref, lib->describe(), e.what()});
  }
  return lib;
}

}  // namespace kav
