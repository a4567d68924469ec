#include "core/home_directory.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"

namespace {

bool isUsablePath(const char* path) { return path != nullptr && path[0] == '/'; }

// "/" itself, or any spelling that comes to it ("//", "/.", "/home/..").
bool isRootDirectory(const char* path) {
  if (std::string(path) == "/") return true;
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr && std::string(resolved) == "/";
}

}  // namespace

unsigned long homeId(const char* text) {
  return text == nullptr ? 0 : std::strtoul(text, nullptr, 10);
}

void createHomeDir(const char* path, uid_t uid, gid_t gid) {
  if (!isUsablePath(path)) {
    std::fputs("Warning: Invalid home directory\n", stderr);
    return;
  }
  if (mkdir(path, 0777) != 0) {
    std::perror("Warning: Unable to create home directory");
    return;
  }
  if (chown(path, uid, gid) != 0) std::perror("Warning: Unable to change home directory ownership");
}

void removeHomeDirectory(const char* path, uid_t uid, gid_t gid) {
  if (!isUsablePath(path)) {
    std::fputs("Warning: Invalid home directory\n", stderr);
    return;
  }
  if (isRootDirectory(path)) {
    std::fputs("Warning: Unable to remove root directory\n", stderr);
    return;
  }
  struct stat st;
  if (stat(path, &st) != 0) {
    std::perror("Warning: Unable to access home directory");
    return;
  }
  if (st.st_uid != uid) {
    std::fputs("Warning: Not owner for home directory\n", stderr);
    return;
  }
  std::string rmDir;
  if (searchPath("rm", &rmDir) != kOk) return;
  std::string command = rmDir + "/rm -rf " + quoteBareWord(path);
  if (runLogged("removeHomeDirectory", command) != kOk) std::fputs("Warning: Unable to remove  home directory\n", stderr);
}
