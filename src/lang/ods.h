#pragma once

#include "host/session.h"

namespace kav {

// Carries out an ODS statement on the session's output delivery; false when
// it was in error (the error is logged).
bool run_ods_statement(Session& session, const Statement& statement);

}  // namespace kav
