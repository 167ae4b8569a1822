// Wiring of the destinations into the session's output delivery.
#pragma once

#include <string>

#include "host/output.h"
#include "render/graph_templates.h"
#include "render/html.h"
#include "render/json_results.h"
#include "render/listing.h"

namespace kav {

// Registers the kinds "html" and "json" (opened by file name by ODS
// statements and --html/--json) and "graphics" (a folder, for
// --graphics-dir).  `graphs` must outlive `delivery`.
void install_destination_kinds(OutputDelivery& delivery, const GraphTemplateRegistry& graphs,
                               const std::string& version);

}  // namespace kav
