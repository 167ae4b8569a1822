// A folder of its own for each fuzzing process, and a Landlock rule set that
// keeps the process from writing anywhere else.  The program target runs
// whole programs, and a mutated LIBNAME or quoted path could otherwise make
// or replace files anywhere the user may write.
#pragma once

#include <string>

namespace kavfuzz {

// Makes the folder, moves into it and restricts writes to it, to the folders
// listed in KAV_FUZZ_WRITABLE (colon-separated: the corpus and the artifact
// folders) and to /dev/null, with new files only in /tmp; reading /dev is refused too, so that INFILE
// '/dev/zero' cannot hang a run.  Aborts when the kernel has no Landlock,
// unless KAV_FUZZ_UNSANDBOXED=1.  Returns the folder.
const std::string& sandbox();

// Removes everything in the folder, so that one input leaves nothing for
// the next.
void clear_sandbox();

}  // namespace kavfuzz
