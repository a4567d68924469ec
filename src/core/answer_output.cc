#include "core/answer_output.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "core/result.h"

namespace {

// errno of the first failure; stdio's own error flag catches the writes that
// happen at a flush nobody here asked for (before a child runs).
int firstError = 0;

void noteFailure() {
  if (firstError == 0) firstError = errno != 0 ? errno : EIO;
}

bool failed() {
  if (firstError == 0 && std::ferror(stdout)) firstError = EIO;
  return firstError != 0;
}

}  // namespace

bool answerText(std::string_view text) {
  if (failed()) return false;
  errno = 0;
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) noteFailure();
  return !failed();
}

bool answerLine(std::string_view tag, std::string_view text) {
  return answerText(tag) && answerText(text) && answerText("\n");
}

int flushAnswer(int* error) {
  errno = 0;
  if (std::fflush(stdout) != 0) noteFailure();
  bool bad = failed();
  if (error != nullptr) *error = firstError;
  return bad ? kErrOpen : kOk;
}

int closeAnswer() {
  int result = flushAnswer();
  if (close(STDOUT_FILENO) != 0 && errno != EINTR) result = kErrOpen;
  // Descriptor 1 is handed to /dev/null, so that no file opened later lands
  // on it; these are standard output's own descriptors, not a guard's.
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0 && null != STDOUT_FILENO) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  return result;
}
