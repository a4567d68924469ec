// A replacement for an account file: written under another name next to it,
// it takes the place of the original in one rename, or disappears.
#pragma once

#include <string>
#include <sys/types.h>

#include "core/scratch_file.h"

// A new version of an account file, written under another name next to it.
// Unless commit() succeeded, the destructor removes it.
class ReplacementFile {
 public:
  ReplacementFile(std::string tempPath, std::string targetPath);
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  const std::string& tempPath() const { return temp_.path(); }
  const std::string& targetPath() const { return target_; }
  // The temporary file's descriptor, open for reading and writing (-1
  // before create()).
  int fd() const { return temp_.fd(); }

  // Makes the temporary file afresh and registers it for the SIGTERM
  // handler: a stale plain file of ours goes first, while a planted link or
  // any other file in the way makes it fail (-1) without touching it. A
  // writer redirecting into the name then fills this very file.
  int create();
  // The temporary file's content, read through its own descriptor.
  int readBack(std::string* text) const { return temp_.readBack(text); }
  // Gives the temporary file the owner, group and mode of the target, or
  // fallbackMode when the target cannot be examined. -1 on failure.
  int matchTarget(mode_t fallbackMode) const;
  // Writes the temporary file to disk, renames it over the target and makes
  // the rename itself durable. -1 when it cannot be synced or its name no
  // longer leads to the file create() made, -11 when the rename fails.
  int commit();

 private:
  ScratchFile temp_;
  std::string target_;
};
