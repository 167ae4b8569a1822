// The program reader: statement extents, comments, strings, macro variable
// references and tokens, over a whole program.  %LET statements set macro
// variables as the interpreter does, so that references meet values,
// including values that refer to themselves or double at each step.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/log.h"
#include "host/macros.h"
#include "host/statement.h"
#include "lang/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kav::MacroTable macros;
  macros.set("SELF", "&self");
  macros.set("TWICE", "&once&once");
  macros.set("ONCE", "ab");
  macros.set("SEMI", "x; y");
  macros.set("QUOTED", "'&once&undefined'");
  kav::Log log;
  kav::ProgramReader reader(text, "fuzz.kav", macros, log);
  kav::Statement st;
  while (reader.next(st)) {
    for (const auto& tok : st.tokens)
      if (tok.pos.line < 1 || tok.pos.column < 1) __builtin_trap();  // every token is placed
    const auto& t = st.tokens;
    // As the interpreter: a %LET in error sets nothing; the value is trimmed.
    if (!st.bad && t.size() >= 4 && t[0].is_symbol("%") && t[1].is_word("LET") &&
        t[2].is_name() && t[3].is_symbol("=")) {
      std::string value = st.text.substr(st.text.find('=') + 1);
      const std::size_t a = value.find_first_not_of(" \t\r\n");
      value = a == std::string::npos ? "" : value.substr(a, value.find_last_not_of(" \t\r\n") - a + 1);
      if (value.size() <= kav::kMaxMacroValue) macros.set(t[2].value, value);
    }
  }
  kav::Log quiet;
  (void)kav::tokenize_text(text, quiet);
  return 0;
}
