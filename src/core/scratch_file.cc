#include "core/scratch_file.h"

#include <cerrno>
#include <cstring>
#include <string.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include "core/result.h"
#include "core/trace.h"

namespace {

constexpr int kRegistrySlots = 32;
constexpr std::size_t kRegistryPathMax = 1024;

// Written only with SIGTERM blocked, read by the handler: a slot is either
// empty or holds a whole path.
char registry[kRegistrySlots][kRegistryPathMax];

class TermBlock {
 public:
  TermBlock() {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &saved_);
  }
  ~TermBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

std::string directoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int writeAll(int fd, std::string_view content) {
  std::size_t written = 0;
  while (written < content.size()) {
    ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kErrOpen;
    written += static_cast<std::size_t>(n);
  }
  return kOk;
}

void syncParentDirectory(const std::string& path) {
  int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
}

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
  TermBlock block;
  for (auto& slot : registry) {
    if (slot[0] != '\0') continue;
    std::memcpy(slot, path.c_str(), path.size() + 1);
    return true;
  }
  return false;
}

void forgetTemporary(const std::string& path) {
  TermBlock block;
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
  if (createExclusive(path_, mode, &fd_, replaceStale_) != kOk) {
    logCause("ScratchFile", "cannot create %s: %s", path_.c_str(), std::strerror(errno));
    forgetTemporary(path_);
    return kErrOpen;
  }
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
  if (fd_ < 0) return kErrOpen;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fd_, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      explicit_bzero(buffer, sizeof buffer);
      return kErrOpen;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  explicit_bzero(buffer, sizeof buffer);
  return kOk;
}

bool ScratchFile::stillOurs() const {
  struct stat mine, named;
  if (fd_ < 0 || fstat(fd_, &mine) != 0 || lstat(path_.c_str(), &named) != 0) return false;
  return S_ISREG(named.st_mode) && named.st_nlink == 1 && mine.st_dev == named.st_dev &&
         mine.st_ino == named.st_ino;
}

int ScratchFile::closeFd() {
  if (fd_ < 0) return kOk;
  int closed = close(fd_);
  fd_ = -1;
  return closed == 0 ? kOk : kErrOpen;
}

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
