// Tokens and statements of the program language, as steps receive them.
// Kept in the host so that procedures can read their statements without
// depending on the language layer.
#pragma once

#include <string>
#include <vector>

#include "host/log.h"

namespace kav {

enum class TokenKind {
  Name,         // SCORES, x1, _TYPE_ (value: as written)
  Number,       // 12, 1.5e3 (number holds the value)
  Missing,      // . .A ._ (number holds the missing value)
  String,       // 'text' or "text" (value: the text without quotes)
  NameLiteral,  // 'any name'n (value: the name)
  Symbol,       // = ( ) , - -- : $ @ @@ / * + < > . & % ...
  End           // end of the statement (the ';')
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::string text;   // as it stands in the program (after macro substitution)
  std::string value;  // name, string contents or symbol
  double number = 0;
  SourcePos pos;
  bool space_before = false;  // white space or a comment separated it from the previous token

  bool is_name() const { return kind == TokenKind::Name; }
  // A name (or name literal) equal to `word`, ignoring case.
  bool is_word(const char* word) const;
  bool is_symbol(const char* sym) const { return kind == TokenKind::Symbol && value == sym; }
};

struct Statement {
  std::vector<Token> tokens;  // without the closing ';'
  SourcePos pos;              // where the statement starts
  std::string text;           // the statement's text, for messages
  bool bad = false;           // the reader already reported an error in it
  // Data lines that follow a DATALINES or CARDS statement, and the line
  // number of the first of them.
  std::vector<std::string> lines;
  int first_line = 0;

  bool empty() const { return tokens.empty(); }
  // The first word in upper case, or "" when the statement does not start
  // with a name.
  std::string keyword() const;
};

}  // namespace kav
