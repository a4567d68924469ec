// A file of the working directory that one step owns: removed when the step
// ends, on every path.
#pragma once

#include <string>
#include <unistd.h>

class ScratchFile {
 public:
  explicit ScratchFile(std::string path) : path_(std::move(path)) {}
  ~ScratchFile() { unlink(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::string& path() const { return path_; }
  const char* c_str() const { return path_.c_str(); }

 private:
  std::string path_;
};

// "<prefix><pid>", e.g. "tmpmap_1234".
inline std::string pidName(const char* prefix) {
  return std::string(prefix) + std::to_string(getpid());
}
