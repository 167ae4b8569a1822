// Message numbers of the notes on graph requests (group 210).  The texts
// are in messages_procedure.cpp.
#pragma once

namespace kav {

inline constexpr int kGraphGroup = 210;
inline constexpr int kMsgGraphsNone = 1100;
inline constexpr int kMsgGraphsNoprint = 1102;
inline constexpr int kMsgGraphicsOff = 1104;

}  // namespace kav
