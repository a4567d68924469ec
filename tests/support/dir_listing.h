// The names in a directory, for a test's checks of what its runs left there.
#pragma once

#include <dirent.h>

#include <set>
#include <string>

// Every entry but "." and ".."; none when the directory cannot be read.
inline std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> found;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") found.insert(e->d_name);
    closedir(d);
  }
  return found;
}
