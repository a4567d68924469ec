// A file-creation mask for one scope: the process keeps 077, and a step
// that needs another (a tool that makes a home directory) has it only for
// that step, on every return path.
#pragma once

#include <sys/stat.h>

class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : outside_(umask(mask)) {}
  ~UmaskScope() { umask(outside_); }
  UmaskScope(const UmaskScope&) = delete;
  UmaskScope& operator=(const UmaskScope&) = delete;

 private:
  mode_t outside_;
};
