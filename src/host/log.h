// The log: numbered catalogue messages and the source position they refer to.
//
// Every message is (group, number) in the message catalogue with string
// arguments; the catalogue gives its severity and text.  The log writes each
// entry to its text sink as "NOTE: ...", "WARNING: ..." or "ERROR: ..." and
// keeps the entries of the current step for the JSON results.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

namespace kav {

enum class Severity { Note, Warning, Error };
const char* severity_name(Severity s);  // "NOTE", "WARNING", "ERROR"

// Where in a program something happened (file, 1-based line and column).
struct SourcePos {
  std::string file;
  int line = 0;
  int column = 0;
  bool known() const { return line > 0; }
  std::string str() const;  // "file:line:column"
};

struct LogEntry {
  Severity severity = Severity::Note;
  int group = 0;
  int number = 0;
  std::string text;
  SourcePos pos;
};

// Message groups.  The run-time's own messages are group 1; the procedure
// and its shared routines use their own groups.
inline constexpr int kHostGroup = 1;

// Formats catalogue message (group, number) with its arguments.  Unknown
// numbers give a text that says so rather than nothing.
std::string format_message(int group, int number, const std::vector<std::string>& args,
                           Severity* severity_out = nullptr);
bool message_known(int group, int number);
// A message text with %1..%9 replaced by the arguments (by nothing when
// there are fewer), for texts that live outside the catalogue.
std::string fill_inserts(const char* text, const std::vector<std::string>& args);

class Log {
 public:
  explicit Log(std::ostream* sink = nullptr) : sink_(sink) {}
  void set_sink(std::ostream* sink) { sink_ = sink; }

  // A catalogue message.
  void message(int group, int number, std::vector<std::string> args = {}, SourcePos pos = {});
  // A message whose text is given here (debug output, echo of %PUT).
  void text(Severity severity, const std::string& text, SourcePos pos = {}, int group = 0,
            int number = 0);
  // A plain line with no severity prefix (%PUT output, step echo).
  void plain(const std::string& line);

  const std::vector<LogEntry>& entries() const { return entries_; }
  // Entries since mark(); used to hand each step its own part of the log.
  std::size_t mark() const { return entries_.size(); }
  std::vector<LogEntry> since(std::size_t mark) const;
  int errors_since(std::size_t mark) const;

 private:
  void write(const LogEntry& e);
  std::ostream* sink_;
  std::vector<LogEntry> entries_;
};

}  // namespace kav
