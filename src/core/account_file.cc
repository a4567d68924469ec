#include "core/account_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

#include "core/result.h"

namespace {

void pause(int millis) {
  timespec wait{millis / 1000, static_cast<long>(millis % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

int setLock(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = getpid();
  return fcntl(fd, F_SETLK, &lock);
}

}  // namespace

FileLock::~FileLock() {
  if (fd_ >= 0) release();
}

int FileLock::acquire(const std::string& path, int attempts, int pauseMillis) {
  if (fd_ >= 0) return kOk;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return kErrNotFound;
  return acquire(fd, attempts, pauseMillis);
}

int FileLock::acquire(int fd, int attempts, int pauseMillis) {
  if (fd_ >= 0) {
    close(fd);
    return kOk;
  }
  // A free lock is taken at once; only a held one is waited for. The later
  // attempts share the whole patience (attempts x pause), so a holder is
  // given as long as ever before the answer is -8.
  const long patience = static_cast<long>(attempts) * pauseMillis;
  long waited = 0;
  for (int i = 0; i < attempts; ++i) {
    if (i > 0) {
      long due = patience * i / (attempts - 1);
      pause(static_cast<int>(due - waited));
      waited = due;
    }
    if (setLock(fd, F_WRLCK) == 0) {
      fd_ = fd;
      return kOk;
    }
  }
  close(fd);
  return kErrLock;
}

int FileLock::release() {
  if (fd_ < 0) return kOk;
  int unlocked = setLock(fd_, F_UNLCK);
  // Closing drops the lock in any case, so the descriptor never outlives this.
  close(fd_);
  fd_ = -1;
  return unlocked == 0 ? kOk : kErrLock;
}

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
