// Messages of the run-time itself: the program language, data sets and
// libraries, and the kav command.
#include <span>

#include "host/messages.h"

namespace kav {

namespace {
using S = Severity;
const MessageDef kHostMessages[] = {
    {kHostGroup, 1, S::Error, "The comment that starts here is never closed with */."},
};
}  // namespace

std::span<const MessageDef> host_messages() { return kHostMessages; }

}  // namespace kav
