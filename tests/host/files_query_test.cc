// queryUser and queryGroup on the files backend, run by the real binary in
// the sandbox against its own copies of the account files.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/event_record.h"
#include "files_test_support.h"
#include "support/dir_listing.h"

namespace {

void append(Sandbox& box, const std::string& path, const std::string& lines, mode_t mode) {
  box.write(path, box.read(path) + lines, mode);
}

// Accounts that make the queries interesting: a uid shared by two users, a
// name that is a prefix of another, and groups alike.
void addAccounts(Sandbox& box) {
  append(box, "/etc/passwd",
         "abc:x:2001:100:Abc:/home/abc:/bin/sh\n"
         "xabc:x:2002:100:Xabc:/home/xabc:/bin/sh\n"
         "twin1:x:2003:100::/home/twin1:/bin/sh\n"
         "twin2:x:2003:100::/home/twin2:/bin/sh\n",
         0644);
  append(box, "/etc/shadow",
         "abc:HASHabc:19000:0:99999:7:::\n"
         "xabc:HASHxabc:19001:0:99999:7:::\n"
         "twin1:!:19002:0:99999:7:::\n",
         0640);
  append(box, "/etc/group", "grpab:x:3001:abc,xabc\nxgrpab:x:3002:\nsame:x:3001:\n", 0644);
}

std::vector<std::string> queryLines(const RunResult& r) { return splitLines(r.out); }

using Answers = std::vector<std::pair<std::string, std::string>>;

// Runs each query event (after these options) and compares what it prints.
void expectAnswers(Sandbox& box, const Answers& cases, const Argv& options = {}) {
  for (const auto& [event, expected] : cases) {
    RunResult r = runFiles(box, event, {}, options);
    EXPECT_EQ(0, r.status) << event;
    EXPECT_EQ(expected, r.out) << event;
    EXPECT_EQ("", r.err) << event;
  }
}

bool leftovers(const Sandbox& box) {
  for (const std::string& n : listing(box.workdir()))
    if (n == "quser.files" || n.rfind("query_", 0) == 0 || n.rfind("quser_", 0) == 0 ||
        n.rfind(".kdl2nis.", 0) == 0)
      return true;
  return false;
}

TEST(FilesUserQuery, ByNameGivesThePasswdAndShadowFields) {
  Sandbox box;
  RunResult r = box.shim({"-n", "files", "-p", "queryUser:root"});
  EXPECT_EQ(0, r.status);
  ASSERT_EQ(1u, queryLines(r).size()) << r.out;
  const std::string line = queryLines(r)[0];
  EXPECT_EQ(0u, line.find("instanceUser:root:x:0:0:"));
  std::vector<std::string> fields = splitFields(line.substr(line.find(':') + 1), ':');
  EXPECT_EQ(15u, fields.size());
  std::string shadowRoot = box.entry("/etc/shadow", "root");
  EXPECT_EQ(splitFields(shadowRoot, ':')[1], fields[7]);
  EXPECT_FALSE(leftovers(box));
}

TEST(FilesUserQuery, ByUidListsEveryOwnerInFileOrder) {
  Sandbox box;
  addAccounts(box);
  expectAnswers(box, {{"queryUser:::2003",
                       "instanceUser:twin1:x:2003:100::/home/twin1:/bin/sh:!:19002:0:99999:7:::\n"
                       "instanceUser:twin2:x:2003:100::/home/twin2:/bin/sh:\n"}});
  EXPECT_FALSE(leftovers(box));
}

TEST(FilesUserQuery, PatternsAreAnchoredAndUnknownNamesPrintNothing) {
  Sandbox box;
  addAccounts(box);
  expectAnswers(box, {
      {"queryUser:ab.*", "instanceUser:abc:x:2001:100:Abc:/home/abc:/bin/sh:HASHabc:19000:0:99999:7:::\n"},
      {"queryUser:.*abc::2002", "instanceUser:xabc:x:2002:100:Xabc:/home/xabc:/bin/sh:HASHxabc:19001:0:99999:7:::\n"},
      {"queryUser:nosuchuser", ""},
  });
  EXPECT_FALSE(leftovers(box));
}

TEST(FilesUserQuery, WithoutShadowEveryPasswdLineGetsSevenColons) {
  Sandbox box;
  addAccounts(box);
  append(box, "/etc/passwd", "+nisuser::::::\n", 0644);
  expectAnswers(box,
                {{"queryUser:abc", "instanceUser:abc:x:2001:100:Abc:/home/abc:/bin/sh:::::::\n"},
                 {"queryUser:\\+nis.*", "instanceUser:+nisuser:::::::::::::\n"}},
                {"-s"});
  EXPECT_FALSE(leftovers(box));
}

// The record of each user is the one the shadow-merging table holds: a name
// with two shadow lines takes the last, a shadow line without fields gives
// seven empty ones, a short passwd line is padded, a long one keeps its
// fields past the eighth, and last lines count without their newline. Alike
// for the scans, for patterns on passwd fields only and for those on shadow
// fields.
TEST(FilesUserQuery, RecordsAreJoinedAsTheTableJoinsThem) {
  Sandbox box;
  append(box, "/etc/passwd",
         "dup:x:2100:100:First:/h:/bin/sh\nshort:x:2101\nlong:x:2102:1:L:/h:/bin/sh:e8:e9\n"
         "dup:x:2103:100::/h:/bin/sh\nlast:x:2104:1::/:/bin/sh",
         0644);
  append(box, "/etc/shadow", "dup:H1:1::\nlong:HL:1:2:3:4:5:6:7:8:9\ndup:H2:2\nshort\nlast:HLAST:9", 0640);
  const std::string dup1 = "instanceUser:dup:x:2100:100:First:/h:/bin/sh:H2:2::::::\n";
  const std::string dup2 = "instanceUser:dup:x:2103:100::/h:/bin/sh:H2:2::::::\n";
  const std::string lng = "instanceUser:long:x:2102:1:L:/h:/bin/sh:HL:1:2:3:4:5:6:7:e9\n";
  const std::string last = "instanceUser:last:x:2104:1::/:/bin/sh:HLAST:9::::::\n";
  expectAnswers(box, {
      {"queryUser:dup", dup1 + dup2},
      {"queryUser:::2101", "instanceUser:short:x:2101::::::::::::\n"},
      {"queryUser:long", lng},
      {"queryUser:last", last},
      {"queryUser:::::First", dup1},
      {"queryUser:l[ao].*", lng + last},
      {"queryUser::::::::H[0-9L].*", dup1 + lng + dup2 + last},
      {"queryUser:l.*:::::::H.*", lng + last},
  });
  EXPECT_FALSE(leftovers(box));
}

TEST(FilesUserQuery, FailedExtractionLeavesNoTable) {
  Sandbox box;
  box.sh("mv /etc/passwd /etc/passwd.away");
  RunResult r = box.shim({"-n", "files", "-s", "-p", "queryUser:root"});
  box.sh("mv /etc/passwd.away /etc/passwd");
  EXPECT_EQ(-11, r.code());
  EXPECT_NE(std::string::npos, r.err.find("\nError_qvSystem_filesUserQuery: -11\n")) << r.err;
  EXPECT_FALSE(leftovers(box));
}

TEST(FilesGroupQuery, ByNameGidAndPattern) {
  Sandbox box;
  addAccounts(box);
  expectAnswers(box, {
      {"queryGroup:grpab", "instanceGroup:grpab:x:3001:abc,xabc\n"},
      {"queryGroup:::3001", "instanceGroup:grpab:x:3001:abc,xabc\ninstanceGroup:same:x:3001:\n"},
      {"queryGroup:grp.*", "instanceGroup:grpab:x:3001:abc,xabc\n"},
      {"queryGroup:.*grp.*::3002", "instanceGroup:xgrpab:x:3002:\n"},
      {"queryGroup:nosuchgroup", ""},
  });
}

}  // namespace
