#include "core/file_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "core/event_record.h"
#include "core/result.h"
#include "core/unique_fd.h"

namespace {

std::string directoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int readFromStart(int fd, std::string* text, std::size_t limit) {
  text->clear();
  char buffer[4096];
  int result = kOk;
  while (result == kOk && text->size() < limit) {
    std::size_t want = std::min(sizeof buffer, limit - text->size());
    ssize_t n = pread(fd, buffer, want, static_cast<off_t>(text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result = kErrOpen;
    if (n <= 0) break;
    text->append(buffer, static_cast<std::size_t>(n));
  }
  explicit_bzero(buffer, sizeof buffer);
  if (result != kOk) wipeString(*text);
  return result;
}

int writeAll(int fd, std::string_view content, std::size_t* written) {
  std::size_t done = 0;
  int result = kOk;
  while (result == kOk && done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      result = kErrOpen;
    else
      done += static_cast<std::size_t>(n);
  }
  if (written != nullptr) *written = done;
  return result;
}

void syncParentDirectory(const std::string& path) {
  UniqueFd dir(open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) fsync(dir.get());
}
