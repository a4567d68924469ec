#include "core/scratch_file.h"

#include <cerrno>
#include <cstring>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/result.h"
#include "core/signal_block.h"
#include "core/trace.h"

namespace {

constexpr int kRegistrySlots = 32;
constexpr std::size_t kRegistryPathMax = 1024;

// Written only with SIGTERM blocked, read by the handler: a slot is either
// empty or holds a whole path.
char registry[kRegistrySlots][kRegistryPathMax];

}  // namespace

int createExclusive(const std::string& path, mode_t mode, int* fdOut, bool replaceStale) {
  struct stat st;
  if (replaceStale && lstat(path.c_str(), &st) == 0) {
    // Only a plain file of ours from an earlier, killed run may go.
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
      errno = EEXIST;  // for the cause logged by the caller
      return kErrOpen;
    }
    if (unlink(path.c_str()) != 0) return kErrOpen;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return kErrOpen;
  *fdOut = fd;
  return kOk;
}

bool registerTemporary(const std::string& path) {
  if (path.size() >= kRegistryPathMax) return false;
  TerminationHold hold;
  for (auto& slot : registry) {
    if (slot[0] != '\0') continue;
    std::memcpy(slot, path.c_str(), path.size() + 1);
    return true;
  }
  return false;
}

void forgetTemporary(const std::string& path) {
  TerminationHold hold;
  for (auto& slot : registry)
    if (slot[0] != '\0' && path == slot) slot[0] = '\0';
}

void removeRegisteredTemporaries() {
  for (auto& slot : registry)
    if (slot[0] != '\0') unlink(slot);
}

int ScratchFile::open(mode_t mode) {
  if (created_) return kOk;
  // Registered before it exists, so that no signal can fall between the two.
  if (!registerTemporary(path_)) return kErrOpen;
  int fd = -1;
  if (createExclusive(path_, mode, &fd, replaceStale_) != kOk) {
    logCause("ScratchFile", "cannot create %s: %s", path_.c_str(), std::strerror(errno));
    forgetTemporary(path_);
    return kErrOpen;
  }
  fd_.reset(fd);
  created_ = true;
  return kOk;
}

int ScratchFile::create(mode_t mode) {
  int result = open(mode);
  if (result == kOk) result = closeFd();
  return result;
}

int ScratchFile::readBack(std::string* text) const {
  text->clear();
  if (!fd_.valid()) return kErrOpen;
  return readFromStart(fd_.get(), text);
}

bool ScratchFile::stillOurs() const {
  struct stat mine, named;
  if (!fd_.valid() || fstat(fd_.get(), &mine) != 0 || lstat(path_.c_str(), &named) != 0) return false;
  return S_ISREG(named.st_mode) && named.st_nlink == 1 && mine.st_dev == named.st_dev &&
         mine.st_ino == named.st_ino;
}

int ScratchFile::closeFd() { return fd_.close(); }

void ScratchFile::release() {
  closeFd();
  if (created_) forgetTemporary(path_);
  created_ = false;
  path_.clear();
}

void ScratchFile::remove() {
  closeFd();
  if (!created_) return;
  unlink(path_.c_str());
  forgetTemporary(path_);
  created_ = false;
}

int replaceStateFile(const std::string& path, std::string_view content) {
  ScratchFile temp(path + ".new");
  int result = temp.open(0600);
  if (result == kOk) result = writeAll(temp.fd(), content);
  if (result == kOk && fsync(temp.fd()) != 0) result = kErrOpen;
  if (result == kOk) result = temp.closeFd();
  if (result == kOk && rename(temp.c_str(), path.c_str()) != 0) result = kErrOpen;
  if (result == kOk) {
    temp.release();
    syncParentDirectory(path);
  }
  return result;
}
