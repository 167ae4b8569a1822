// The message catalogue: one table of every message the system issues,
// with its severity and text.  Arguments are written %1 .. %9 in the text.
#pragma once

#include "host/log.h"

namespace kav {

struct MessageDef {
  int group;
  int number;
  Severity severity;
  const char* text;
};

// The whole catalogue, sorted by (group, number).
const std::vector<MessageDef>& message_catalogue();
const MessageDef* find_message(int group, int number);

}  // namespace kav
