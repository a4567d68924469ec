#include "core/run_directory.h"

#include <cctype>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/result.h"
#include "core/trace.h"

namespace {

constexpr char kPrefix[] = ".kdl2nis.";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
constexpr std::size_t kSuffixLength = 6;  // mkdtemp's XXXXXX

// The directory's name, for the SIGTERM handler: filled before `named` is
// set, never changed while it is.
char directoryName[kPrefixLength + kSuffixLength + 1];
volatile sig_atomic_t named = 0;
// Open for the run's life: the flock on it tells a sweep the run is alive.
int directoryFd = -1;

bool looksLikeRunDirectory(const char* name) {
  if (std::strncmp(name, kPrefix, kPrefixLength) != 0) return false;
  const char* suffix = name + kPrefixLength;
  if (std::strlen(suffix) != kSuffixLength) return false;
  for (const char* c = suffix; *c != '\0'; ++c)
    if (!std::isalnum(static_cast<unsigned char>(*c))) return false;
  return true;
}

// Unlinks every entry of the open directory. unlinkat never follows a
// link, and a subdirectory (no run makes one) stays, and with it the
// directory.
void emptyDirectory(int fd) {
  int walk = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = walk < 0 ? nullptr : fdopendir(walk);
  if (dir == nullptr) {
    if (walk >= 0) close(walk);
    return;
  }
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    unlinkat(fd, entry->d_name, 0);
  }
  closedir(dir);
}

// Removes one leftover when it is a directory of ours that no live run
// holds; the lock taken here keeps it so until it is gone.
void sweepOne(int workFd, const char* name) {
  struct stat named, opened;
  if (fstatat(workFd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(named.st_mode) ||
      named.st_uid != geteuid())
    return;
  int fd = openat(workFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  if (fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
      flock(fd, LOCK_EX | LOCK_NB) == 0) {
    emptyDirectory(fd);
    unlinkat(workFd, name, AT_REMOVEDIR);
  }
  close(fd);
}

// Removes, with everything in them, the directories of the working
// directory that look like run directories, are ours, and that no live run
// holds.
void sweepIn(int workFd) {
  int walk = fcntl(workFd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = walk < 0 ? nullptr : fdopendir(walk);
  if (dir == nullptr) {
    if (walk >= 0) close(walk);
    return;
  }
  while (dirent* entry = readdir(dir))
    if (looksLikeRunDirectory(entry->d_name)) sweepOne(workFd, entry->d_name);
  closedir(dir);
}

// Makes and locks a new run directory. The caller holds the working
// directory's lock, so no sweep sees it between mkdtemp and the flock.
int makeLockedDirectory() {
  char name[sizeof directoryName];
  std::memcpy(name, kPrefix, kPrefixLength);
  std::memset(name + kPrefixLength, 'X', kSuffixLength);
  name[sizeof name - 1] = '\0';
  if (mkdtemp(name) == nullptr) return kErrOpen;
  int fd = open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (fd >= 0) close(fd);
    rmdir(name);
    return kErrOpen;
  }
  directoryFd = fd;
  std::memcpy(directoryName, name, sizeof name);
  named = 1;
  return kOk;
}

int makeRunDirectory() {
  int work = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (work < 0) return failAt("makeRunDirectory", kErrOpen);
  // Sweeps and makings in one working directory go one at a time.
  int result = flock(work, LOCK_EX) == 0 ? kOk : kErrOpen;
  if (result == kOk) {
    sweepIn(work);
    result = makeLockedDirectory();
  }
  close(work);  // drops the lock
  return result == kOk ? kOk : failAt("makeRunDirectory", result);
}

}  // namespace

std::string runScratchPath(std::string_view name) {
  if (!named && makeRunDirectory() != kOk) return std::string();
  std::string path(directoryName);
  path.push_back('/');
  path.append(name);
  return path;
}

void removeRunDirectoryOnSignal() {
  if (named) rmdir(directoryName);
}

RunDirectoryCleanup::~RunDirectoryCleanup() {
  if (!named) return;
  emptyDirectory(directoryFd);
  rmdir(directoryName);
  named = 0;
  close(directoryFd);
  directoryFd = -1;
}
