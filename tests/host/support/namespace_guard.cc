#include "namespace_guard.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {
ino_t originalNamespace = 0;

ino_t currentNamespace() {
  struct stat st;
  if (stat("/proc/self/ns/mnt", &st) != 0) return 0;
  return st.st_ino;
}
}  // namespace

bool enterPrivateMountNamespace(std::string* why) {
  if (originalNamespace == 0) originalNamespace = currentNamespace();
  if (unshare(CLONE_NEWNS) != 0) {
    *why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    return false;
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("making mounts private: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool inPrivateMountNamespace(std::string* why) {
  ino_t now = currentNamespace();
  if (originalNamespace == 0 || now == 0 || now == originalNamespace) {
    *why = "the process is still in the mount namespace it started in";
    return false;
  }
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, rootOfMount, mountPoint, options, optional;
    fields >> id >> parent >> devno >> rootOfMount >> mountPoint >> options;
    if (mountPoint != "/") continue;
    while (fields >> optional && optional != "-")
      if (optional.rfind("shared:", 0) == 0 || optional.rfind("master:", 0) == 0) {
        *why = "the root mount still propagates (" + optional + ")";
        return false;
      }
  }
  return true;
}
