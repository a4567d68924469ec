#include "publisher/handover.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "core/result.h"

namespace {

void closeEventOutput() {
  std::fflush(stdout);
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    if (null != STDOUT_FILENO) close(null);
  } else {
    close(STDOUT_FILENO);
  }
}

void readAnswer() {
  char answer;
  while (read(STDIN_FILENO, &answer, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

int finishEventOutput() {
  bool failed = std::fflush(stdout) != 0;
  if (std::ferror(stdout)) failed = true;
  return failed ? kErrOpen : kOk;
}

TerminationHold::TerminationHold() {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, &outside_);
}

TerminationHold::~TerminationHold() { sigprocmask(SIG_SETMASK, &outside_, nullptr); }

void handOverEvents() {
  closeEventOutput();
  readAnswer();
}

void handOverEvents(const TerminationHold& hold) {
  closeEventOutput();
  // The wait admits SIGTERM; the read that follows it does not. A SIGTERM
  // that came with the answer (the engine may signal and close at once)
  // still stops the poll.
  pollfd input{STDIN_FILENO, POLLIN, 0};
  while (ppoll(&input, 1, nullptr, &hold.outside()) < 0 && errno == EINTR) {
  }
  sigset_t pending;
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGTERM)) sigprocmask(SIG_SETMASK, &hold.outside(), nullptr);
  readAnswer();
}
