// The reordering of a poll's events on their way to the engine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "core/result.h"
#include "core/trace.h"
#include "publisher/event_output.h"

namespace {

// Runs displayPublisherEvents on a file with this content and returns what
// it printed on standard output.
std::string display(const std::string& content, int* result, bool* fileGone) {
  char dir[] = "/tmp/kdl2nis-pub-XXXXXX";
  std::string path = std::string(mkdtemp(dir)) + "/files.pub";
  std::ofstream(path) << content;
  std::string outPath = std::string(dir) + "/out";
  std::fflush(stdout);
  int saved = dup(1);
  int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
  *result = displayPublisherEvents(path.c_str());
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  *fileGone = access(path.c_str(), F_OK) != 0;
  std::ifstream in(outPath);
  std::stringstream ss;
  ss << in.rdbuf();
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  return ss.str();
}

TEST(DisplayPublisherEvents, DeletionsFirstThenGroupsWithoutMembersThenUsersThenMemberLists) {
  int result = -99;
  bool gone = false;
  std::string out = display(
      "addUser:u:x:1:1::/h:/bin/sh::::::::\n"
      "addGroup:g:x:100:u\n"
      "deleteUser:v\n"
      "modifyGroup:h::200:\n"
      "modifyPassword:u:O,N\n"
      "deleteGroup:w\n"
      "modifyUser:t::::::/bin/zsh::::::::\n"
      "something else\n",
      &result, &gone);
  EXPECT_EQ(kOk, result);
  EXPECT_TRUE(gone);
  EXPECT_EQ(
      "deleteUser:v\n"
      "deleteGroup:w\n"
      "addGroup:g:x:100:\n"
      "modifyGroup:h::200:\n"
      "addUser:u:x:1:1::/h:/bin/sh::::::::\n"
      "modifyPassword:u:O,N\n"
      "modifyUser:t::::::/bin/zsh::::::::\n"
      "modifyGroup:g:::u\n"
      "modifyGroup:h:::\n",
      out);
}

TEST(DisplayPublisherEvents, EmptyFileAndVeryLongMemberLists) {
  int result = -99;
  bool gone = false;
  EXPECT_EQ("", display("", &result, &gone));
  EXPECT_EQ(kOk, result);
  EXPECT_TRUE(gone);

  std::string members;
  while (members.size() < 50000) members += "member" + std::to_string(members.size()) + ",";
  members.pop_back();
  std::string out = display("addGroup:big:x:7:" + members + "\n", &result, &gone);
  EXPECT_EQ("addGroup:big:x:7:\nmodifyGroup:big:::" + members + "\n", out);
}

TEST(DisplayPublisherEvents, FileNamesWithShellCharactersAreOneWord) {
  char dir[] = "/tmp/kdl2nis-pub-XXXXXX";
  std::string base = mkdtemp(dir);
  std::string path = base + "/it's;$(echo x) `y`";
  std::ofstream(path) << "deleteUser:v\n";
  std::string outPath = base + "/out";
  std::fflush(stdout);
  int saved = dup(1);
  int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
  int result = displayPublisherEvents(path.c_str());
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ(kOk, result);
  std::ifstream in(outPath);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ("deleteUser:v", line);
  EXPECT_NE(0, access(path.c_str(), F_OK));
  std::system(("rm -rf '" + base + "'").c_str());
}

}  // namespace
