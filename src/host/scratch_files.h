// Files and folders that exist only while a run is writing: the temporary
// files a data set is written to before it is renamed into place, and the
// WORK folder of a run.  Their names carry the process id of the run that
// made them, so that a later run can tell the leftovers of a killed run
// (whose process is gone) from files another live run is still writing.
#pragma once

#include <cstdio>
#include <string>

namespace kav {

// Creates "<target>.tmp-<pid>-<random>" for writing and returns its path
// ("" when it cannot be made; errno says why).  The file gets the permissions
// of the file `target` names when that exists, so that replacing a data set
// keeps who may read it; failing that, those of `companion` (a sidecar
// takes its data file's); otherwise the permissions a new file gets under
// the process's umask.
std::string create_temp_beside(const std::string& target, std::FILE*& file,
                               const std::string& companion = "");

// Removes the temporary files of `target` left by runs that were killed
// before they could commit or remove them.
void remove_stale_temps(const std::string& target);

// Makes a fresh WORK folder "kav-work-<pid>-<random>" in `base`, after
// removing the WORK folders that killed runs left there.  Returns "" when
// none can be made.
std::string make_work_folder(const std::string& base);

}  // namespace kav
