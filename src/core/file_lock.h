// The fcntl write lock that the host's own account tools honour, taken
// before an account file is rewritten.
#pragma once

#include <string>

#include "core/unique_fd.h"

// A write lock over the whole of a lock file, held until release() or
// destruction. The same kind of lock as the C library's password-file lock,
// so the host's account tools and this program keep out of each other's way.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens path for reading and writing (never creates it: -2 when that
  // fails), then makes up to `attempts` attempts to take the lock without
  // blocking: the first at once, the others spread evenly over
  // attempts x pauseMillis. -8 when none succeeds.
  int acquire(const std::string& path, int attempts, int pauseMillis);
  // The same on a lock file the caller has opened (and checked): the lock
  // is taken on that very file. The descriptor is this lock's from then on,
  // whatever the outcome.
  int acquire(int fd, int attempts, int pauseMillis);
  // Gives the lock back and closes the file; -8 when unlocking fails.
  int release();
  bool held() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
};
