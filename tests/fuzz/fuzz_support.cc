#include "fuzz_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::vector<std::string> splitAtZeros(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      out.emplace_back();
    else
      out.back().push_back(static_cast<char>(data[i]));
  }
  return out;
}

Ran runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  Ran ran;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (const auto& e : extraEnv) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  int fds[2];
  if (pipe(fds) != 0) fuzzFail("pipe", "", std::strerror(errno));
  pid_t pid = fork();
  if (pid < 0) fuzzFail("fork", "", std::strerror(errno));
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[65536];
  ssize_t got;
  while ((got = read(fds[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR))
    if (got > 0) ran.out.append(buf, static_cast<std::size_t>(got));
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

namespace {
std::string scratchRoot;
void removeScratch() {
  if (scratchRoot.empty()) return;
  if (chdir("/") != 0) return;
  std::string command = "rm -rf '" + scratchRoot + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", scratchRoot.c_str());
}
}  // namespace

std::string enterScratchDirectory(const char* tag) {
  std::string pattern = std::string("/tmp/kdl2nis-fuzz-") + tag + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0)
    fuzzFail("scratch directory", pattern, std::strerror(errno));
  scratchRoot = pattern;
  std::atexit(removeScratch);
  return pattern;
}

std::string visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

void fuzzFail(const char* what, const std::string& expected, const std::string& actual) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n  expected: %s\n  actual:   %s\n", what, visible(expected).c_str(),
               visible(actual).c_str());
  std::abort();
}
