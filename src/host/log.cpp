#include "host/log.h"

#include "host/messages.h"

namespace kav {

const char* severity_name(Severity s) {
  switch (s) {
    case Severity::Note:
      return "NOTE";
    case Severity::Warning:
      return "WARNING";
    case Severity::Error:
      return "ERROR";
  }
  return "NOTE";
}

std::string SourcePos::str() const {
  std::string s = file.empty() ? std::string("<program>") : file;
  if (line > 0) {
    s += ':';
    s += std::to_string(line);
  }
  if (column > 0) {
    s += ':';
    s += std::to_string(column);
  }
  return s;
}

void Log::message(int group, int number, std::vector<std::string> args, SourcePos pos) {
  LogEntry e;
  e.group = group;
  e.number = number;
  e.text = format_message(group, number, args, &e.severity);
  e.pos = std::move(pos);
  write(e);
  entries_.push_back(std::move(e));
}

void Log::text(Severity severity, const std::string& text, SourcePos pos, int group, int number) {
  LogEntry e;
  e.severity = severity;
  e.group = group;
  e.number = number;
  e.text = text;
  e.pos = std::move(pos);
  write(e);
  entries_.push_back(std::move(e));
}

void Log::plain(const std::string& line) {
  if (sink_) *sink_ << line << '\n' << std::flush;
}

std::vector<LogEntry> Log::since(std::size_t mark) const {
  if (mark >= entries_.size()) return {};
  return std::vector<LogEntry>(entries_.begin() + static_cast<std::ptrdiff_t>(mark),
                               entries_.end());
}

int Log::errors_since(std::size_t mark) const {
  int n = 0;
  for (std::size_t i = mark; i < entries_.size(); ++i)
    if (entries_[i].severity == Severity::Error) ++n;
  return n;
}

void Log::write(const LogEntry& e) {
  if (!sink_) return;
  *sink_ << severity_name(e.severity) << ": ";
  if (e.pos.known()) *sink_ << e.pos.str() << ": ";
  *sink_ << e.text << '\n' << std::flush;
}

}  // namespace kav
