// The JSON results file: every step with its log and output objects, and the
// log written outside steps.  Programs and tests read it, so its layout is
// fixed (see the design notes on JSON results): a standard missing value is
// null, a special missing value its literal such as ".D", and numbers are
// written so that they read back as exactly the same doubles.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "host/output.h"

namespace kav {

std::unique_ptr<OutputDestination> make_json_destination(const std::string& path,
                                                         const std::string& version,
                                                         std::string& error);

// The JSON form of one object, of a value, of a log entry (used by the file
// and available to other writers of results).
nlohmann::ordered_json object_json(const OutputObject& object);
nlohmann::ordered_json number_json(double value, bool integer = false);
nlohmann::ordered_json log_entry_json(const LogEntry& entry);

}  // namespace kav
