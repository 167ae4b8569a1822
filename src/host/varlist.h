// Variable lists as statements write them: names, numbered ranges (X1-X10),
// positional ranges (A--B, A-NUMERIC-B, A-CHARACTER-B, A-CHAR-B), name
// prefixes (ABC:), the special lists _NUMERIC_, _CHARACTER_ (_CHAR_) and
// _ALL_, and name literals ('my name'n).
//
// Reading a list and resolving it are separate: a statement is read before
// its data set is open, and the same list may be resolved against more than
// one data set (the input and a TARGET= set, say).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/dataset.h"
#include "host/log.h"
#include "host/statement.h"

namespace kav {

struct VarListItem {
  enum class Kind {
    Name,                 // X
    Numbered,             // X1-X10: first and last share a prefix and end in numbers
    Positional,           // A--B: every variable from A to B in data set order
    PositionalNumeric,    // A-NUMERIC-B
    PositionalCharacter,  // A-CHARACTER-B, A-CHAR-B
    Prefix,               // ABC:
    AllNumeric,           // _NUMERIC_
    AllCharacter,         // _CHARACTER_, _CHAR_
    All                   // _ALL_
  };
  Kind kind = Kind::Name;
  std::string first, last;  // names as written (last only for ranges)
  SourcePos pos;
  bool descending = false;  // preceded by DESCENDING (BY lists)

  // The item as the user wrote it, for messages: "X1-X10", "A--B", "ABC:".
  std::string display() const;
};

// Why a list could not be read or resolved: a host message (group
// kHostGroup) with its arguments and the position of the offending item.
struct VarListError {
  int number = 0;
  std::vector<std::string> args;
  SourcePos pos;
};

// Reads a variable list from tokens[i] up to the end of the statement, or up
// to a token that cannot continue a list (when `stop_at_other` is set: a
// symbol other than the range symbols, such as ')' or '=').  DESCENDING
// before a name marks it when `allow_descending` is set; NOTSORTED anywhere
// in the list sets *notsorted when that pointer is given.  Returns false
// with `err` filled when the list is malformed.
bool read_varlist(const std::vector<Token>& tokens, std::size_t& i, std::vector<VarListItem>& out,
                  VarListError& err, bool allow_descending = false, bool* notsorted = nullptr,
                  bool stop_at_other = false);

// A numbered range as written, X1-X10 or T01-T24: the prefix the two names
// share, the numbers they end in, and the width the numbers are written
// with.  A first number written with a leading zero (T01) fixes the width,
// and every name of the range is padded to it: T01-T24 names T01, T02, ...,
// T24, as the variables were named when they were created.
struct NumberedRange {
  std::string prefix;
  long first = 0, last = 0;
  std::size_t width = 0;  // 0: the numbers as they come (X8, X9, X10)

  // The name of number n of the range.
  std::string name(long n) const;
};

// Splits `first` and `last` into a numbered range: false when either does
// not end in a number of at most nine digits after a non-empty prefix, or
// the prefixes differ (case aside).  The order of the numbers is the
// caller's to check.
bool numbered_range(const std::string& first, const std::string& last, NumberedRange& range);

enum class VarType { Any, Numeric, Character };

// Resolves items against a data set header into 0-based variable indices, in
// the order written (a range in data set order).  `need` restricts the types
// allowed: a named variable, a range end or a variable inside A--B or _ALL_
// of the wrong type is an error naming it; `statement` names the statement in
// that message.  With `each_once`, a variable the list yields a second time
// (X1 X2 X1, or X1-X3 X2) is an error too.  Returns false with `err` filled
// at the first problem.
bool resolve_varlist(const std::vector<VarListItem>& items, const DataSetHeader& header,
                     VarType need, const std::string& statement, std::vector<int>& out,
                     VarListError& err, bool each_once = false);

}  // namespace kav
