// Variable-name rules.  Which names are allowed depends on the
// VALIDVARNAME= system option: V7 (the default) allows names of letters,
// digits and underscores that do not start with a digit, at most 32
// characters; V6 the same at most 8; ANY allows any text of 1-32 characters
// that is not all blanks, written in programs as a name literal 'my name'n.
#pragma once

#include <string>

namespace kav {

enum class ValidVarName { V6, V7, Any };

// "V6", "V7" or "ANY" in any case; throws std::invalid_argument otherwise.
ValidVarName parse_validvarname(const std::string& text);
// "V6", "V7" or "ANY".
const char* validvarname_text(ValidVarName rule);

// Longest name allowed under the rule, in characters (bytes for V6/V7, whose
// names are ASCII; UTF-8 characters for ANY).
int max_name_length(ValidVarName rule);

bool is_valid_name(const std::string& name, ValidVarName rule);

// The nearest valid name: under V6/V7 each invalid character becomes an
// underscore, a leading digit gets an underscore before it, and the result
// is cut to the length limit; an empty name becomes "_".  Under ANY the name
// is kept, only cut to 32 characters.
std::string make_valid_name(const std::string& name, ValidVarName rule);

// The name as it must be written in program text or a listing: the name
// itself when it is a V7 name, else a name literal such as 'my name'n (an
// embedded quote doubled).
std::string name_literal(const std::string& name);

}  // namespace kav
