#include "core/runner.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/process_state.h"
#include "core/result.h"
#include "core/trace.h"

const char* const kToolDirectories[5] = {"/usr/sbin/", "/usr/bin/", "/bin/", "/usr/lib/yp/",
                                         "/usr/local/bin/"};

int searchPath(const char* toolName, std::string* dirOut) {
  if (toolName == nullptr || dirOut == nullptr) return failAt("searchPath", kErrArgument);
  for (const char* dir : kToolDirectories) {
    std::string candidate = std::string(dir) + toolName;
    if (fileMtime(candidate.c_str()) != -2) {
      *dirOut = dir;
      return kOk;
    }
  }
  logCause("searchPath", "%s is in none of /usr/sbin, /usr/bin, /bin, /usr/lib/yp, /usr/local/bin",
           toolName);
  return failAt("searchPath", kErrNotFound);
}

int mapToolExit(int exitStatus) {
  switch (exitStatus) {
    case 0: return kOk;
    case 2:
    case 3:
    case 6: return kErrArgument;
    case 4: return kErrIdInUse;
    case 8: return kErrLoggedIn;
    case 9: return kErrNameInUse;
    default: return kErrOther;
  }
}

namespace {

// Forks, runs exec in the child, waits. The child gets the default SIGTERM
// action back at once: the shim's handler would otherwise run in it.
template <typename Exec>
int runChild(const ChildEnvironment& env, Exec exec, bool finishes = false) {
  // Whatever the shim buffered must come out before the child's own output.
  std::fflush(stdout);
  // SIGTERM waits until the child's id is recorded: arriving in between, it
  // would end the shim and leave the child running.
  sigset_t term, saved;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, &saved);
  pid_t pid = fork();
  if (pid < 0) {
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    return failAt("qvSystem", kErrNotFound);
  }
  if (pid == 0) {
    // Its own process group, so that a SIGTERM to the shim can stop the
    // whole command (a pipeline, or a tool that starts its own children).
    setpgid(0, 0);
    signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    exec();
    _exit(254);
  }
  setpgid(pid, pid);  // whichever side runs first, the group exists
  childPid = pid;
  childFinishes = finishes;
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  childPid = 0;
  childFinishes = 0;
  int result;
  if (got < 0)
    result = kErrNotFound;
  else if (WIFSIGNALED(status))
    result = kErrNotFound;
  else if (WIFEXITED(status))
    result = mapToolExit(WEXITSTATUS(status));
  else
    result = kErrNotFound;
  if (result != kOk) return failAt("qvSystem", result);
  return kOk;
}

int runShell(const char* command, const ChildEnvironment& env, bool finishes) {
  if (command == nullptr) return failAt("qvSystem", kErrArgument);
  return runChild(env, [command] {
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
  }, finishes);
}

}  // namespace

int qvSystem(const char* command, const ChildEnvironment& env) { return runShell(command, env, false); }

int qvSystemToCompletion(const std::string& command, const ChildEnvironment& env) {
  return runShell(command.c_str(), env, true);
}

int qvSystem(const std::string& program, const std::vector<std::string>& argv,
             const ChildEnvironment& env) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return runChild(env, [&] { execv(program.c_str(), args.data()); });
}

long fileMtime(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return -2;
  return static_cast<long>(st.st_mtime);
}
