// modifyPassword end to end: real tokens, the real binary, the files
// backend's accounts and pending-password store in the sandbox.
#include <gtest/gtest.h>

#include <crypt.h>
#include <map>
#include <sys/stat.h>
#include <string>

#include "core/dbm_file.h"
#include "core/event_record.h"
#include "password/hash.h"
#include "password/pending_password_store.h"
#include "files_test_support.h"
#include "support/token_encryptor.h"
#include "support/dbm_read.h"
#include "support/dir_listing.h"

namespace {

using Store = std::map<std::string, std::string>;

// Every entry of a backend's pending-password store (empty when missing).
Store readStore(const Sandbox& box, int backend) {
  Store all;
  if (!box.exists(passCachePath(backend))) return all;
  DbmFile db = openPassCache(backend);
  for (Datum key(gdbm_firstkey(db.get())); !key.empty(); key = Datum(gdbm_nextkey(db.get(), key.d))) {
    Datum value(gdbm_fetch(db.get(), key.d));
    all[key.text()] = value.text();
  }
  return all;
}

class ModifyPassword : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string des = desCrypt("desPass1", "Qz");
    const std::string md5 = md5Crypt("md5 pass", "$1$saltsalt");
    const std::string sha = crypt("sha pass", "$6$saltsalt$");
    const std::string yes = crypt("yes pass", crypt_gensalt("$y$", 0, nullptr, 0));
    box.write("/etc/passwd",
              box.read("/etc/passwd") +
                  "jo:x:2001:100::/home/jo:/bin/sh\n"
                  "md:x:2002:100::/home/md:/bin/sh\n"
                  "sha:x:2003:100::/home/sha:/bin/sh\n"
                  "yes:x:2004:100::/home/yes:/bin/sh\n"
                  "old:" + desCrypt("passwdFile", "Pf") + ":2005:100::/home/old:/bin/sh\n",
              0644);
    box.write("/etc/shadow",
              box.read("/etc/shadow") + "jo:" + des + ":19000:0:99999:7:::\n" + "md:" + md5 +
                  ":19000:0:99999:7:::\n" + "sha:" + sha + ":19000:0:99999:7:::\n" + "yes:" + yes +
                  ":19000:0:99999:7:::\n" + "old:" + desCrypt("shadowFile", "Sf") + ":19000:0:99999:7:::\n",
              0640);
  }

  RunResult change(const std::string& user, const std::string& oldToken, const std::string& newToken,
                   Argv options = {}) {
    RunResult r = runFiles(box, "modifyPassword:" + user + ":" + oldToken + "," + newToken, {}, options);
    EXPECT_FALSE(queryFileLeft()) << "query file left behind";
    return r;
  }

  bool queryFileLeft() {
    for (const std::string& n : listing(box.workdir()))
      if (n == "quser.files" || n.rfind("query_", 0) == 0 || n.rfind(".kdl2nis.", 0) == 0) return true;
    return false;
  }

  Sandbox box;
};

TEST_F(ModifyPassword, AcceptedChangeIsStoredAsPendingForEveryHashScheme) {
  const struct {
    const char* user;
    const char* password;
  } cases[] = {{"jo", "desPass1"}, {"md", "md5 pass"}, {"sha", "sha pass"}, {"yes", "yes pass"}};
  Store expected;
  for (const auto& c : cases) {
    const std::string oldToken = encryptToken(std::string("before-") + c.user);
    const std::string newToken = encryptToken(c.password);
    RunResult r = change(c.user, oldToken, newToken);
    EXPECT_EQ(0, r.status) << c.user;
    EXPECT_EQ("\n", r.out);
    EXPECT_EQ("", r.err);
    expected[c.user] = oldToken + ":" + newToken + ":1";
  }
  EXPECT_EQ(expected, readStore(box, kFiles));
  struct stat st {};
  ASSERT_EQ(0, stat(passCachePath(kFiles).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  DbmFile db = openPassCache(kFiles);
  EXPECT_FALSE(holds(db, std::string("jo\0", 3)));  // the key carries no terminator
}

TEST_F(ModifyPassword, RefusedChangesLeaveTheStoreUnchanged) {
  const std::string seeded = encryptToken("o") + ":" + encryptToken("desPass1") + ":0";
  {
    DbmFile db = openPassCache(kFiles);
    ASSERT_EQ(0, db.store("jo", seeded));
  }
  const std::string good = encryptToken("desPass1");
  for (const auto& [user, token] : std::vector<std::pair<std::string, std::string>>{
           {"jo", encryptToken("desPass2")},        // not the stored password
           {"nosuchuser", good},                    // unknown user
           {"jo", "!!notbase64!!"},                 // bad token
           {"jo", ""},                              // empty token
           {"jo", good.substr(0, good.size() - 4)},  // cut short
       }) {
    RunResult r = change(user, encryptToken("o"), token);
    EXPECT_EQ(0, r.status) << user << " " << token;
    EXPECT_EQ("", r.err);
  }
  EXPECT_EQ((Store{{"jo", seeded}}), readStore(box, kFiles));
}

TEST_F(ModifyPassword, EmptyOldTokenTakesTheEarlierNewToken) {
  const std::string first = encryptToken("desPass1");
  ASSERT_EQ(0, change("jo", "", first).status);
  EXPECT_EQ((Store{{"jo", ":" + first + ":1"}}), readStore(box, kFiles));

  const std::string old = encryptToken("earlier");
  ASSERT_EQ(0, change("jo", old, first).status);
  ASSERT_EQ(0, change("jo", "", first).status);  // the pending entry was old:first:1
  EXPECT_EQ((Store{{"jo", first + ":" + first + ":1"}}), readStore(box, kFiles));
}

TEST_F(ModifyPassword, WrappedTokensAreStoredOnOneLine) {
  const std::string clear = "desPass1";
  const std::string flat = encryptToken(clear);
  const std::string oldFlat = encryptToken(std::string(60, 'o'));
  const std::string oldWrapped = encodeBase64(encryptTokenBytes(std::string(60, 'o')), 64);
  ASSERT_NE(std::string::npos, oldWrapped.find('\n'));
  RunResult r = change("jo", " " + oldWrapped + "\n", "\n" + flat.substr(0, 8) + "\n " + flat.substr(8) + " ");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ((Store{{"jo", oldFlat + ":" + flat + ":1"}}), readStore(box, kFiles));
}

TEST_F(ModifyPassword, NoShadowTakesTheHashFromThePasswdFile) {
  EXPECT_EQ(0, change("old", "", encryptToken("shadowFile"), {"-s"}).status);
  EXPECT_TRUE(readStore(box, kFiles).empty());
  EXPECT_EQ(0, change("old", "", encryptToken("passwdFile")).status);
  EXPECT_TRUE(readStore(box, kFiles).empty());

  const std::string viaPasswd = encryptToken("passwdFile");
  EXPECT_EQ(0, change("old", "", viaPasswd, {"-s"}).status);
  EXPECT_EQ((Store{{"old", ":" + viaPasswd + ":1"}}), readStore(box, kFiles));
  const std::string viaShadow = encryptToken("shadowFile");
  EXPECT_EQ(0, change("old", "", viaShadow).status);
  EXPECT_EQ((Store{{"old", viaPasswd + ":" + viaShadow + ":1"}}), readStore(box, kFiles));
}

TEST_F(ModifyPassword, StoreHeldByAnotherProcessGivesMinusOne) {
  DbmFile held = openPassCache(kFiles);  // a writer holds the store
  ASSERT_TRUE(held.isOpen());
  RunResult r = change("jo", "", encryptToken("desPass1"));
  EXPECT_EQ(-1, r.code());
  EXPECT_EQ("Error: -1\n", r.err);
}

TEST_F(ModifyPassword, NisWithoutMapDirectoryIsRefused) {
  RunResult r = box.shim({"-n", "nis", "-y", "/var/yp", "-p", "modifyPassword:jo:," + encryptToken("desPass1")});
  EXPECT_EQ(-11, r.code());
  EXPECT_EQ("Error_modifyPassword: -11\n", r.err);
  EXPECT_TRUE(readStore(box, kNis).empty());
}

// Maps that cannot be read are not an unknown user: the change would be
// reported as taken while nothing was recorded.
TEST_F(ModifyPassword, AQueryThatCannotReadTheStoreIsAFailure) {
  ASSERT_EQ(0, box.sh("mkdir -p /var/yp/nomaps").status);
  RunResult r = box.shim({"-n", "nis", "-d", "/var/yp/nomaps", "-y", "/var/yp", "-p",
                          "modifyPassword:jo:," + encryptToken("desPass1")});
  EXPECT_GT(0, r.code());
  EXPECT_TRUE(r.err.find("_modifyPassword: -") != std::string::npos) << r.err;
  EXPECT_TRUE(readStore(box, kNis).empty());
  EXPECT_FALSE(queryFileLeft());
}

}  // namespace
