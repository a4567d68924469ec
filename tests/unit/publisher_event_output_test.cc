// The reordering of a poll's events on their way to the engine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "core/result.h"
#include "publisher/event_output.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

// What displayPublisherEvents prints for a file with this content; the file
// must be gone afterwards.
std::string display(const std::string& content) {
  TempDir temp;
  const std::string path = temp / "files.pub", out = temp / "out";
  std::ofstream(path) << content;
  std::fflush(stdout);
  int saved = dup(1), fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
  EXPECT_EQ(kOk, displayPublisherEvents(path.c_str()));
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  EXPECT_NE(0, access(path.c_str(), F_OK));
  return readText(out);
}

TEST(DisplayPublisherEvents, DeletionsThenGroupsWithoutMembersThenUsersThenMemberLists) {
  EXPECT_EQ(
      "deleteUser:v\ndeleteGroup:w\naddGroup:g:x:100:\nmodifyGroup:h::200:\n"
      "addUser:u:x:1:1::/h:/bin/sh::::::::\nmodifyPassword:u:O,N\nmodifyUser:t::::::/bin/zsh::::::::\n"
      "modifyGroup:g:::u\nmodifyGroup:h:::\n",
      display("addUser:u:x:1:1::/h:/bin/sh::::::::\naddGroup:g:x:100:u\ndeleteUser:v\nmodifyGroup:h::200:\n"
              "modifyPassword:u:O,N\ndeleteGroup:w\nmodifyUser:t::::::/bin/zsh::::::::\nsomething else\n"));
  EXPECT_EQ("", display(""));
  std::string members;
  while (members.size() < 50000) members += "member" + std::to_string(members.size()) + ",";
  EXPECT_TRUE(display("addGroup:big:x:7:" + members + "\n") ==
              "addGroup:big:x:7:\nmodifyGroup:big:::" + members + "\n");
}

}  // namespace
