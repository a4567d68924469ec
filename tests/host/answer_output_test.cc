// Answers that cannot be written, polls stopped or failing around their
// hand-over, and snapshots that must hold every shadow line whole: what the
// engine gets, what is on disk and the result code.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "core/dbm_file.h"
#include "password/hash.h"
#include "password/pending_password_store.h"
#include "must_run.h"
#include "nis_sandbox.h"
#include "support/dbm_read.h"
#include "support/token_encryptor.h"

namespace {

// The shim through a shell, its standard output sent where redirect says.
RunResult shimTo(Sandbox& box, const std::string& args, const std::string& redirect) {
  return box.sh(shimBinary() + " " + args + " " + redirect + " </dev/null");
}

std::string pendingEntry(int backend, const std::string& name) {
  return valueOf(DbmFile::open(passCachePath(backend)), name).value_or("(none)");
}

const std::string kPoll = "-n files -p ''";

RunResult answeredPoll(Sandbox& box) { return box.shim({"-n", "files", "-p", ""}, {}, "y"); }

// A files user whose password is "secret" in DES crypt, and the token of it.
std::string addSecretUser(Sandbox& box, const std::string& name) {
  mustRun(box, "useradd -s /bin/sh " + name + " && usermod -p '" + desCrypt("secret", "Tk") + "' " + name);
  return encryptToken("secret");
}

TEST(AnswerOutput, EveryAnswerThatCannotBeWrittenFailsAndRecordsNothing) {
  NisSandbox nis;
  Sandbox& box = nis.box;
  const std::string token = addSecretUser(box, "jo");
  const std::string nisArgs = "-n nis -d " + nis.maps + " -y " + nis.src;
  const std::vector<std::string> queries = {
      "-n files -p queryUser:root::::::::::::::",  "-n files -p queryUser:::0::::::::::::",
      "-n files -p queryGroup:root:::",            "-n files -p queryGroup:::0:",
      "-n files -p 'queryUser:r.*::::::::::::::'", nisArgs + " -p queryUser:alice::::::::::::::",
      nisArgs + " -p queryGroup:staff:::",        "-n files -p modifyPassword:jo:," + token,
  };
  for (const std::string& args : queries) {
    RunResult full = shimTo(box, args, ">/dev/full");
    EXPECT_LT(full.code(), 0) << args;
    EXPECT_EQ(1u, splitLines(full.err).size()) << args << ": " << full.err;
    EXPECT_EQ("(none)", pendingEntry(0, "jo")) << args;
    EXPECT_EQ(0, shimTo(box, args, ">/dev/null").status) << args;
  }
  // The same change, answered: now it is recorded.
  EXPECT_EQ(":" + token + ":1", pendingEntry(0, "jo"));
}

TEST(AnswerOutput, APollWhoseEventsCannotBeWrittenCommitsNothing) {
  Sandbox box;
  age(box);
  ASSERT_EQ(0, answeredPoll(box).status);
  mustRun(box, "useradd -s /bin/sh late");
  age(box);
  const std::string stamp = box.read(box.work("qvnisfiles.stamp"));
  RunResult full = shimTo(box, kPoll, ">/dev/full");
  EXPECT_LT(full.code(), 0);
  EXPECT_EQ(stamp, box.read(box.work("qvnisfiles.stamp")));
  RunResult next = answeredPoll(box);
  EXPECT_NE(std::string::npos, next.out.find("\naddUser:late:")) << next.out << next.err;
}

TEST(AnswerOutput, TheFilesShadowSnapshotHoldsEveryLineWholeAndEchoesNone) {
  Sandbox box;
  const std::string hash = "$6$" + std::string(1130, 'h');
  mustRun(box, "useradd -s /bin/sh jo");
  age(box);
  ASSERT_EQ(0, answeredPoll(box).status);
  mustRun(box, "usermod -p '" + hash + "' jo");
  mustRun(box, "printf 'bs:x:3001:100::/:/bin/sh\\nnx:x:3002:100::/:/bin/sh\\n' >> /etc/passwd && "
               "printf 'bs:H1:19000:0:99999:7:::\\\\\\nnx:H2:19001:0:99999:7:::\\n' >> /etc/shadow");
  age(box);
  RunResult p = answeredPoll(box);
  ASSERT_EQ(0, p.status) << p.err;
  EXPECT_EQ("", p.err);
  const std::vector<std::string> expected = {
      "addUser:bs:x:3001:100::/:/bin/sh:H1:19000:0:99999:7:::\\",
      "addUser:nx:x:3002:100::/:/bin/sh:H2:19001:0:99999:7:::",
      "modifyUser:jo:::::::" + hash + ":::::::",
  };
  for (const std::string& line : expected)
    EXPECT_NE(std::string::npos, p.out.find(line + "\n")) << line << "\n" << p.out;
  EXPECT_EQ(std::string::npos, p.out.find("1bob")) << p.out;
}

// The standalone modifyPassword line (a change accepted after the poll that
// saw the new hash) goes out again after every poll that was stopped or
// could not write, and is gone only after an answered one.
TEST(AnswerOutput, AStandaloneModifyPasswordLineSurvivesPollsThatGetNoAnswer) {
  Sandbox box;
  age(box);
  ASSERT_EQ(0, answeredPoll(box).status);
  const std::string token = addSecretUser(box, "jo");
  age(box);
  ASSERT_EQ(0, answeredPoll(box).status);
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", "modifyPassword:jo:," + token}).status);
  const std::string line = "modifyPassword:jo:," + token + "\n";

  pid_t pid = box.startShim({"-n", "files", "-p", ""});
  EXPECT_EQ(line, box.readUntilStdoutClosed(pid));
  kill(pid, SIGTERM);
  box.finish(pid);
  EXPECT_LT(shimTo(box, kPoll, ">/dev/full").code(), 0);
  RunResult answered = answeredPoll(box);
  EXPECT_EQ(line, answered.out) << answered.err;
  EXPECT_EQ("(none)", pendingEntry(0, "jo"));
  EXPECT_EQ("", answeredPoll(box).out);
}

// A commit whose purge of the published passwords fails reports it, and the
// next poll finishes the purge before it compares.
TEST(AnswerOutput, AFailedPurgeAfterTheAnswerIsReportedAndFinishedByTheNextPoll) {
  Sandbox box;
  age(box);
  ASSERT_EQ(0, answeredPoll(box).status);
  const std::string token = addSecretUser(box, "jo");
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", "modifyPassword:jo:," + token}).status);
  mustRun(box, "usermod -s /bin/bash jo");
  age(box);
  const std::string store = passCachePath(0);
  pid_t pid = box.startShim({"-n", "files", "-p", ""});
  std::string out = box.readUntilStdoutClosed(pid);
  mustRun(box, "mv " + store + " " + store + ".away && mkdir " + store);
  RunResult cut = box.finish(pid);
  EXPECT_NE(std::string::npos, out.find("modifyPassword:jo:," + token + "\n")) << out;
  EXPECT_LT(cut.code(), 0);
  EXPECT_NE(std::string::npos, cut.err.find("purgePasswordCache")) << cut.err;
  mustRun(box, "rmdir " + store + " && mv " + store + ".away " + store);
  EXPECT_EQ(":" + token + ":0", pendingEntry(0, "jo"));
  RunResult next = answeredPoll(box);
  EXPECT_EQ(0, next.status) << next.err;
  EXPECT_EQ("", next.out);
  EXPECT_EQ("(none)", pendingEntry(0, "jo"));
}

// The shim's own calls fail, its children's do not.
RunResult injected(Sandbox& box, const std::string& call, const std::string& when, const std::string& args,
                   const std::string& input = "") {
  return box.sh("printf '" + input + "' | strace -o /dev/null -e trace=" + call + " -e inject=" + call +
                ":error=EIO:when=" + when + " " + shimBinary() + " " + args);
}

// EIO at the duplication of standard output, at the query's output or at a
// read of the shadow file: modifyPassword fails rather than record nothing.
TEST(AnswerOutput, AModifyPasswordThatCannotReadTheStoredHashFails) {
  // A sanitized shim's own runtime takes the injected faults (and its leak
  // check cannot run under a tracer): these runs are the plain shim's.
  if (std::getenv("ASAN_OPTIONS") != nullptr) GTEST_SKIP() << "sanitized shim";
  Sandbox box;
  const std::string token = addSecretUser(box, "jo");
  const std::string args = "-n files -p modifyPassword:jo:," + token;
  int runs = 0;
  for (const char* call : {"fcntl", "write", "pread64"}) {
    for (int when = 1; when <= 6; ++when, ++runs) {
      RunResult r = injected(box, call, std::to_string(when), args + " >/dev/null");
      if (r.status == 0) {
        EXPECT_EQ(":" + token + ":1", pendingEntry(0, "jo")) << call << " " << when << ": " << r.err;
      }
      mustRun(box, "rm -f " + passCachePath(0));
    }
  }
  EXPECT_EQ(18, runs);
}

// The syncs and the plan are written before any event is printed; a plan
// that cannot be renamed after the answer still commits.
TEST(AnswerOutput, APollPrintsOnlyOnceItsCommitIsSafeAndCompletesItAfterTheAnswer) {
  // A sanitized shim's own runtime takes the injected faults (and its leak
  // check cannot run under a tracer): these runs are the plain shim's.
  if (std::getenv("ASAN_OPTIONS") != nullptr) GTEST_SKIP() << "sanitized shim";
  Sandbox box;
  age(box);
  // Every fsync up to the plan's comes before the events: one that fails
  // leaves the engine nothing to read.
  int failed = 0;
  for (int when = 1; when <= 10; ++when) {
    mustRun(box, "rm -f *.log qvnisfiles.stamp");
    RunResult r = injected(box, "fsync", std::to_string(when), kPoll, "y");
    failed += r.status != 0;
    EXPECT_TRUE(r.status == 0 || r.out.empty()) << when << ": " << r.out << r.err;
  }
  EXPECT_GE(failed, 4);
  mustRun(box, "rm -f *.log qvnisfiles.stamp");
  RunResult noRename = injected(box, "rename", "1", kPoll, "y");
  EXPECT_EQ(0, noRename.status) << noRename.err;
  EXPECT_NE("", noRename.out);
  EXPECT_EQ("", answeredPoll(box).out);
}

}  // namespace
