#include "publisher/handover.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "core/answer_output.h"

namespace {

void readAnswer() {
  char answer;
  while (read(STDIN_FILENO, &answer, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

void handOverEvents() {
  closeAnswer();
  readAnswer();
}

void awaitAnswer(const TerminationHold& hold) {
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
