// Libraries: where data sets live.  WORK (one-level names) is a folder that
// goes away at the end of the run unless the user names one to keep; a
// LIBNAME folder holds name.csv files; a quoted path names a file directly.
// A library can also be held in memory (tests, and procedures that want
// scratch data sets).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/dataset.h"
#include "host/log.h"
#include "host/names.h"
#include "host/statement.h"
#include "host/varlist.h"

namespace kav {

class DbLibrary;
class DbStepWrites;

// A message for the log, as the host's message catalogue numbers it.
struct DbMessage {
  int number;
  std::vector<std::string> args;
};

// A data set as a program names it: lib.member, member (WORK), or a quoted
// path, with its data set options.  TYPE= and LABEL= set the header; the
// others choose what is read or written:
//   read:  WHERE= (on the names after RENAME=), then FIRSTOBS= and OBS=
//          counting the observations WHERE= lets through, then KEEP= and
//          DROP= (on the names as stored), then RENAME=;
//   write: the same without FIRSTOBS= and OBS=, which only reading takes.
struct DataSetName {
  std::string libref;  // upper case; "WORK" for one-level names; empty for a path
  std::string member;  // as written
  std::string path;    // for a quoted path
  bool has_type = false, has_label = false;
  std::string type, label;
  bool has_keep = false, has_drop = false;
  std::vector<VarListItem> keep, drop;
  std::vector<std::pair<Token, Token>> rename;  // old, new
  // Each clause ANDed with the others: WHERE= and a step's WHERE statement.
  std::vector<std::vector<Token>> where;
  std::int64_t firstobs = 1;
  std::int64_t obs = -1;  // the last observation to read; -1: all
  SourcePos pos;

  bool empty() const { return member.empty() && path.empty(); }
  // Whether any option changes which observations or variables are read.
  bool selects() const {
    return has_keep || has_drop || !rename.empty() || !where.empty() || firstobs != 1 || obs >= 0;
  }
  std::string display() const;  // WORK.SCORES, OUT.FA2, 'survey/w1.csv'
};

// Parses a data set name starting at tokens[i]; on success advances i past
// it (and its option list).  On failure returns the reason and the position
// of the offending token.
std::string parse_dataset_name(const std::vector<Token>& tokens, std::size_t& i, DataSetName& out,
                               SourcePos& error_pos);

class LibraryError : public std::runtime_error {
 public:
  LibraryError(int number, std::vector<std::string> args)
      : std::runtime_error(args.empty() ? "" : args[0]), number(number), args(std::move(args)) {}
  int number;  // host message number
  std::vector<std::string> args;
};

class Libraries {
 public:
  // `work_folder` empty: WORK is a temporary folder removed by the
  // destructor.  ":memory:" keeps WORK in memory.
  explicit Libraries(std::string work_folder = "");
  ~Libraries();
  Libraries(const Libraries&) = delete;
  Libraries& operator=(const Libraries&) = delete;

  // LIBNAME ref 'folder'.  The folder is made when its parent exists.
  // Throws LibraryError.  Returns a note text when the folder was created.
  std::string assign(const std::string& libref, const std::string& folder);
  void assign_memory(const std::string& libref);
  // LIBNAME ref SQLITE 'file.db' | POSTGRES 'connection string'.  Throws
  // LibraryError when the engine is not known or the database cannot be
  // reached.  Returns a description for the log.
  std::string assign_database(const std::string& libref, const std::string& engine,
                              const std::string& where);
  bool clear(const std::string& libref);
  bool assigned(const std::string& libref) const;
  std::string folder_of(const std::string& libref) const;
  // WORK's folder, made at the first call when it is a temporary one.
  // Throws LibraryError when it cannot be made.
  const std::string& work_folder() const;

  bool exists(const DataSetName& name) const;
  // The file a data set lives in ("" for memory data sets).
  std::string file_of(const DataSetName& name) const;
  // Throws LibraryError when the library or the data set is missing, and
  // DataError when the file cannot be read.
  std::unique_ptr<ObsReader> open_read(const DataSetName& name, ValidVarName rule) const;
  // The header's name is set from `name`; TYPE= and LABEL= options override
  // the header's type and label.  Throws LibraryError.
  std::unique_ptr<ObsWriter> open_write(const DataSetName& name, DataSetHeader header);

  // A step's output tables in a database library are written in one
  // transaction per library, which end_step commits when the step ended
  // well (commit) and rolls back otherwise.  Writers opened outside a step
  // commit on their own.  end_step returns the messages for the log (the
  // "data set written" notes held until the commit, or why a table was not
  // written); `failed` tells that a wanted commit did not happen.
  void begin_step();
  std::vector<DbMessage> end_step(bool commit, bool& failed);

 private:
  struct Library {
    std::string folder;
    bool memory = false;
    std::map<std::string, std::shared_ptr<MemoryDataSet>> members;  // upper-case member
    std::shared_ptr<DbLibrary> db;  // a database library (host/db_engine.h)
  };
  const Library& library(const DataSetName& name) const;
  std::unique_ptr<ObsWriter> open_unselected(const DataSetName& name, DataSetHeader header);
  std::map<std::string, Library> libs_;
  bool in_step_ = false;
  std::map<std::string, std::shared_ptr<DbStepWrites>> step_writes_;  // by libref
  mutable std::string work_;  // "" until made, for a temporary WORK
  bool remove_work_ = false;
};

}  // namespace kav
