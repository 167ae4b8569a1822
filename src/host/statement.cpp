#include "host/statement.h"

#include "host/dataset.h"

namespace kav {

bool Token::is_word(const char* word) const {
  return (kind == TokenKind::Name) && same_name(value, word);
}

std::string Statement::keyword() const {
  if (tokens.empty() || tokens[0].kind != TokenKind::Name) return "";
  return upper(tokens[0].value);
}

}  // namespace kav
