// Stands in front of a host tool inside a test sandbox: appends the argument
// vector it was given to a log, then runs the real tool with it.
// Usage: kdl2nis_recorder LOG REAL_TOOL [ARG...]
// Log format, one record per call: "<argc>\n" then "<length>:<bytes>\n" per
// argument, so arguments may hold any byte but NUL.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 127;
  int fd = open(argv[1], O_WRONLY | O_APPEND | O_CREAT, 0600);
  if (fd >= 0) {
    std::string entry = std::to_string(argc - 3) + "\n";
    for (int i = 3; i < argc; ++i) {
      entry += std::to_string(std::strlen(argv[i])) + ":";
      entry += argv[i];
      entry += "\n";
    }
    flock(fd, LOCK_EX);
    ssize_t ignored = write(fd, entry.data(), entry.size());
    (void)ignored;
    flock(fd, LOCK_UN);
    close(fd);
  }
  // The real tool's copy keeps the tool's file name, so its messages read
  // as usual.
  execv(argv[2], argv + 2);
  std::perror("recorder: execv");
  return 127;
}
