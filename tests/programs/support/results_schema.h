// Checks a results document against the layout of the JSON results: every
// key, its type, and the agreement of rows with columns.  Returns the list of
// problems found (empty when the document is valid).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kav::testing_support {

std::vector<std::string> results_schema_problems(const nlohmann::json& doc);

}  // namespace kav::testing_support
