#include "host/library.h"

#include <filesystem>
#include <functional>
#include <system_error>

#include "host/csv.h"
#include "host/db_engine.h"
#include "host/host_messages.h"
#include "host/scratch_files.h"

namespace fs = std::filesystem;

namespace kav {

std::string DataSetName::display() const {
  if (!path.empty()) return "'" + path + "'";
  return libref + "." + upper(member);
}

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
      std::string opt = upper(t[i].value);
      if (opt != "TYPE" && opt != "LABEL") return "data set option " + t[i].value + " is not known; the options are TYPE= and LABEL=";
      ++i;
      if (i >= t.size() || !t[i].is_symbol("=")) return "= is missing after " + opt;
      ++i;
      if (i >= t.size()) return "a value is missing after " + opt + "=";
      error_pos = t[i].pos;
      if (opt == "TYPE") {
        if (t[i].kind != TokenKind::Name && t[i].kind != TokenKind::String)
          return "TYPE= takes a name such as CORR";
        out.type = upper(t[i].value);
        if (out.type.size() > 8) return "TYPE= is at most 8 characters";
        out.has_type = true;
      } else {
        if (t[i].kind != TokenKind::String) return "LABEL= takes a quoted string";
        out.label = t[i].value;
        out.has_label = true;
      }
      ++i;
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

// A reader whose data set type or label the program overrides with the
// TYPE= or LABEL= data set option (a CSV file of correlations read as
// TYPE=CORR, say).
class RelabelledReader : public ObsReader {
 public:
  RelabelledReader(std::unique_ptr<ObsReader> inner, const DataSetName& name)
      : inner_(std::move(inner)), header_(inner_->header()) {
    if (name.has_type) header_.type = name.type;
    if (name.has_label) header_.label = name.label;
  }
  const DataSetHeader& header() const override { return header_; }
  bool next(Observation& obs) override { return inner_->next(obs); }
  ObsPosition note() const override { return inner_->note(); }
  void point(const ObsPosition& pos) override { inner_->point(pos); }
  std::int64_t count_hint() const override { return inner_->count_hint(); }
  ReadCost read_cost() const override { return inner_->read_cost(); }
  std::vector<std::string> take_notes() override { return inner_->take_notes(); }

 private:
  std::unique_ptr<ObsReader> inner_;
  DataSetHeader header_;
};

std::unique_ptr<ObsReader> relabel(std::unique_ptr<ObsReader> reader, const DataSetName& name) {
  if (!name.has_type && !name.has_label) return reader;
  return std::make_unique<RelabelledReader>(std::move(reader), name);
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
    work_ = make_temp_work();
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

bool Libraries::clear(const std::string& libref) {
  std::string ref = upper(libref);
  if (ref == "WORK") return false;
  return libs_.erase(ref) > 0;
}

bool Libraries::assigned(const std::string& libref) const { return libs_.count(upper(libref)) > 0; }

std::string Libraries::folder_of(const std::string& libref) const {
  auto it = libs_.find(upper(libref));
  return it == libs_.end() ? "" : it->second.folder;
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
  // Members are stored under their lower-case name so that the same data
  // set is found whatever case the program writes it in.
  std::string member;
  for (char c : name.member) member += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return (fs::path(lib.folder) / (member + ".csv")).string();
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
    if (lib.db) return lib.db->open_read(name, rule);
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
    if (it->second.db) return it->second.db->open_write(name, std::move(header));
  }
  return open_csv_writer(file_of(name), std::move(header));
}

}  // namespace kav
