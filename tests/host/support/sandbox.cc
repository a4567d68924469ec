#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "namespace_guard.h"

namespace {

struct Child {
  int in = -1, out = -1, err = -1;
  std::string outText, errText;
};
std::map<pid_t, Child> children;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("sandbox: " + what + ": " + std::strerror(errno));
}

void runOrFail(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("sandbox: failed: " + command);
}

void mkdirs(const std::string& path, mode_t mode = 0755) {
  runOrFail("mkdir -p '" + path + "'");
  chmod(path.c_str(), mode);
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Reads whatever is ready on the child's output pipes; returns false once
// both are closed. With stopAtStdoutEof, returns as soon as stdout closed.
void pump(Child& c, bool untilStdoutClosedOnly) {
  while (c.out >= 0 || (!untilStdoutClosedOnly && c.err >= 0)) {
    pollfd fds[2];
    int n = 0;
    if (c.out >= 0) fds[n++] = {c.out, POLLIN, 0};
    if (c.err >= 0) fds[n++] = {c.err, POLLIN, 0};
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (int i = 0; i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      bool isOut = fds[i].fd == c.out;
      if (got <= 0) {
        close(fds[i].fd);
        (isOut ? c.out : c.err) = -1;
      } else {
        (isOut ? c.outText : c.errText).append(buf, got);
      }
    }
  }
}

pid_t spawn(const Argv& argv, const Env& env, const std::string& input, const std::string& dir) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) fail("pipe");
  // A sanitized build's runtime options reach the shim through the cleared
  // environment too.
  Env sanitizer;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) sanitizer[name] = value;
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    clearenv();
    setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
    setenv("HOME", "/root", 1);
    setenv("LANG", "C", 1);
    for (const auto& [k, v] : sanitizer) setenv(k.c_str(), v.c_str(), 1);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  Child c;
  c.in = in[1];
  c.out = out[0];
  c.err = err[0];
  if (!input.empty()) {
    signal(SIGPIPE, SIG_IGN);
    ssize_t ignored = write(c.in, input.data(), input.size());
    (void)ignored;
  }
  children[pid] = c;
  return pid;
}

RunResult collect(pid_t pid) {
  Child& c = children.at(pid);
  if (c.in >= 0) close(c.in);
  c.in = -1;
  pump(c, false);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  RunResult r;
  r.out = c.outText;
  r.err = c.errText;
  if (WIFSIGNALED(status)) {
    r.signal = WTERMSIG(status);
    r.status = -1;
  } else {
    r.status = WEXITSTATUS(status);
  }
  children.erase(pid);
  return r;
}

}  // namespace

std::string shimBinary() { return KDL2NIS_BINARY; }
std::string toolsDir() { return KDL2NIS_TOOLS_DIR; }
std::string sourceDir() { return KDL2NIS_SOURCE_DIR; }

Sandbox::Sandbox() {
  std::string why;
  if (!inPrivateMountNamespace(&why))
    throw std::runtime_error("refusing to build a sandbox outside a private mount namespace: " + why);

  char tmpl[] = "/tmp/kdl2nis-sandbox-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) fail("mkdtemp");
  root_ = tmpl;
  chmod(root_.c_str(), 0755);
  workdir_ = root_ + "/work";
  mkdirs(workdir_);
  runOrFail("cp -a /etc '" + root_ + "/etc'");
  mkdirs(root_ + "/var_yp");
  if (access("/var/yp", F_OK) == 0) runOrFail("cp -a /var/yp/. '" + root_ + "/var_yp/'");
  mkdirs(root_ + "/home");
  mkdirs(root_ + "/run/lock");
  write(root_ + "/run/utmp", "", 0664);
  mkdirs(root_ + "/usr_local_bin");
  mkdirs(root_ + "/state", 0700);
  mkdirs(root_ + "/real");
  mkdirs(root_ + "/wrap");
  mkdirs(root_ + "/log");
  // The state directory's mount point; an empty directory, as the install makes.
  mkdirs("/usr/lib/corvex/rules/kdl2nis", 0700);

  mountOver(root_ + "/etc", "/etc");
  if (access("/var/yp", F_OK) == 0) mountOver(root_ + "/var_yp", "/var/yp");
  mountOver(root_ + "/home", "/home");
  mountOver(root_ + "/run", "/run");
  mountOver(root_ + "/usr_local_bin", "/usr/local/bin");
  mountOver(root_ + "/state", "/usr/lib/corvex/rules/kdl2nis");
  useAwkFromEnvironment();
}

// RHEL-family hosts have only gawk: KDL2NIS_AWK names another awk (a path,
// or a program in /usr/bin) to bind over the one the shim finds, so that the
// same tests run under it.
void Sandbox::useAwkFromEnvironment() {
  const char* wanted = std::getenv("KDL2NIS_AWK");
  if (wanted == nullptr || *wanted == '\0') return;
  std::string awk = wanted[0] == '/' ? wanted : std::string("/usr/bin/") + wanted;
  if (access(awk.c_str(), X_OK) != 0) fail("KDL2NIS_AWK " + awk);
  mountOver(awk, awkPath());
}

Sandbox::~Sandbox() {
  for (auto& [pid, c] : children) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    for (int fd : {c.in, c.out, c.err})
      if (fd >= 0) close(fd);
  }
  children.clear();
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  if (!root_.empty() && root_.rfind("/tmp/kdl2nis-sandbox-", 0) == 0 && !std::getenv("KDL2NIS_KEEP_SANDBOX"))
    std::system(("rm -rf '" + root_ + "'").c_str());
}

void Sandbox::mountOver(const std::string& source, const std::string& target) {
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
    fail("bind " + source + " over " + target);
  mounts_.push_back(target);
  struct stat a, b;
  if (stat(source.c_str(), &a) != 0 || stat(target.c_str(), &b) != 0 || a.st_dev != b.st_dev ||
      a.st_ino != b.st_ino)
    throw std::runtime_error("sandbox: " + target + " is not the sandbox copy after mounting");
}

RunResult Sandbox::shim(const Argv& args, const Env& env, const std::string& input) {
  return finish(startShim(args, env, input));
}

pid_t Sandbox::startShim(const Argv& args, const Env& env, const std::string& input) {
  Argv argv{shimBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(argv, env, input, workdir_);
}

RunResult Sandbox::finish(pid_t pid) { return collect(pid); }

std::string Sandbox::readUntilStdoutClosed(pid_t pid) {
  Child& c = children.at(pid);
  pump(c, true);
  return c.outText;
}

RunResult Sandbox::sh(const std::string& command, const Env& env) {
  return collect(spawn({"/bin/sh", "-c", command}, env, "", workdir_));
}

pid_t Sandbox::start(const Argv& argv, const Env& env, const std::string& input) {
  return spawn(argv, env, input, workdir_);
}

std::string Sandbox::read(const std::string& path) const { return readText(path); }

void Sandbox::write(const std::string& path, const std::string& content, mode_t mode) const {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) fail("open " + path);
  if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    fail("write " + path);
  fchmod(fd, mode);
  close(fd);
}

bool Sandbox::exists(const std::string& path) const { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> Sandbox::lines(const std::string& path) const {
  return splitLines(read(path));
}

std::string Sandbox::entry(const std::string& path, const std::string& name) const {
  for (const auto& line : lines(path))
    if (line.compare(0, name.size() + 1, name + ":") == 0) return line;
  return "";
}

void Sandbox::record(const std::string& toolPath) {
  std::string name = baseName(toolPath);
  std::string real = root_ + "/real/" + name;
  std::string wrapper = root_ + "/wrap/" + name;
  std::string log = root_ + "/log/" + name;
  write(real, "", 0755);
  if (mount(toolPath.c_str(), real.c_str(), nullptr, MS_BIND, nullptr) != 0) fail("bind " + toolPath);
  mounts_.push_back(real);
  write(wrapper,
        "#!/bin/sh\nexec '" + std::string(KDL2NIS_RECORDER) + "' '" + log + "' '" + real + "' \"$@\"\n",
        0755);
  mountOver(wrapper, toolPath);
  recorded_[toolPath] = log;
}

std::vector<Argv> Sandbox::calls(const std::string& toolPath) const {
  std::vector<Argv> result;
  auto it = recorded_.find(toolPath);
  if (it == recorded_.end()) throw std::runtime_error("sandbox: not recorded: " + toolPath);
  std::string data = read(it->second);
  std::size_t pos = 0;
  while (pos < data.size()) {
    std::size_t nl = data.find('\n', pos);
    int argc = std::stoi(data.substr(pos, nl - pos));
    pos = nl + 1;
    Argv args;
    for (int i = 0; i < argc; ++i) {
      std::size_t colon = data.find(':', pos);
      std::size_t len = std::stoul(data.substr(pos, colon - pos));
      args.push_back(data.substr(colon + 1, len));
      pos = colon + 1 + len + 1;
    }
    result.push_back(args);
  }
  return result;
}

void Sandbox::install(const std::string& path, const std::string& content) const {
  write(path, content, 0755);
}

void Sandbox::installFile(const std::string& from, const std::string& path) const {
  install(path, read(from));
}

void Sandbox::privateCopy(const std::string& dir) {
  std::string copy = root_ + "/copy" + dir;
  mkdirs(copy);
  runOrFail("cp -a '" + dir + "/.' '" + copy + "/'");
  mountOver(copy, dir);
}

std::string Sandbox::awkPath() const {
  char* found = realpath("/usr/bin/awk", nullptr);
  if (found == nullptr) fail("realpath /usr/bin/awk");
  std::string path = found;
  free(found);
  return path;
}

// Some releases' `who` reads /run/utmp, others ask the login manager, which
// a sandbox cannot stage: a stand-in prints the listing instead, in `who`'s
// own layout, bound over the real tool.
void Sandbox::loginUsers(const std::vector<std::string>& users) {
  std::string listing;
  int n = 0;
  for (const auto& user : users) {
    char line[256];
    std::snprintf(line, sizeof line, "%-8s pts/%-8d 2026-01-01 09:%02d\n", user.c_str(), 40 + n, n % 60);
    listing += line;
    ++n;
  }
  std::string who = root_ + "/who";
  write(root_ + "/who.out", listing);
  if (!exists(who)) {
    write(who, "#!/bin/sh\nexec cat '" + root_ + "/who.out'\n", 0755);
    char* found = realpath("/usr/bin/who", nullptr);
    if (found == nullptr) fail("realpath /usr/bin/who");
    std::string target = found;
    free(found);
    mountOver(who, target);
  }
}
