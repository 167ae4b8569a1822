// Database libraries: the tables and views of an SQLite file or a
// PostgreSQL database as data sets.  The engines differ only in how they
// connect, describe a table, stream rows and stage an output table; the
// rest (column types, the metadata kav keeps beside the tables, the
// pushed-down moment pass) is shared and written in plain SQL.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/dataset.h"
#include "host/library.h"
#include "host/names.h"

namespace kav {

struct DataSetName;

// A failure reported by the database, in its own words.
class DbFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One value of a result row.
struct DbCell {
  bool null = true;
  bool text = false;
  double num = 0;
  std::string str;
};
using DbRow = std::vector<DbCell>;

// A column as the database declares it.
struct DbColumn {
  std::string name;
  std::string type;  // declared type, lower case
  VarKind kind = VarKind::Numeric;
  int length = 8;
  bool supported = true;
};

struct DbTable {
  std::string name;  // as the database spells it
  bool view = false;
  std::vector<DbColumn> columns;
};

// Streams the rows of one SELECT; seek(k) makes the next row the k-th
// (0-based) again.
class DbCursor {
 public:
  virtual ~DbCursor() = default;
  // Appends up to `max` rows; false when the result is exhausted.
  virtual bool fetch(std::vector<DbRow>& rows, int max) = 0;
  virtual void seek(std::int64_t row) = 0;
};

class DbConnection {
 public:
  virtual ~DbConnection() = default;
  virtual void exec(const std::string& sql) = 0;
  virtual void query(const std::string& sql, const std::function<void(const DbRow&)>& row) = 0;
  virtual std::unique_ptr<DbCursor> cursor(const std::string& sql) = 0;
};

// Where the SQL of the engines differs.
struct DbDialect {
  // The whole part of a frequency known to be at least 1.
  std::function<std::string(const std::string&)> whole;
  // A condition that the value is a number (true for everything but NULL in
  // SQLite; PostgreSQL also stores NaN).
  std::function<std::string(const std::string&)> is_number;
  // Appended to a text column in ORDER BY so that text sorts by its bytes.
  std::string text_order;
  // A condition that a value of a numeric column is stored as something
  // other than a number (SQLite keeps text in any column); empty when the
  // engine cannot do that.  Row by row such a value is read as missing.
  std::function<std::string(const std::string&)> stored_as_text;
};

// Test-only: called with "fetch" after each batch of rows a reader fetches,
// "moments" between the two queries of the pushed-down pass and "staged"
// when a writer's table has been staged.  Null in normal runs; a test sets
// it to take the server away at a known point.
extern void (*db_test_hook)(const char* event);

class DbLibrary;

// The output tables one step writes to one database library.  They are
// written through one connection in one transaction that commits only when
// the step ends well, so that a step writing two tables leaves both as they
// were when it stops after the first.  Outside a step (a writer opened on
// its own) the writer commits its own transaction at commit().
class DbStepWrites {
 public:
  explicit DbStepWrites(std::shared_ptr<DbLibrary> lib) : lib_(std::move(lib)) {}
  ~DbStepWrites();
  DbStepWrites(const DbStepWrites&) = delete;
  DbStepWrites& operator=(const DbStepWrites&) = delete;

  // The connection, with the transaction begun at the first call.
  DbConnection& connection();
  DbLibrary& library() { return *lib_; }
  // A writer announces itself with the statements that remove what it has
  // made so far, run when it goes without commit() or the step commits
  // without it.  Returns its id.
  int open(std::vector<std::string> discard);
  // The writer `id` is done: `publish` puts its table `table` in place (run
  // at the commit, in the order the writers staged).  `display` names the
  // data set in messages; `special` counts special missing values written
  // as NULL.
  void stage(int id, std::string table, std::string display, std::vector<std::string> publish,
             std::int64_t special);
  // The writer `id` went without staging.
  void abandon(int id);
  // Keeps the "data set written" note of writer `id` until the commit has
  // made it true.
  void hold_note(int id, std::vector<std::string> args);
  // Publishes every staged table and commits, or rolls everything back.
  // Returns the messages for the log; `failed` tells that the commit was
  // wanted and did not happen.
  std::vector<DbMessage> finish(bool commit, bool& failed);
  // Set for a writer opened outside a step, which commits on its own.
  bool standalone = false;

 private:
  struct Writer {
    bool open = true, staged = false;
    std::vector<std::string> discard, publish, note;
    std::string table, display;
    std::int64_t special = 0;
  };
  void rollback();
  std::shared_ptr<DbLibrary> lib_;
  std::unique_ptr<DbConnection> conn_;
  bool finished_ = false;
  std::vector<Writer> writers_;
};

class DbLibrary : public std::enable_shared_from_this<DbLibrary> {
 public:
  DbLibrary(std::string libref, std::string engine, std::string where)
      : libref_(std::move(libref)), engine_(std::move(engine)), where_(std::move(where)) {}
  virtual ~DbLibrary() = default;

  const std::string& libref() const { return libref_; }
  const std::string& engine() const { return engine_; }
  // "SQLite database 'x.db'"
  std::string describe() const { return engine_ + " database " + where_; }

  bool exists(const DataSetName& name);
  std::unique_ptr<ObsReader> open_read(const DataSetName& name, ValidVarName rule);
  // `step` holds the step's transaction on this library; null for a writer
  // that commits on its own.
  std::unique_ptr<ObsWriter> open_write(const DataSetName& name, DataSetHeader header,
                                        std::shared_ptr<DbStepWrites> step);

  // Engine parts.
  virtual std::unique_ptr<DbConnection> connect() = 0;
  virtual std::optional<DbTable> find_table(DbConnection& c, const std::string& member) = 0;
  virtual const DbDialect& dialect() const = 0;
  // The statements that begin a writing transaction.
  virtual std::vector<std::string> begin_sql() const = 0;
  // A writer of `table` whose rows go through the step's connection and
  // whose table is put in place when the step commits.
  virtual std::unique_ptr<ObsWriter> stage_writer(std::shared_ptr<DbStepWrites> step,
                                                  const std::string& table,
                                                  DataSetHeader header) = 0;

 private:
  std::string libref_, engine_, where_;
};

// What the engines' writers share: the step's transaction, the count of
// special missing values written as NULL, and commit(), which stages the
// table for the step's commit.
class DbWriter : public ObsWriter {
 public:
  DbWriter(std::shared_ptr<DbStepWrites> step, std::string table, DataSetHeader header)
      : step_(std::move(step)), table_(std::move(table)), header_(std::move(header)) {}
  ~DbWriter() override;
  const DataSetHeader& header() const override { return header_; }
  void write(const Observation& obs) final;
  void commit() final;
  bool hold_written_note(std::vector<std::string> args) override;

 protected:
  // Registers the statements that remove the writer's scratch; derived
  // constructors call it before they make any.
  void announce(std::vector<std::string> discard) { id_ = step_->open(std::move(discard)); }
  DbConnection& conn() { return step_->connection(); }
  [[noreturn]] void fail(const std::string& why) const;
  virtual void put_row(const Observation& obs) = 0;
  // Sends what is still buffered; throws DbFailure.
  virtual void finish_rows() = 0;
  // The statements that put the staged table in place.
  virtual std::vector<std::string> publish_sql() = 0;

  std::shared_ptr<DbStepWrites> step_;
  std::string table_;
  DataSetHeader header_;

 private:
  int id_ = -1;
  bool staged_ = false;
  std::int64_t special_ = 0;
};

// Throw LibraryError when the database cannot be opened.
std::shared_ptr<DbLibrary> open_sqlite_library(const std::string& libref, const std::string& file);
std::shared_ptr<DbLibrary> open_postgres_library(const std::string& libref,
                                                 const std::string& conninfo);

// Shared helpers of the engines.
std::string db_quote_name(const std::string& name);    // "name" with doubled quotes
std::string db_quote_text(const std::string& text);    // 'text' with doubled quotes
std::string db_number(double v);                       // 17 significant digits
std::string db_column_type(const Variable& v);         // DOUBLE PRECISION, VARCHAR(n)
// Column kind from a declared type; `supported` false for types kav has no
// kind for (binary, dates, ...).
void db_classify(DbColumn& col);
// kav's own table of what SQL does not keep: data set type and labels.
inline constexpr const char* kDbMetaTable = "kav_datasets";
std::string db_meta_create_sql();
// Statements that record `header` for table `table` in the metadata table.
std::vector<std::string> db_meta_write_sql(const std::string& table, const DataSetHeader& header);

}  // namespace kav
