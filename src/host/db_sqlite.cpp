// The SQLite engine: LIBNAME ref SQLITE 'file.db'.  Every reader has a
// connection of its own; the writers of a step share one.  A reader's
// statement is reset as soon as its rows are exhausted, so that it holds no
// lock on the file when the step's writers commit.  A writer collects its
// rows in a temporary table, which locks nothing in the file; when the step
// ends well its tables are replaced in one short transaction.
#include <sqlite3.h>

#include <atomic>
#include <filesystem>

#include "host/db_engine.h"
#include "host/host_messages.h"
#include "host/library.h"

namespace kav {

namespace {

class SqliteConnection : public DbConnection {
 public:
  explicit SqliteConnection(const std::string& file) {
    const int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
      std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw DbFailure(why);
    }
    sqlite3_busy_timeout(db_, 10000);
  }
  ~SqliteConnection() override { sqlite3_close_v2(db_); }
  sqlite3* handle() { return db_; }

  void exec(const std::string& sql) override {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string why = err ? err : sqlite3_errmsg(db_);
      sqlite3_free(err);
      throw DbFailure(why);
    }
  }
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw DbFailure(sqlite3_errmsg(db_));
    return st;
  }
  static void read_row(sqlite3_stmt* st, DbRow& row) {
    const int n = sqlite3_column_count(st);
    row.assign(static_cast<std::size_t>(n), DbCell{});
    for (int i = 0; i < n; ++i) {
      DbCell& c = row[static_cast<std::size_t>(i)];
      switch (sqlite3_column_type(st, i)) {
        case SQLITE_NULL:
          break;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
          c.null = false;
          c.num = sqlite3_column_double(st, i);
          break;
        default: {
          c.null = false;
          c.text = true;
          const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
          c.str.assign(t ? t : "", static_cast<std::size_t>(sqlite3_column_bytes(st, i)));
        }
      }
    }
  }
  void query(const std::string& sql, const std::function<void(const DbRow&)>& fn) override {
    sqlite3_stmt* st = prepare(sql);
    DbRow row;
    int rc;
    try {
      while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        read_row(st, row);
        fn(row);
      }
    } catch (...) {
      sqlite3_finalize(st);
      throw;
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) throw DbFailure(sqlite3_errmsg(db_));
  }
  std::unique_ptr<DbCursor> cursor(const std::string& sql) override;

 private:
  sqlite3* db_ = nullptr;
};

class SqliteCursor : public DbCursor {
 public:
  SqliteCursor(SqliteConnection& c, sqlite3_stmt* st) : conn_(c), st_(st) {}
  ~SqliteCursor() override { sqlite3_finalize(st_); }
  bool fetch(std::vector<DbRow>& rows, int max) override {
    if (done_) return false;
    for (int i = 0; i < max; ++i) {
      const int rc = sqlite3_step(st_);
      if (rc == SQLITE_DONE) {
        sqlite3_reset(st_);  // the read lock goes with it
        done_ = true;
        return false;
      }
      if (rc != SQLITE_ROW) {
        std::string why = sqlite3_errmsg(conn_.handle());
        sqlite3_reset(st_);
        throw DbFailure(why);
      }
      rows.emplace_back();
      SqliteConnection::read_row(st_, rows.back());
    }
    return true;
  }
  void seek(std::int64_t row) override {
    // A rewind runs the statement again and skips to the row.
    sqlite3_reset(st_);
    done_ = false;
    for (std::int64_t i = 0; i < row; ++i) {
      const int rc = sqlite3_step(st_);
      if (rc == SQLITE_DONE) {
        sqlite3_reset(st_);
        done_ = true;
        return;
      }
      if (rc != SQLITE_ROW) throw DbFailure(sqlite3_errmsg(conn_.handle()));
    }
  }

 private:
  SqliteConnection& conn_;
  sqlite3_stmt* st_;
  bool done_ = false;
};

std::unique_ptr<DbCursor> SqliteConnection::cursor(const std::string& sql) {
  return std::make_unique<SqliteCursor>(*this, prepare(sql));
}

std::atomic<int> stage_counter{0};

class SqliteWriter : public DbWriter {
 public:
  SqliteWriter(std::shared_ptr<DbStepWrites> step, std::string table, DataSetHeader header)
      : DbWriter(std::move(step), std::move(table), std::move(header)) {
    stage_ = "kav_stage_" + std::to_string(++stage_counter);
    announce({"DROP TABLE IF EXISTS temp." + db_quote_name(stage_)});
    auto& c = sqlite();
    c.exec("CREATE TEMP TABLE " + db_quote_name(stage_) + " (" + columns() + ")");
    std::string sql = "INSERT INTO temp." + db_quote_name(stage_) + " VALUES (";
    for (std::size_t i = 0; i < header_.vars.size(); ++i) sql += i ? ", ?" : "?";
    insert_ = c.prepare(sql + ")");
  }
  ~SqliteWriter() override { sqlite3_finalize(insert_); }

 private:
  void put_row(const Observation& obs) override {
    for (std::size_t i = 0; i < header_.vars.size(); ++i) {
      const int k = static_cast<int>(i) + 1;
      if (header_.vars[i].is_numeric()) {
        const double v = i < obs.num.size() ? obs.num[i] : missing_value();
        if (is_missing(v))
          sqlite3_bind_null(insert_, k);
        else
          sqlite3_bind_double(insert_, k, v);
      } else {
        const std::string& s = i < obs.str.size() ? obs.str[i] : empty_;
        sqlite3_bind_text(insert_, k, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      }
    }
    const int rc = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    if (rc != SQLITE_DONE) throw DbFailure(sqlite3_errmsg(sqlite().handle()));
  }
  void finish_rows() override {
    sqlite3_finalize(insert_);
    insert_ = nullptr;
  }
  // The table is dropped, made and filled in the step's transaction.
  std::vector<std::string> publish_sql() override {
    const std::string t = "main." + db_quote_name(table_);
    std::vector<std::string> sql = {"DROP TABLE IF EXISTS " + t,
                                    "CREATE TABLE " + t + " (" + columns() + ")",
                                    "INSERT INTO " + t + " SELECT * FROM temp." + db_quote_name(stage_)};
    for (std::string& m : db_meta_write_sql(table_, header_)) sql.push_back(std::move(m));
    sql.push_back("DROP TABLE temp." + db_quote_name(stage_));
    return sql;
  }
  SqliteConnection& sqlite() { return static_cast<SqliteConnection&>(conn()); }
  std::string columns() const {
    std::string s;
    for (std::size_t i = 0; i < header_.vars.size(); ++i)
      s += (i ? ", " : "") + db_quote_name(header_.vars[i].name) + " " + db_column_type(header_.vars[i]);
    return s;
  }
  std::string stage_;
  sqlite3_stmt* insert_ = nullptr;
  const std::string empty_;
};

class SqliteLibrary : public DbLibrary {
 public:
  SqliteLibrary(const std::string& libref, const std::string& file)
      : DbLibrary(libref, "SQLite", "'" + file + "'"), file_(file) {
    dialect_.whole = [](const std::string& x) { return "CAST(" + x + " AS INTEGER)"; };
    // SQLite keeps text (and blobs) in a column declared numeric; such a
    // value is missing here as it is when the rows are read.
    dialect_.is_number = [](const std::string& x) {
      return "typeof(" + x + ") IN ('integer', 'real')";
    };
    dialect_.stored_as_text = [](const std::string& x) {
      return "typeof(" + x + ") IN ('text', 'blob')";
    };
  }
  std::unique_ptr<DbConnection> connect() override { return std::make_unique<SqliteConnection>(file_); }
  const DbDialect& dialect() const override { return dialect_; }
  std::optional<DbTable> find_table(DbConnection& c, const std::string& member) override {
    std::optional<DbTable> t;
    c.query("SELECT name, type FROM sqlite_master WHERE type IN ('table', 'view') AND name = " +
                db_quote_text(member) + " COLLATE NOCASE ORDER BY name = " + db_quote_text(member) +
                " DESC LIMIT 1",
            [&](const DbRow& r) {
              t = DbTable{};
              t->name = r[0].str;
              t->view = r[1].str == "view";
            });
    if (!t) return t;
    c.query("SELECT name, type FROM pragma_table_info(" + db_quote_text(t->name) + ")",
            [&](const DbRow& r) {
              DbColumn col;
              col.name = r[0].str;
              for (char ch : r[1].str) col.type += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
              t->columns.push_back(std::move(col));
            });
    for (DbColumn& col : t->columns) {
      if (col.type.empty()) {
        // A view's computed column has no declared type: its values tell.
        c.query("SELECT typeof(" + db_quote_name(col.name) + ") FROM " + db_quote_name(t->name) +
                    " WHERE " + db_quote_name(col.name) + " IS NOT NULL LIMIT 1",
                [&](const DbRow& r) { col.type = r[0].str; });
        if (col.type.empty()) col.type = "real";
      }
      db_classify(col);
    }
    return t;
  }
  std::vector<std::string> begin_sql() const override { return {"BEGIN"}; }
  std::unique_ptr<ObsWriter> stage_writer(std::shared_ptr<DbStepWrites> step, const std::string& table,
                                          DataSetHeader header) override {
    return std::make_unique<SqliteWriter>(std::move(step), table, std::move(header));
  }

 private:
  std::string file_;
  DbDialect dialect_;
};

}  // namespace

std::shared_ptr<DbLibrary> open_sqlite_library(const std::string& libref, const std::string& file) {
  auto lib = std::make_shared<SqliteLibrary>(libref, file);
  try {
    // Opening checks that the file is a database (or can be made one).
    auto c = lib->connect();
    c->exec("SELECT COUNT(*) FROM sqlite_master");
  } catch (const DbFailure& e) {
    throw LibraryError(msg::kDatabaseUnusable, {libref, lib->describe(), e.what()});
  }
  return lib;
}

}  // namespace kav
