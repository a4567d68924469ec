// This run's own directory for its scratch files. Several runs share one
// working directory, all as root: a fixed scratch name there would be open to
// every one of them. Each run that needs scratch files therefore makes a
// directory of its own there (".kdl2nis.XXXXXX", mode 0700) and holds an
// flock on it for its whole life. A directory nobody holds is a leftover of a
// killed run, and only such directories are swept.
#pragma once

#include <string>
#include <string_view>

#include "core/scratch_file.h"

// "<run directory>/<name>", the directory made on the first call (after a
// sweep of the leftovers). "" when it cannot be made: creating a file by
// that name then fails.
std::string runScratchPath(std::string_view name);

// Async-signal-safe: removes the run directory when it is empty (the SIGTERM
// handler unlinks the registered files first). Anything left is swept by a
// later run.
void removeRunDirectoryOnSignal();

// Removes the run directory and everything in it when the run ends.
class RunDirectoryCleanup {
 public:
  RunDirectoryCleanup() = default;
  ~RunDirectoryCleanup();
  RunDirectoryCleanup(const RunDirectoryCleanup&) = delete;
  RunDirectoryCleanup& operator=(const RunDirectoryCleanup&) = delete;
};

// A scratch file of this run, inside its run directory. No other run can
// have put anything under its name, so nothing found there is taken over.
class RunScratchFile : public ScratchFile {
 public:
  explicit RunScratchFile(std::string_view name)
      : ScratchFile(runScratchPath(name), ScratchFile::kNeverReplace) {}
};
