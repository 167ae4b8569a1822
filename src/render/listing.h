// The listing: output as plain text, set like a printed report.
//
// Titles and the procedure heading are centred in the line size; each BY
// group starts with a rule naming its values; tables show their title lines,
// their headers over right-aligned numbers in the template formats, and
// break into column panels (the row-label column repeated in each) when they
// are wider than a line.  Nothing is cut: a single column wider than the line
// is printed whole.  Graphs are not drawn here.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/output.h"

namespace kav {

std::unique_ptr<OutputDestination> make_listing_destination(std::ostream& out);

// The lines of one table laid out for a line size (no trailing newline
// characters); what the listing prints for it.
std::vector<std::string> listing_table_lines(const Table& table, int line_size);

}  // namespace kav
