#include "core/run_directory.h"

#include <cctype>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/directory_entries.h"
#include "core/result.h"
#include "core/trace.h"
#include "core/unique_fd.h"

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
  forEachEntry(fd, [fd](const char* name) { unlinkat(fd, name, 0); });
}

// Removes one leftover when it is a directory of ours that no live run
// holds; the lock taken here keeps it so until it is gone.
void sweepOne(int workFd, const char* name) {
  struct stat named, opened;
  if (fstatat(workFd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(named.st_mode) ||
      named.st_uid != geteuid())
    return;
  UniqueFd fd(openat(workFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return;
  if (fstat(fd.get(), &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
      flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    emptyDirectory(fd.get());
    unlinkat(workFd, name, AT_REMOVEDIR);
  }
}

// Removes, with everything in them, the directories of the working
// directory that look like run directories, are ours, and that no live run
// holds.
void sweepIn(int workFd) {
  forEachEntry(workFd, [workFd](const char* name) {
    if (looksLikeRunDirectory(name)) sweepOne(workFd, name);
  });
}

// Makes and locks a new run directory. The caller holds the working
// directory's lock, so no sweep sees it between mkdtemp and the flock.
int makeLockedDirectory() {
  char name[sizeof directoryName];
  std::memcpy(name, kPrefix, kPrefixLength);
  std::memset(name + kPrefixLength, 'X', kSuffixLength);
  name[sizeof name - 1] = '\0';
  if (mkdtemp(name) == nullptr) return kErrOpen;
  UniqueFd fd(open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    fd.reset();
    rmdir(name);
    return kErrOpen;
  }
  directoryFd = fd.release();
  std::memcpy(directoryName, name, sizeof name);
  named = 1;
  return kOk;
}

int makeRunDirectory() {
  UniqueFd work(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!work.valid()) return failAt("makeRunDirectory", kErrOpen);
  // Sweeps and makings in one working directory go one at a time.
  int result = flock(work.get(), LOCK_EX) == 0 ? kOk : kErrOpen;
  if (result == kOk) {
    sweepIn(work.get());
    result = makeLockedDirectory();
  }
  work.reset();  // drops the lock
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
