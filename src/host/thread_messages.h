// Message numbers of the thread pool of the parallel pass over the data
// (group 174).  The pool's error codes from kMsgThreadFirst on are the
// numbers of its messages, one text per code in messages_procedure.cpp.
#pragma once

namespace kav {

inline constexpr int kThreadGroup = 174;
inline constexpr int kMsgThreadFirst = 43;

}  // namespace kav
