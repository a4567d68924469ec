// What the shim writes, read back through the programs that consume it on a
// real host: PAM, NSS and the shadow checkers for the files backend, a
// running ypserv for the NIS backend.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <crypt.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "files_test_support.h"
#include "nis_sandbox.h"

namespace {

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A hash of password in the scheme of prefix ("$1$", "$6$", "$y$"), made by
// the host's crypt(3).
std::string hashWith(const char* prefix, const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting) == nullptr) return "";
  crypt_data data{};
  const char* hash = crypt_r(password.c_str(), setting, &data);
  return hash != nullptr && hash[0] != '*' ? hash : "";
}

bool cryptMatches(const std::string& password, const std::string& hash) {
  crypt_data data{};
  const char* again = crypt_r(password.c_str(), hash.c_str(), &data);
  return again != nullptr && hash == again;
}

class FilesConsumers : public FilesSandboxTest {
 protected:
  // pamtester reads PAM's configuration and the account files from the
  // sandbox's /etc: these users exist nowhere else.
  bool pamAccepts(const std::string& user, const std::string& password) {
    return box.sh("printf '%s\\n' " + quoted(password) + " | pamtester login " + user + " authenticate")
               .status == 0;
  }
};

TEST_F(FilesConsumers, PamNssAndTheCheckersAcceptTheAccountsTheShimMade) {
  struct Case {
    const char* user;
    std::string password;
    Env env;
  };
  const std::string sha = hashWith("$6$", "Sha pass3"), yes = hashWith("$y$", "Yes pass4");
  const std::string md5 = hashWith("$1$", "Md5 pass2");
  ASSERT_FALSE(sha.empty() || yes.empty() || md5.empty());
  const std::vector<Case> cases = {
      {"cdes", "Des pass1", {{"cleartext", "Des pass1"}}},  // the shim's own DES crypt
      {"cmd5", "Md5 pass2", {{"encrypted", md5}}},
      {"csha", "Sha pass3", {{"encrypted", sha}}},
      {"cyes", "Yes pass4", {{"encrypted", yes}}},
  };
  std::map<std::string, std::string> passwdLines;
  int uid = 2701;
  for (const auto& c : cases) {
    const std::string user = c.user;
    std::string fields = std::to_string(uid++) + ":100:Consumer " + user + ":/home/" + user + ":/bin/sh";
    passwdLines[user] = user + ":x:" + fields;
    std::string event = "addUser:" + user + "::" + fields + "::::::::";
    RunResult r = box.shim({"-n", "files", "-m", "-p", event}, c.env);
    ASSERT_EQ(0, r.status) << c.user << ": " << r.err;
  }
  RunResult r = box.shim({"-n", "files", "-p", "addGroup:cteam:x:2710:cdes,csha"});
  ASSERT_EQ(0, r.status) << r.err;

  for (const auto& c : cases) {
    EXPECT_TRUE(pamAccepts(c.user, c.password)) << c.user;
    EXPECT_EQ(passwdLines[c.user] + "\n", box.sh(std::string("getent passwd ") + c.user).out);
  }
  EXPECT_FALSE(pamAccepts("csha", "Sha pass3 "));
  EXPECT_FALSE(pamAccepts("cdes", "Wrong one"));

  EXPECT_EQ("cteam:x:2710:cdes,csha\n", box.sh("getent group cteam").out);
  EXPECT_EQ("users cteam\n", box.sh("id -nG cdes").out);
  EXPECT_EQ("users cteam\n", box.sh("id -nG csha").out);
  EXPECT_EQ("users\n", box.sh("id -nG cmd5").out);

  // A change through the shim reaches the consumers as well.
  r = box.shim({"-n", "files", "-p", "modifyGroup:cteam:::cyes"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("cteam:x:2710:cyes\n", box.sh("getent group cteam").out);
  EXPECT_EQ("users\n", box.sh("id -nG cdes").out);
  r = box.shim({"-n", "files", "-p", "modifyUser:cyes"}, {{"cleartext", "New pass5"}});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(pamAccepts("cyes", "New pass5"));
  EXPECT_FALSE(pamAccepts("cyes", "Yes pass4"));

  EXPECT_EQ("", newCheckFindings());
}

// The test process's own network namespace, with loopback up, for as long as
// the guard lives: the daemons and their clients see only each other.
class PrivateNetwork {
 public:
  PrivateNetwork() {
    original_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0 || unshare(CLONE_NEWNET) != 0)
      throw std::runtime_error(std::string("private network: ") + std::strerror(errno));
    if (std::system("/usr/sbin/ip link set lo up") != 0) throw std::runtime_error("private network: no loopback");
  }
  ~PrivateNetwork() {
    if (setns(original_, CLONE_NEWNET) != 0) std::abort();  // never go on in the wrong network
    close(original_);
  }
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

 private:
  int original_ = -1;
};

// rpcbind and ypserv in the foreground, serving the sandbox's /var/yp, with
// their sockets and state in the sandbox's /run.
class NisConsumers : public ::testing::Test {
 protected:
  // A daemon that lost a race with the other one at start (seen under load:
  // "Can't communicate with portmapper") is started again, a few times.
  void SetUp() override {
    rpcbind = startRegistered({"/usr/sbin/rpcbind", "-w", "-f"}, "portmapper");
    ASSERT_GT(rpcbind, 0) << "rpcbind did not register";
    ypserv = startRegistered({"/usr/sbin/ypserv", "-f"}, "ypserv");
    ASSERT_GT(ypserv, 0) << "ypserv did not register";
    nis.serveWithYpserv();
  }
  void TearDown() override {
    for (pid_t pid : {ypserv, rpcbind}) {
      if (pid <= 0) continue;
      kill(pid, SIGTERM);
      nis.box.finish(pid);
    }
  }

  pid_t startRegistered(const Argv& daemon, const std::string& service) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      pid_t pid = nis.box.start(daemon);
      for (int i = 0; i < 50; ++i) {
        if (nis.box.sh("timeout 5 /usr/sbin/rpcinfo -p localhost").out.find(service) != std::string::npos) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      kill(pid, SIGTERM);
      nis.box.finish(pid);
    }
    return -1;
  }

  // The map as a NIS client gets it: name -> line.
  std::map<std::string, std::string> served(const std::string& map) {
    // A client that cannot reach the server fails instead of hanging.
    RunResult r = nis.box.sh("timeout 30 ypcat -h localhost -d kdl.test " + map);
    EXPECT_EQ(0, r.status) << map << ": " << r.err;
    std::map<std::string, std::string> byName;
    for (const auto& line : splitLines(r.out)) byName[line.substr(0, line.find(':'))] = line;
    return byName;
  }
  std::string servedHash(const std::string& user) {
    auto fields = splitFields(served("shadow.byname")[user], ':');
    return fields.size() > 1 ? fields[1] : "";
  }

  PrivateNetwork network;  // first: even the sandbox's map rebuilds stay in it
  NisSandbox nis;
  pid_t rpcbind = -1, ypserv = -1;
};

TEST_F(NisConsumers, YpservServesEachChangeTheShimMade) {
  ASSERT_EQ("alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash", served("passwd.byname")["alice"]);

  RunResult r = nis.run("addUser:dora::1010:1001:Dora:/home/dora:/bin/sh::::::::", {}, {{"cleartext", "Dora pw1"}});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("dora:x:1010:1001:Dora:/home/dora:/bin/sh", served("passwd.byname")["dora"]);
  EXPECT_TRUE(cryptMatches("Dora pw1", servedHash("dora"))) << servedHash("dora");

  ASSERT_EQ(0, nis.run("addGroup:ops:x:1050:dora,alice").status);
  EXPECT_EQ("ops:x:1050:dora,alice", served("group.byname")["ops"]);

  const std::string sha = hashWith("$6$", "Dora pw2");
  r = nis.run("modifyUser:dora::::Dora D::/bin/bash", {}, {{"encrypted", sha}});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("dora:x:1010:1001:Dora D:/home/dora:/bin/bash", served("passwd.byname")["dora"]);
  EXPECT_TRUE(cryptMatches("Dora pw2", servedHash("dora")));
  EXPECT_FALSE(cryptMatches("Dora pw1", servedHash("dora")));

  ASSERT_EQ(0, nis.run("renameUser:dora,dorothy").status);
  auto users = served("passwd.byname");
  EXPECT_EQ(0u, users.count("dora"));
  EXPECT_EQ("dorothy:x:1010:1001:Dora D:/home/dora:/bin/bash", users["dorothy"]);
  EXPECT_TRUE(cryptMatches("Dora pw2", servedHash("dorothy")));

  ASSERT_EQ(0, nis.run("modifyGroup:ops:::alice").status);
  EXPECT_EQ("ops:x:1050:alice", served("group.byname")["ops"]);
  ASSERT_EQ(0, nis.run("deleteGroup:ops").status);
  EXPECT_EQ(0u, served("group.byname").count("ops"));
  ASSERT_EQ(0, nis.run("deleteUser:dorothy").status);
  EXPECT_EQ(0u, served("passwd.byname").count("dorothy"));
  EXPECT_EQ(0u, served("shadow.byname").count("dorothy"));
}

}  // namespace
