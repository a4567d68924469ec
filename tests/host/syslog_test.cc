// What a failing run leaves in the system log: the error trace and, where the
// shim knows it, the cause, on facility auth at LOG_ERR, under "kdl2nis" and
// the run's pid. Standard error and the exit status stay as they were.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "files_test_support.h"
#include "nis_sandbox.h"
#include "sandbox.h"

namespace {

// A private /dev/log: /dev overlaid inside this process's mount namespace
// (the machine's /dev stays as it is) and a datagram socket bound there.
class PrivateSyslog {
 public:
  explicit PrivateSyslog(const std::string& scratch) : layer_(scratch + "/devlayer") {
    if (mkdir(layer_.c_str(), 0700) != 0 || mount("tmpfs", layer_.c_str(), "tmpfs", 0, nullptr) != 0)
      throw std::runtime_error("tmpfs for /dev: " + std::string(std::strerror(errno)));
    mkdir((layer_ + "/upper").c_str(), 0755);
    mkdir((layer_ + "/work").c_str(), 0755);
    std::string options = "lowerdir=/dev,upperdir=" + layer_ + "/upper,workdir=" + layer_ + "/work";
    if (mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0)
      throw std::runtime_error("overlay on /dev: " + std::string(std::strerror(errno)));
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("/dev/log: " + std::string(std::strerror(errno)));
  }
  ~PrivateSyslog() {
    if (fd_ >= 0) close(fd_);
    umount2("/dev", MNT_DETACH);
    umount2(layer_.c_str(), MNT_DETACH);
  }
  PrivateSyslog(const PrivateSyslog&) = delete;
  PrivateSyslog& operator=(const PrivateSyslog&) = delete;

  // The messages of this process id received so far, each as "<priority>"
  // and the text after "kdl2nis[pid]: " (the date between is left out).
  std::vector<std::string> of(pid_t pid) {
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd_, buffer, sizeof buffer, 0)) > 0) received_.emplace_back(buffer, got);
    std::string tag = "kdl2nis[" + std::to_string(pid) + "]: ";
    std::vector<std::string> lines;
    for (const std::string& message : received_) {
      auto at = message.find(tag);
      if (at != std::string::npos)
        lines.push_back(message.substr(0, message.find('>') + 1) + message.substr(at + tag.size()));
    }
    return lines;
  }

 private:
  std::string layer_;
  int fd_ = -1;
  std::vector<std::string> received_;
};

// auth (4 << 3) with err (3).
const std::string kAuthErr = "<35>";

struct Logged {
  RunResult run;
  std::vector<std::string> lines;
};

Logged runLogged(Sandbox& box, PrivateSyslog& log, const Argv& args) {
  pid_t pid = box.startShim(args);
  RunResult run = box.finish(pid);
  return {run, log.of(pid)};
}

// The trace line on standard error is the last log line, at auth.err.
void expectTraceLogged(const Logged& l) {
  ASSERT_FALSE(l.lines.empty()) << l.run.err;
  EXPECT_EQ(kAuthErr + traceLine(l.run), l.lines.back());
}

TEST(Syslog, AFailureLogsItsCauseThenItsTraceUnderItsPid) {
  Sandbox box;
  PrivateSyslog log(box.root());
  // A member that does not exist: the group is made, then the run fails.
  Logged member = runLogged(box, log, {"-n", "files", "-p", "addGroup:team:x:1501:ghost"});
  EXPECT_EQ(-11, member.run.code());
  EXPECT_EQ(1u, splitLines(member.run.err).size()) << member.run.err;
  EXPECT_EQ((std::vector<std::string>{kAuthErr + "checkUserList: member ghost is not a user in /etc/passwd",
                                      kAuthErr + traceLine(member.run)}),
            member.lines);

  // No NIS+ tools on this host: the missing tool is named.
  Logged tool = runLogged(box, log, {"-n", "nisplus", "-p", "queryUser:root"});
  EXPECT_EQ(-2, tool.run.code());
  expectTraceLogged(tool);
  EXPECT_EQ(kAuthErr +
                "searchPath: nismatch is in none of /usr/sbin, /usr/bin, /bin, /usr/lib/yp, "
                "/usr/local/bin",
            tool.lines.front());

  // An argument error has no cause beyond its trace; success logs nothing.
  Logged argument = runLogged(box, log, {"-n", "NIS", "-p", "queryUser:root"});
  EXPECT_EQ((std::vector<std::string>{kAuthErr + "Error_main: -3"}), argument.lines);
  Logged fine = runLogged(box, log, {"-n", "files", "-p", "queryUser:root"});
  EXPECT_EQ(0, fine.run.status) << fine.run.err;
  EXPECT_EQ("", fine.run.err);
  EXPECT_TRUE(fine.lines.empty());
}

// Each way of setting the NIS backend up wrongly, with the code it gives and
// the cause the log names ("" where the trace says it all).
TEST(Syslog, NisSetUpMistakesGiveTheirCodeAndCause) {
  NisSandbox nis;
  PrivateSyslog log(nis.box.root());
  auto add = [](const std::string& name) {
    return "addUser:" + name + "::1201:1201:x:/home/" + name + ":/bin/sh:x:::::::";
  };
  struct Case {
    const char* mistake;
    Argv args;
    int code;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {"no -d", {"-n", "nis", "-y", nis.src, "-p", add("nod")}, -11,
       "hasDirectories: no map directory (-d) given"},
      {"no -y", {"-n", "nis", "-d", nis.maps, "-p", add("noy")}, -3, ""},
      {"no -d, group", {"-n", "nis", "-y", nis.src, "-p", "addGroup:nodg:x:1202:"}, -11,
       "nisGroupAdd: no map directory (-d) given"},
      {"no source directory", {"-n", "nis", "-d", nis.maps, "-y", "/var/yp/gone", "-p", add("nosrc")},
       -8, "lockSourceFiles: cannot open /var/yp/gone/.pwd.lock"},
      {"no map directory", {"-n", "nis", "-d", "/var/yp/gone.dom", "-y", nis.src, "-p", add("nomap")},
       -11, "keyPresence: /var/yp/gone.dom/passwd.byname does not exist"},
      {"no Makefile", {"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p", add("nomake")}, -2,
       "rebuildNisMaps: /var/yp/Makefile does not exist"},
  };
  for (const Case& c : cases) {
    if (c.cause.find("Makefile") != std::string::npos) {
      ASSERT_EQ(0, std::rename("/var/yp/Makefile", "/var/yp/Makefile.away"));
    }
    Logged l = runLogged(nis.box, log, c.args);
    EXPECT_EQ(c.code, l.run.code()) << c.mistake << ": " << l.run.err;
    expectTraceLogged(l);
    if (c.cause.empty())
      EXPECT_EQ(1u, l.lines.size()) << c.mistake;
    else
      EXPECT_EQ((std::vector<std::string>{kAuthErr + c.cause, kAuthErr + traceLine(l.run)}), l.lines)
          << c.mistake;
  }
}

}  // namespace
