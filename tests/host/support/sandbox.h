// The host-test sandbox: a private copy of /etc, /var/yp, /home, /run,
// /usr/local/bin and the shim's state directory, mounted over the real paths
// inside this process's private mount namespace, so that the real binary and
// the host's real tools can run without touching the machine's own accounts.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/text_file.h"  // splitLines, for every host test

struct RunResult {
  int status = -1;      // exit status 0-255, or -1 when ended by a signal
  int signal = 0;       // the signal that ended it
  std::string out;      // standard output
  std::string err;      // standard error
  // The result code the shim meant: the exit status read as a signed byte.
  int code() const { return static_cast<signed char>(status & 0xff); }
};

using Env = std::map<std::string, std::string>;
using Argv = std::vector<std::string>;

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Root of this sandbox's private copies on the real file system.
  const std::string& root() const { return root_; }
  // The per-test working directory in which the shim runs.
  const std::string& workdir() const { return workdir_; }
  // Path of a file of the working directory.
  std::string work(const std::string& name) const { return workdir_ + "/" + name; }

  // Runs the real shim with these arguments (argv[0] added) in the working
  // directory. env is added to a clean environment (PATH, HOME, LANG only);
  // input goes to standard input, which is then closed.
  RunResult shim(const Argv& args, const Env& env = {}, const std::string& input = "");
  // Starts the shim without waiting; finish() collects it.
  pid_t startShim(const Argv& args, const Env& env = {}, const std::string& input = "");
  RunResult finish(pid_t pid);
  // Collects a started shim's standard output until the shim closes it (as a
  // poll does before it waits for the engine's answer).
  std::string readUntilStdoutClosed(pid_t pid);

  // Runs a shell command line in the working directory.
  RunResult sh(const std::string& command, const Env& env = {});
  // Starts a program (absolute path first) in the working directory without
  // waiting, e.g. a daemon in the foreground; finish() collects it, and the
  // sandbox kills whatever is still running when it goes.
  pid_t start(const Argv& argv, const Env& env = {}, const std::string& input = "");

  // Files (absolute paths are the ones the shim sees, i.e. the copies).
  std::string read(const std::string& path) const;
  void write(const std::string& path, const std::string& content, mode_t mode = 0644) const;
  bool exists(const std::string& path) const;
  std::vector<std::string> lines(const std::string& path) const;
  // The line of an account file whose first ":" field is name, or "".
  std::string entry(const std::string& path, const std::string& name) const;

  // Every later call of the tool at this absolute path is recorded.
  void record(const std::string& toolPath);
  // The recorded argument vectors (argv[0] left out), in call order.
  std::vector<Argv> calls(const std::string& toolPath) const;

  // Installs an executable (a script or a built tool) at this path, e.g.
  // under /usr/local/bin.
  void install(const std::string& path, const std::string& content) const;
  void installFile(const std::string& from, const std::string& path) const;

  // Replaces a directory of the host (e.g. /usr/sbin) by a private copy for
  // this sandbox, so a test may add or change files in it.
  void privateCopy(const std::string& dir);

  // The program /usr/bin/awk leads to: the host's choice, or KDL2NIS_AWK's.
  std::string awkPath() const;

  // Makes `who` list exactly these users as logged in.
  void loginUsers(const std::vector<std::string>& users);

 private:
  void useAwkFromEnvironment();
  void mountOver(const std::string& source, const std::string& target);

  std::string root_;
  std::string workdir_;
  std::vector<std::string> mounts_;  // innermost last
  std::map<std::string, std::string> recorded_;  // tool path -> log
};

// Where the build put things.
std::string shimBinary();
std::string toolsDir();
std::string sourceDir();
