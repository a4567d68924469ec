#include "core/line_reader.h"

#include <cerrno>
#include <string.h>
#include <unistd.h>

#include "core/event_record.h"

void appendWiping(std::string& text, const char* bytes, std::size_t n) {
  if (text.size() + n > text.capacity()) {
    std::string bigger;
    bigger.reserve(2 * (text.size() + n));
    bigger = text;
    wipeString(text);
    text.swap(bigger);
  }
  text.append(bytes, n);
}

LineReader::~LineReader() { explicit_bzero(buffer_, sizeof buffer_); }

bool LineReader::next(std::string* line, bool* ended) {
  line->clear();
  *ended = false;
  for (;;) {
    if (begin_ == end_ && !fill()) return !failed_ && !line->empty();
    const char* from = buffer_ + begin_;
    const void* nl = memchr(from, '\n', end_ - begin_);
    std::size_t n = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - from) : end_ - begin_;
    appendWiping(*line, from, n);
    begin_ += n;
    if (nl) {
      ++begin_;
      *ended = true;
      return true;
    }
  }
}

bool LineReader::fill() {
  for (;;) {
    ssize_t n = pread(fd_, buffer_, sizeof buffer_, offset_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed_ = true;
    if (n <= 0) return false;
    offset_ += n;
    begin_ = 0;
    end_ = static_cast<std::size_t>(n);
    return true;
  }
}
