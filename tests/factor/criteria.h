// The rotation criteria, shared with the extension's tests: support/criteria.h.
#pragma once

#include "support/criteria.h"
