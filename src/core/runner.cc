#include "core/runner.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/result.h"
#include "core/signal_block.h"
#include "core/system_log.h"
#include "core/trace.h"

volatile sig_atomic_t childPid = 0;
volatile sig_atomic_t childFinishes = 0;

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

// Reaps the child, retrying an interrupted wait. The id stops being recorded
// first, with SIGTERM held: once reaped, the id and its group may be given
// to another process, which the handler must never signal.
void reapChild(pid_t pid) {
  TerminationHold hold;
  childPid = 0;
  childFinishes = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    pid_t got = waitpid(pid, nullptr, 0);
    if (got == pid || (got < 0 && errno == ECHILD)) break;
  }
}

// Waits until the child has ended, leaving it unreaped so that its id
// stays its own meanwhile, and then reaps it. A wait that fails for any
// reason but an interruption must not leave the tool running on unseen
// after the shim has given up on it: its whole group is killed and reaped.
// 0 and how it ended, or kErrNotFound.
int waitForChild(pid_t pid, siginfo_t* info) {
  int waited;
  do {
    *info = siginfo_t{};
    waited = waitid(P_PID, static_cast<id_t>(pid), info, WEXITED | WNOWAIT);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0 || info->si_pid != pid) {
    // Without a child of that id (ECHILD) there is nothing to stop, and the
    // id may be another process's.
    if (!(waited < 0 && errno == ECHILD)) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
    }
    reapChild(pid);
    return kErrNotFound;
  }
  reapChild(pid);
  return kOk;
}

// Forks, runs exec in the child, waits. The child gets the default SIGTERM
// action back at once: the shim's handler would otherwise run in it.
template <typename Exec>
int runChild(const ChildEnvironment& env, Exec exec, bool finishes = false) {
  // Whatever the shim buffered must come out before the child's own output.
  std::fflush(stdout);
  // SIGTERM waits until the child's id is recorded: arriving in between, it
  // would end the shim and leave the child running.
  TerminationHold hold;
  pid_t pid = fork();
  if (pid < 0) return failAt("qvSystem", kErrNotFound);
  if (pid == 0) {
    // Its own process group, so that a SIGTERM to the shim can stop the
    // whole command (a pipeline, or a tool that starts its own children).
    setpgid(0, 0);
    signal(SIGTERM, SIG_DFL);
    hold.end();
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    exec();
    _exit(254);
  }
  setpgid(pid, pid);  // whichever side runs first, the group exists
  childPid = pid;
  childFinishes = finishes;
  hold.end();
  siginfo_t info;
  int result = waitForChild(pid, &info);
  if (result == kOk) result = info.si_code == CLD_EXITED ? mapToolExit(info.si_status) : kErrNotFound;
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

int runLogged(const char* routine, const std::string& command, const ChildEnvironment& env) {
  if (command.size() >= kCommandCapacity) return kErrArgument;
  debugCommand(routine, command);
  return qvSystem(command, env);
}

int runLoggedToCompletion(const char* routine, const std::string& command, const ChildEnvironment& env) {
  if (command.size() >= kCommandCapacity) return kErrArgument;
  debugCommand(routine, command);
  return qvSystemToCompletion(command, env);
}

int runLoggedOrOther(const char* routine, const std::string& command) {
  if (command.size() >= kCommandCapacity) return kErrArgument;
  return runLogged(routine, command) == kOk ? kOk : kErrOther;
}

long fileMtime(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return -2;
  return static_cast<long>(st.st_mtime);
}
