#include "core/directory_entries.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>

#include "core/unique_fd.h"

bool forEachEntry(int fd, const std::function<void(const char* name)>& visit) {
  UniqueFd walk(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  DIR* dir = walk.valid() ? fdopendir(walk.get()) : nullptr;
  if (dir == nullptr) return false;
  walk.release();  // closedir closes it from here on
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    visit(entry->d_name);
  }
  closedir(dir);
  return true;
}
