#include "core/replacement_file.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/result.h"

ReplacementFile::ReplacementFile(std::string tempPath, std::string targetPath)
    : temp_(std::move(tempPath)), target_(std::move(targetPath)) {}

int ReplacementFile::create() { return temp_.open(0600); }

int ReplacementFile::matchTarget(mode_t fallbackMode) const {
  if (!temp_.stillOurs()) return kErrOpen;
  struct stat old;
  if (stat(target_.c_str(), &old) != 0)
    return fchmod(temp_.fd(), fallbackMode) == 0 ? kOk : kErrOpen;
  if (fchown(temp_.fd(), old.st_uid, old.st_gid) != 0) return kErrOpen;
  // After chown, which may clear set-id bits.
  if (fchmod(temp_.fd(), old.st_mode & 07777) != 0) return kErrOpen;
  return kOk;
}

int ReplacementFile::commit() {
  if (!temp_.stillOurs() || fsync(temp_.fd()) != 0) return kErrOpen;
  if (rename(temp_.c_str(), target_.c_str()) != 0) return kErrOther;
  temp_.release();
  syncParentDirectory(target_);
  return kOk;
}
