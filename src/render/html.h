// The HTML destination: one self-contained file (inline CSS and SVG, no
// scripts, nothing fetched) with a table of contents built from the step,
// BY group, group and object labels.  Tables are HTML tables in the same
// formats as the listing and scroll sideways on a narrow screen; the print
// style sheet lets wide tables run over pages with their headers repeated.
// The file is written when the destination closes.
#pragma once

#include <memory>
#include <string>

#include "host/output.h"
#include "render/graph_templates.h"

namespace kav {

// Opens `path` for writing at once (so a bad path is reported when the
// destination is opened); returns null and sets `error` when it cannot.
std::unique_ptr<OutputDestination> make_html_destination(const std::string& path,
                                                         const GraphTemplateRegistry& graphs,
                                                         std::string& error);

}  // namespace kav
