#include "core/file_lock.h"

#include <cerrno>
#include <fcntl.h>
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

FileLock::~FileLock() { release(); }

int FileLock::acquire(const std::string& path, int attempts, int pauseMillis) {
  if (held()) return kOk;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return kErrNotFound;
  return acquire(fd, attempts, pauseMillis);
}

int FileLock::acquire(int fd, int attempts, int pauseMillis) {
  UniqueFd file(fd);
  if (held()) return kOk;
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
    if (setLock(file.get(), F_WRLCK) == 0) {
      fd_ = std::move(file);
      return kOk;
    }
  }
  return kErrLock;
}

int FileLock::release() {
  if (!held()) return kOk;
  int unlocked = setLock(fd_.get(), F_UNLCK);
  // Closing drops the lock in any case, so the descriptor never outlives this.
  fd_.reset();
  return unlocked == 0 ? kOk : kErrLock;
}
