// Helpers of the files-backend host tests.
#pragma once

#include <gtest/gtest.h>

#include <grp.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "account_checks.h"
#include "core/event_record.h"
#include "sandbox.h"

// Event data of a user command: the name, then fields 1 to 14 (only those
// given are non-empty).
inline std::string userEvent(const std::string& command, const std::string& name,
                             const std::map<int, std::string>& fields) {
  std::string text = command + ":" + name;
  for (int i = kPasswd; i <= kFlag; ++i) {
    auto it = fields.find(i);
    text += ":" + (it == fields.end() ? std::string() : it->second);
  }
  return text;
}

// Runs the shim on the files backend, these options before "-p event".
inline RunResult runFiles(Sandbox& box, const std::string& event, const Env& env = {},
                          const Argv& options = {}) {
  Argv args{"-n", "files"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("-p");
  args.push_back(event);
  return box.shim(args, env);
}

// The last line of a run's standard error: the error trace (the tools'
// own complaints come before it).
inline std::string traceLine(const RunResult& r) {
  auto lines = splitLines(r.err);
  return lines.empty() ? std::string() : lines.back();
}

// The sandbox, plus private copies of the directories that useradd and
// userdel touch besides /etc and /home (lastlog, faillog, mail spools).
class FilesSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box.privateCopy("/var/log");
    box.privateCopy("/var/mail");
    checksBefore = checkReport(box);
  }

  // Adds a user through the shim, with its home made.
  void addUser(const std::string& name, const std::string& uid, const std::string& gecos) {
    RunResult r = box.shim({"-n", "files", "-m", "-p",
                            "addUser:" + name + "::" + uid + "::" + gecos + ":/home/" + name +
                                ":/bin/sh::::::::"},
                           {{"encrypted", "initialHash"}});
    ASSERT_EQ(0, r.status) << name << ": " << r.err;
  }

  // Lines of the checks' report that were not there when the test began.
  std::string newCheckFindings() { return ::newCheckFindings(box, checksBefore); }

  std::vector<std::string> shadowFields(const std::string& name) {
    return splitFields(box.entry("/etc/shadow", name), ':');
  }

  // /etc/shadow as Debian keeps it: root:shadow 0640.
  void expectShadowOwnership() {
    struct stat st;
    ASSERT_EQ(0, stat("/etc/shadow", &st));
    EXPECT_EQ(0u, st.st_uid);
    group* shadowGroup = getgrnam("shadow");
    ASSERT_NE(nullptr, shadowGroup);
    EXPECT_EQ(shadowGroup->gr_gid, st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 07777);
  }

  Sandbox box;
  std::string checksBefore;
};
