// Owners for open descriptors and stdio streams: closed on every return
// path. close() is for the places where the close's own result counts (a
// write error may first show there).
#pragma once

#include <cstdio>
#include <unistd.h>
#include <utility>

#include "core/result.h"

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over; this owner holds none any more.
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // 0, or kErrOpen when close reports an error. Nothing held is 0.
  int close() {
    if (fd_ < 0) return kOk;
    return ::close(release()) == 0 ? kOk : kErrOpen;
  }

 private:
  int fd_ = -1;
};

class UniqueFile {
 public:
  UniqueFile() = default;
  explicit UniqueFile(std::FILE* file) : file_(file) {}
  ~UniqueFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;

  std::FILE* get() const { return file_; }
  bool valid() const { return file_ != nullptr; }
  // 0, or kErrOpen when anything through the stream failed, earlier
  // (ferror) or in the final flush: a file written short is never taken for
  // a whole one. Nothing held is 0.
  int close() {
    if (file_ == nullptr) return kOk;
    std::FILE* file = std::exchange(file_, nullptr);
    bool failed = std::ferror(file) != 0;
    if (std::fclose(file) != 0) failed = true;
    return failed ? kErrOpen : kOk;
  }

 private:
  std::FILE* file_ = nullptr;
};
