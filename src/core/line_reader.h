// Reading a file a line at a time through a descriptor, so that a large
// account file is never held whole. Lines may carry hashes: the buffer is
// zeroed at the end and a line's old storage before it grows.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line, without its newline, in *line, as awk's getline sees
  // lines (a last line without newline counts); *ended tells whether a
  // newline closed it. false at the end of the file or when a read fails
  // (failed()).
  bool next(std::string* line, bool* ended);
  bool failed() const { return failed_; }

 private:
  bool fill();

  int fd_;
  char buffer_[65536];
  std::size_t begin_ = 0, end_ = 0;
  off_t offset_ = 0;
  bool failed_ = false;
};

// Appends n bytes to a text that may carry a secret; when the text has to
// grow, its old storage is zeroed before it is given back.
void appendWiping(std::string& text, const char* bytes, std::size_t n);
