// Messages of the FACTOR procedure (group 180) and of the routines it shares:
// the moment pass (230), the thread pool (174), the eigensolver (271) and the
// graphics notes (210).
#include <span>

#include "host/messages.h"

namespace kav {

namespace {
const MessageDef kProcedureMessages[] = {
    {180, 0, Severity::Note, "FACTOR procedure message."},
};
}  // namespace

std::span<const MessageDef> procedure_messages() { return kProcedureMessages; }

}  // namespace kav
