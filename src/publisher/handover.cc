#include "publisher/handover.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

void handOverEvents() {
  std::fflush(stdout);
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    if (null != STDOUT_FILENO) close(null);
  } else {
    close(STDOUT_FILENO);
  }
  char answer;
  while (read(STDIN_FILENO, &answer, 1) < 0 && errno == EINTR) {
  }
}
