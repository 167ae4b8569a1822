#include "host/library.h"

#include <filesystem>
#include <algorithm>
#include <cmath>
#include <functional>
#include <system_error>

#include "host/csv.h"
#include "host/db_engine.h"
#include "host/expression.h"
#include "host/host_messages.h"
#include "host/scratch_files.h"

namespace fs = std::filesystem;

namespace kav {

std::string DataSetName::display() const {
  if (!path.empty()) return "'" + path + "'";
  return libref + "." + upper(member);
}

namespace {

// The tokens of a parenthesised option value, WHERE=(...) or RENAME=(...),
// without the outer parentheses; i ends past the closing one.
bool parenthesised(const std::vector<Token>& t, std::size_t& i, std::vector<Token>& inside) {
  if (i >= t.size() || !t[i].is_symbol("(")) return false;
  int depth = 0;
  for (std::size_t k = i; k < t.size(); ++k) {
    if (t[k].is_symbol("(")) ++depth;
    if (t[k].is_symbol(")") && --depth == 0) {
      inside.assign(t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(k));
      i = k + 1;
      return true;
    }
  }
  return false;
}

std::string whole_number_option(const Token& v, const std::string& opt, std::int64_t low, std::int64_t& out) {
  if (opt == "OBS" && v.is_word("MAX")) {
    out = -1;
    return "";
  }
  if (v.kind != TokenKind::Number || v.number != std::floor(v.number) || v.number < static_cast<double>(low) || v.number > 9e15)
    return opt + "= takes a whole number of " + std::to_string(low) + " or more, not " + v.text;
  out = static_cast<std::int64_t>(v.number);
  return "";
}

// One option name=value starting at t[i] (a name); advances i past it.
std::string parse_dataset_option(const std::vector<Token>& t, std::size_t& i, DataSetName& out, SourcePos& error_pos) {
  const std::string opt = upper(t[i].value);
  static const char* const known[] = {"TYPE", "LABEL", "KEEP", "DROP", "RENAME", "WHERE", "FIRSTOBS", "OBS"};
  if (std::find(std::begin(known), std::end(known), opt) == std::end(known))
    return "data set option " + t[i].value + " is not known; the options are TYPE=, LABEL=, KEEP=, DROP=, RENAME=, WHERE=, FIRSTOBS= and OBS=";
  ++i;
  if (i >= t.size() || !t[i].is_symbol("=")) return "= is missing after " + opt;
  ++i;
  if (i >= t.size()) return "a value is missing after " + opt + "=";
  error_pos = t[i].pos;
  if (opt == "TYPE") {
    if (t[i].kind != TokenKind::Name && t[i].kind != TokenKind::String) return "TYPE= takes a name such as CORR";
    out.type = upper(t[i].value);
    if (out.type.size() > 8) return "TYPE= is at most 8 characters";
    out.has_type = true;
    ++i;
  } else if (opt == "LABEL") {
    if (t[i].kind != TokenKind::String) return "LABEL= takes a quoted string";
    out.label = t[i].value;
    out.has_label = true;
    ++i;
  } else if (opt == "KEEP" || opt == "DROP") {
    // The list runs to the closing ) or to the next option's name=.
    std::size_t end = i;
    while (end < t.size() && !t[end].is_symbol(")") && !(t[end].is_name() && end + 1 < t.size() && t[end + 1].is_symbol("="))) ++end;
    std::vector<Token> list(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(end));
    std::size_t k = 0;
    VarListError err;
    auto& items = opt == "KEEP" ? out.keep : out.drop;
    if (list.empty()) return opt + "= names no variables";
    if (!read_varlist(list, k, items, err)) {
      error_pos = err.pos;
      return opt + "= is not a valid variable list";
    }
    (opt == "KEEP" ? out.has_keep : out.has_drop) = true;
    i = end;
  } else if (opt == "RENAME") {
    std::vector<Token> pairs;
    if (!parenthesised(t, i, pairs)) return "RENAME= takes (old=new ...) in parentheses";
    for (std::size_t k = 0; k < pairs.size(); k += 3) {
      if (k + 2 >= pairs.size() || !pairs[k + 1].is_symbol("=") ||
          !(pairs[k].is_name() || pairs[k].kind == TokenKind::NameLiteral) ||
          !(pairs[k + 2].is_name() || pairs[k + 2].kind == TokenKind::NameLiteral)) {
        error_pos = pairs.empty() ? error_pos : pairs[std::min(k, pairs.size() - 1)].pos;
        return "RENAME= takes pairs old=new";
      }
      out.rename.emplace_back(pairs[k], pairs[k + 2]);
    }
  } else if (opt == "WHERE") {
    std::vector<Token> clause;
    if (!parenthesised(t, i, clause) || clause.empty()) return "WHERE= takes a condition in parentheses, as in WHERE=(age > 20)";
    out.where.push_back(std::move(clause));
  } else {
    std::string err = whole_number_option(t[i], opt, opt == "OBS" ? 0 : 1, opt == "OBS" ? out.obs : out.firstobs);
    if (!err.empty()) return err;
    ++i;
  }
  return "";
}

}  // namespace

std::string parse_dataset_name(const std::vector<Token>& t, std::size_t& i, DataSetName& out,
                               SourcePos& error_pos) {
  out = DataSetName{};
  if (i >= t.size()) {
    error_pos = t.empty() ? SourcePos{} : t.back().pos;
    return "a data set name is missing";
  }
  out.pos = t[i].pos;
  error_pos = t[i].pos;
  if (t[i].kind == TokenKind::String) {
    out.path = t[i].value;
    if (out.path.empty()) return "the quoted path is empty";
    ++i;
  } else if (t[i].kind == TokenKind::Name || t[i].kind == TokenKind::NameLiteral) {
    std::string first = t[i].value;
    ++i;
    if (i + 1 < t.size() && t[i].is_symbol(".") &&
        (t[i + 1].kind == TokenKind::Name || t[i + 1].kind == TokenKind::NameLiteral)) {
      out.libref = upper(first);
      out.member = t[i + 1].value;
      i += 2;
    } else {
      out.libref = "WORK";
      out.member = first;
    }
  } else {
    return "a data set name was expected, not " + t[i].text;
  }
  if (i < t.size() && t[i].is_symbol("(")) {
    ++i;
    while (i < t.size() && !t[i].is_symbol(")")) {
      error_pos = t[i].pos;
      if (!t[i].is_name()) return "a data set option was expected, not " + t[i].text;
      std::string err = parse_dataset_option(t, i, out, error_pos);
      if (!err.empty()) return err;
    }
    if (i >= t.size()) return "the data set options are not closed with )";
    ++i;
  }
  return "";
}

namespace {

std::string make_temp_work() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string folder = make_work_folder(base.string());
  if (folder.empty())
    throw LibraryError(msg::kLibraryFolderMissing, {base.string(), "WORK", "no temporary folder could be made"});
  return folder;
}

class CommitHook : public ObsWriter {
 public:
  CommitHook(std::unique_ptr<ObsWriter> inner, std::function<void()> on_commit)
      : inner_(std::move(inner)), on_commit_(std::move(on_commit)) {}
  const DataSetHeader& header() const override { return inner_->header(); }
  void write(const Observation& obs) override { inner_->write(obs); }
  void commit() override {
    inner_->commit();
    on_commit_();
  }

 private:
  std::unique_ptr<ObsWriter> inner_;
  std::function<void()> on_commit_;
};

// What the data set options of a name select from a header: the columns
// kept (in data set order), their names after RENAME=, and the WHERE=
// clauses, which use the new names (the names the program goes on to use)
// and may name variables that KEEP= or DROP= leave out.
struct Selection {
  DataSetHeader header;      // what the reader or writer's user sees
  std::vector<int> columns;  // index in the full header of each column kept
  std::vector<Expression> where;
  ExprNotes notes;  // where-clause notes are not reported: a filter is not a computation

  Selection(const DataSetHeader& full, const DataSetName& name) {
    DataSetHeader renamed = full;
    if (name.has_type) renamed.type = name.type;
    if (name.has_label) renamed.label = name.label;
    for (const auto& [from, to] : name.rename) {
      const int k = full.find(from.value);
      if (k < 0) throw ExpressionError{msg::kVariableNotFound, {from.value, full.name}, from.pos};
      if (!is_valid_name(to.value, ValidVarName::Any))
        throw ExpressionError{msg::kInvalidName, {to.value, "ANY"}, to.pos};
      renamed.vars[static_cast<std::size_t>(k)].name = to.value;
    }
    for (const auto& clause : name.where) where.push_back(where_clause(clause, renamed));
    std::vector<bool> keep(full.vars.size(), !name.has_keep);
    auto resolve = [&](const std::vector<VarListItem>& items, const char* what, bool value) {
      std::vector<int> idx;
      VarListError err;
      if (!resolve_varlist(items, full, VarType::Any, what, idx, err)) throw ExpressionError{err.number, err.args, err.pos};
      for (int k : idx) keep[static_cast<std::size_t>(k)] = value;
    };
    if (name.has_keep) resolve(name.keep, "KEEP=", true);
    if (name.has_drop) resolve(name.drop, "DROP=", false);
    header = renamed;
    header.vars.clear();
    for (std::size_t k = 0; k < full.vars.size(); ++k)
      if (keep[k]) {
        columns.push_back(static_cast<int>(k));
        header.vars.push_back(renamed.vars[k]);
      }
  }
  bool passes(Observation& obs) {
    ExprEnv env;
    env.cells = &obs;
    env.notes = &notes;
    for (const auto& w : where)
      if (!w.truth(env)) return false;
    return true;
  }
  void project(const Observation& from, Observation& to) const {
    to.resize(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::size_t k = static_cast<std::size_t>(columns[c]);
      to.num[c] = from.num[k];
      to.str[c] = from.str[k];
    }
  }
};

class SelectingReader : public ObsReader {
 public:
  SelectingReader(std::unique_ptr<ObsReader> inner, const DataSetName& name)
      : inner_(std::move(inner)), selection_(inner_->header(), name), firstobs_(name.firstobs), obs_(name.obs) {
    full_.resize(inner_->header().vars.size());
  }
  const DataSetHeader& header() const override { return selection_.header; }
  bool next(Observation& obs) override {
    for (;;) {
      if (obs_ >= 0 && passed_ >= obs_) return false;
      if (!inner_->next(full_)) return false;
      if (!selection_.passes(full_)) continue;
      if (++passed_ < firstobs_) continue;
      selection_.project(full_, obs);
      return true;
    }
  }
  ObsPosition note() const override {
    ObsPosition p = inner_->note();
    passed_at_[p.offset] = passed_;
    return p;
  }
  void point(const ObsPosition& pos) override {
    inner_->point(pos);
    auto it = passed_at_.find(pos.offset);
    passed_ = it != passed_at_.end() ? it->second : 0;
  }
  std::int64_t count_hint() const override {
    const std::int64_t n = inner_->count_hint();
    if (n < 0 || !selection_.where.empty()) return -1;
    const std::int64_t last = obs_ >= 0 ? std::min(n, obs_) : n;
    return std::max<std::int64_t>(0, last - (firstobs_ - 1));
  }
  ReadCost read_cost() const override { return inner_->read_cost(); }
  std::vector<std::string> take_notes() override { return inner_->take_notes(); }

 private:
  std::unique_ptr<ObsReader> inner_;
  Selection selection_;
  std::int64_t firstobs_, obs_;
  std::int64_t passed_ = 0;
  mutable std::map<std::int64_t, std::int64_t> passed_at_;
  Observation full_;
};

class SelectingWriter : public ObsWriter {
 public:
  SelectingWriter(DataSetHeader full, Selection selection, std::unique_ptr<ObsWriter> inner)
      : full_(std::move(full)), selection_(std::move(selection)), inner_(std::move(inner)) {}
  const DataSetHeader& header() const override { return full_; }
  const DataSetHeader& stored_header() const override { return inner_->header(); }
  std::int64_t left_out() const override { return left_out_; }
  void write(const Observation& obs) override {
    if (!selection_.where.empty()) {
      Observation copy = obs;
      if (!selection_.passes(copy)) {
        ++left_out_;
        return;
      }
    }
    selection_.project(obs, row_);
    inner_->write(row_);
  }
  void commit() override { inner_->commit(); }
  bool hold_written_note(std::vector<std::string> args) override {
    return inner_->hold_written_note(std::move(args));
  }

 private:
  DataSetHeader full_;
  std::int64_t left_out_ = 0;
  Selection selection_;
  std::unique_ptr<ObsWriter> inner_;
  Observation row_;
};

std::unique_ptr<ObsReader> relabel(std::unique_ptr<ObsReader> reader, const DataSetName& name) {
  if (!name.has_type && !name.has_label && !name.selects()) return reader;
  return std::make_unique<SelectingReader>(std::move(reader), name);
}

bool valid_libref(const std::string& s) {
  return !s.empty() && s.size() <= 8 && is_valid_name(s, ValidVarName::V7);
}

}  // namespace

Libraries::Libraries(std::string work_folder) {
  if (work_folder == ":memory:") {
    libs_["WORK"].memory = true;
    return;
  }
  if (work_folder.empty()) {
    // Made when a WORK data set is first named (see file_of): a run that
    // keeps nothing in WORK does not scan the temporary folder for the
    // leftovers of killed runs, make a folder and remove it again.
    remove_work_ = true;
  } else {
    std::error_code ec;
    fs::create_directories(work_folder, ec);
    if (!fs::is_directory(work_folder))
      throw LibraryError(msg::kLibraryFolderMissing, {work_folder, "WORK", "it is not a folder that can be made"});
    work_ = work_folder;
  }
  libs_["WORK"].folder = work_;
}

Libraries::~Libraries() {
  if (remove_work_ && !work_.empty()) {
    std::error_code ec;
    fs::remove_all(work_, ec);
  }
}

std::string Libraries::assign(const std::string& libref, const std::string& folder) {
  std::string ref = upper(libref);
  if (!valid_libref(libref)) throw LibraryError(msg::kLibrefInvalid, {libref});
  if (ref == "WORK") throw LibraryError(msg::kLibraryFolderMissing, {folder, ref, "WORK cannot be reassigned; use kav run --work DIR"});
  std::error_code ec;
  std::string note;
  if (!fs::exists(folder, ec)) {
    fs::path parent = fs::path(folder).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec))
      throw LibraryError(msg::kLibraryFolderMissing, {folder, ref, "neither it nor its parent folder exists"});
    if (!fs::create_directory(folder, ec))
      throw LibraryError(msg::kLibraryFolderMissing, {folder, ref, "it could not be made (" + ec.message() + ")"});
    note = "made the folder";
  } else if (!fs::is_directory(folder, ec)) {
    throw LibraryError(msg::kLibraryFolderMissing, {folder, ref, "it is a file, not a folder"});
  }
  Library lib;
  lib.folder = folder;
  libs_[ref] = std::move(lib);
  return note;
}

void Libraries::assign_memory(const std::string& libref) {
  Library lib;
  lib.memory = true;
  libs_[upper(libref)] = std::move(lib);
}

std::string Libraries::assign_database(const std::string& libref, const std::string& engine,
                                       const std::string& where) {
  std::string ref = upper(libref);
  if (!valid_libref(libref)) throw LibraryError(msg::kLibrefInvalid, {libref});
  if (ref == "WORK")
    throw LibraryError(msg::kDatabaseUnusable, {ref, upper(engine) + " database", "WORK cannot be reassigned"});
  const std::string e = upper(engine);
  Library lib;
  if (e == "SQLITE")
    lib.db = open_sqlite_library(ref, where);
  else if (e == "POSTGRES" || e == "POSTGRESQL")
    lib.db = open_postgres_library(ref, where);
  else
    throw LibraryError(msg::kDatabaseUnusable,
                       {ref, engine + " database", "the engine is not known; kav knows SQLITE and POSTGRES"});
  std::string d = lib.db->describe();
  libs_[ref] = std::move(lib);
  return d;
}

void Libraries::begin_step() {
  step_writes_.clear();
  in_step_ = true;
}

std::vector<DbMessage> Libraries::end_step(bool commit, bool& failed) {
  failed = false;
  in_step_ = false;
  std::vector<DbMessage> out;
  for (auto& [ref, w] : step_writes_) {
    bool f = false;
    for (DbMessage& m : w->finish(commit, f)) out.push_back(std::move(m));
    failed = failed || f;
  }
  step_writes_.clear();
  return out;
}

bool Libraries::clear(const std::string& libref) {
  std::string ref = upper(libref);
  if (ref == "WORK") return false;
  return libs_.erase(ref) > 0;
}

bool Libraries::assigned(const std::string& libref) const { return libs_.count(upper(libref)) > 0; }

std::string Libraries::folder_of(const std::string& libref) const {
  auto it = libs_.find(upper(libref));
  if (it == libs_.end()) return "";
  return &it->second == &libs_.at("WORK") ? work_folder() : it->second.folder;
}

const std::string& Libraries::work_folder() const {
  if (work_.empty() && remove_work_) work_ = make_temp_work();
  return work_;
}

const Libraries::Library& Libraries::library(const DataSetName& name) const {
  auto it = libs_.find(name.libref);
  if (it == libs_.end()) throw LibraryError(msg::kLibrefUnassigned, {name.libref});
  return it->second;
}

std::string Libraries::file_of(const DataSetName& name) const {
  if (!name.path.empty()) return name.path;
  const Library& lib = library(name);
  if (lib.memory) return "";
  if (lib.db) return "table " + name.member + " in the " + lib.db->describe();
  // A member is the file whose name matches it whatever the case of its
  // letters (Survey.csv is u.survey), so that files made by other programs
  // are found; new members are written under their lower-case name.
  std::string member;
  for (char c : name.member) member += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string& folder = &lib == &libs_.at("WORK") ? work_folder() : lib.folder;
  const std::string wanted = member + ".csv";
  std::string found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string file = it->path().filename().string();
    if (file.size() != wanted.size() || !same_name(file, wanted)) continue;
    if (file == wanted) return it->path().string();
    if (!found.empty())
      throw LibraryError(msg::kMemberAmbiguous, {name.display(), found, it->path().string()});
    found = it->path().string();
  }
  return found.empty() ? (fs::path(folder) / wanted).string() : found;
}

bool Libraries::exists(const DataSetName& name) const {
  if (name.path.empty()) {
    const Library& lib = library(name);
    if (lib.memory) return lib.members.count(upper(name.member)) > 0;
    if (lib.db) return lib.db->exists(name);
  }
  std::error_code ec;
  return fs::is_regular_file(file_of(name), ec);
}

std::unique_ptr<ObsReader> Libraries::open_read(const DataSetName& name, ValidVarName rule) const {
  if (name.path.empty()) {
    const Library& lib = library(name);
    if (lib.memory) {
      auto it = lib.members.find(upper(name.member));
      if (it == lib.members.end()) throw LibraryError(msg::kDataSetMissing, {name.display(), "memory library " + name.libref});
      return relabel(open_memory_reader(it->second), name);
    }
    // Data set options are applied by the host over the table as over a file;
    // a reader wrapped so offers no pushed-down pass, so a filtered read is
    // never summed in the database without its filter.
    if (lib.db) return relabel(lib.db->open_read(name, rule), name);
  }
  std::string file = file_of(name);
  std::error_code ec;
  if (fs::is_directory(file, ec))
    throw DataError(file, "", "it is a directory; a data set is a CSV file");
  if (!fs::is_regular_file(file, ec)) throw LibraryError(msg::kDataSetMissing, {name.display(), file});
  CsvReadOptions opts;
  opts.name = name.display();
  opts.validvarname = rule;
  return relabel(open_csv_reader(file, opts), name);
}

std::unique_ptr<ObsWriter> Libraries::open_write(const DataSetName& name, DataSetHeader header) {
  header.name = name.display();
  if (name.has_type) header.type = name.type;
  if (name.has_label) header.label = name.label;
  if (name.firstobs != 1 || name.obs >= 0)
    throw ExpressionError{msg::kDataSetOptionBad, {name.firstobs != 1 ? "FIRSTOBS=" : "OBS=", "it chooses observations to read, and " + name.display() + " is written"}, name.pos};
  if (name.selects()) {
    Selection selection(header, name);
    DataSetHeader projected = selection.header;
    return std::make_unique<SelectingWriter>(header, std::move(selection),
                                             open_unselected(name, std::move(projected)));
  }
  return open_unselected(name, std::move(header));
}

std::unique_ptr<ObsWriter> Libraries::open_unselected(const DataSetName& name, DataSetHeader header) {
  if (name.path.empty()) {
    auto it = libs_.find(name.libref);
    if (it == libs_.end()) throw LibraryError(msg::kLibrefUnassigned, {name.libref});
    if (it->second.memory) {
      // The member appears in the library only when the writer commits.
      auto target = std::make_shared<MemoryDataSet>();
      auto* members = &it->second.members;
      std::string key = upper(name.member);
      return std::make_unique<CommitHook>(open_memory_writer(target, std::move(header)),
                                          [members, key, target] { (*members)[key] = target; });
    }
    if (it->second.db) {
      std::shared_ptr<DbStepWrites> step;
      if (in_step_) {
        auto& w = step_writes_[name.libref];
        if (!w) w = std::make_shared<DbStepWrites>(it->second.db);
        step = w;
      }
      return it->second.db->open_write(name, std::move(header), std::move(step));
    }
  }
  return open_csv_writer(file_of(name), std::move(header));
}

}  // namespace kav
