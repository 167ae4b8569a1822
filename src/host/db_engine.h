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
};

class DbLibrary {
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
  std::unique_ptr<ObsWriter> open_write(const DataSetName& name, DataSetHeader header);

  // Engine parts.
  virtual std::unique_ptr<DbConnection> connect() = 0;
  virtual std::optional<DbTable> find_table(DbConnection& c, const std::string& member) = 0;
  virtual const DbDialect& dialect() const = 0;
  virtual std::unique_ptr<ObsWriter> stage_writer(std::unique_ptr<DbConnection> c,
                                                  const std::string& table,
                                                  DataSetHeader header) = 0;

 private:
  std::string libref_, engine_, where_;
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
