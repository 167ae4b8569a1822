// kav help: the reference of the program language by topic, and of each
// procedure's statements made from the grammar its parser uses.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kav {

// Writes the topic named by `words` ("" lists the topics) and returns the
// exit status: 0, or 64 when no topic has that name.
int show_help(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

}  // namespace kav
