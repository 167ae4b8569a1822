// Reads a program statement by statement: finds where each statement ends,
// replaces macro variable references, splits the text into tokens that keep
// their file, line and column, and collects the data lines that follow a
// DATALINES or CARDS statement.
#pragma once

#include <string>
#include <vector>

#include "host/log.h"
#include "host/macros.h"
#include "host/statement.h"

namespace kav {

class ProgramReader {
 public:
  ProgramReader(std::string text, std::string file, const MacroTable& macros, Log& log);

  // The next statement; false at the end of the program.  Errors found while
  // reading (an unclosed comment or string, an undefined macro variable) are
  // logged here and mark the statement `bad`.  Comment statements (* ...; and
  // %* ...;) are skipped.
  bool next(Statement& out);

  SourcePos position_of(std::size_t offset) const;
  // Errors logged while reading so far.
  int errors() const { return errors_; }

 private:
  struct Extent {
    std::size_t begin = 0, end = 0;  // [begin, end) without the ';'
    bool terminated = false;
    bool bad = false;
  };
  bool find_extent(Extent& ex);
  void read_data_lines(Statement& st, std::size_t after);
  void report(int number, std::vector<std::string> args, SourcePos pos);
  bool expand(const Extent& ex, std::string& out, std::vector<std::size_t>& origin);
  bool tokenize(const std::string& text, const std::vector<std::size_t>& origin,
                std::vector<Token>& tokens);

  std::string text_;
  std::string file_;
  const MacroTable& macros_;
  Log& log_;
  std::vector<std::size_t> line_starts_;
  std::size_t cursor_ = 0;
  int errors_ = 0;
};

// Tokenizes a piece of text that is not part of a program file (used by
// `kav factor` options and by tests).
std::vector<Token> tokenize_text(const std::string& text, Log& log);

}  // namespace kav
