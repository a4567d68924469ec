#include <gtest/gtest.h>

#include <crypt.h>
#include <cstdlib>
#include <optional>
#include <string>

#include "core/event_record.h"
#include "password/hash.h"
#include "password/prepare_password.h"

namespace {

TEST(Md5Crypt, MatchesPublishedVectors) {
  // Results of the published "$1$" scheme (also what `openssl passwd -1` gives).
  EXPECT_STREQ("$1$saltstri$YMyguxXMBpd2TEZ.vS/3q1", md5Crypt("Hello world!", "$1$saltstring"));
  EXPECT_STREQ("$1$abcdefgh$M55TzYaaccxVGbptZWaxX/", md5Crypt("", "$1$abcdefgh$"));
  EXPECT_STREQ("$1$ab$NM4FR4Dl/CzoTSJTd3YJ3.", md5Crypt("a", "ab"));
  EXPECT_STREQ("$1$xy$PDu..1rLIqAgkHw5bro56/",
               md5Crypt("a-password-longer-than-sixteen-bytes-for-sure", "$1$xy$ignored"));
  EXPECT_STREQ("$1$$LP5.V3ajGqHDdXW6XwZQy.", md5Crypt("x", "$1$"));
}

TEST(Md5Crypt, ChecksAgainstItsOwnStoredHashAndTheHostLibrary) {
  const std::string stored = md5Crypt("s3cret pass", "$1$Qx/9.zZ1");
  EXPECT_EQ(stored, md5Crypt("s3cret pass", stored.c_str()));
  EXPECT_NE(stored, md5Crypt("s3cret pasS", stored.c_str()));
  EXPECT_STREQ(crypt("s3cret pass", stored.c_str()), stored.c_str());
}

TEST(DesCrypt, ClassicResultsAndMissingSaltCharacters) {
  EXPECT_EQ("abgOeLfPimXQo", desCrypt("test", "ab"));
  EXPECT_EQ("abJnggxhB/yWI", desCrypt("password", "abJnggxhB/yWI"));
  EXPECT_EQ(desCrypt("pw", "AA"), desCrypt("pw", ""));
  EXPECT_EQ(desCrypt("pw", "qA"), desCrypt("pw", "q"));
  EXPECT_EQ(std::string(crypt("pw", "q.")), desCrypt("pw", "q."));
  EXPECT_EQ("", desCrypt("pw", "\xc3\xa9"));  // no hash for a salt byte outside ASCII
}

TEST(Salt, ToSaltCharTable) {
  EXPECT_EQ('.', toSaltChar('.'));
  EXPECT_EQ('/', toSaltChar('/'));
  EXPECT_EQ('.', toSaltChar(0));
  EXPECT_EQ('7', toSaltChar(9));
  EXPECT_EQ('.', toSaltChar(10));
  EXPECT_EQ('3', toSaltChar(45));
  EXPECT_EQ('G', toSaltChar(58));
  EXPECT_EQ('M', toSaltChar(64));
  EXPECT_EQ('n', toSaltChar(91));
  EXPECT_EQ('s', toSaltChar(96));
  EXPECT_EQ('x', toSaltChar(127));
  EXPECT_EQ('.', toSaltChar(-1));
  EXPECT_EQ('.', toSaltChar(-127));
  const std::string alphabet = kSaltAlphabet;
  for (int b = -127; b < 128; ++b) {
    EXPECT_NE(std::string::npos, alphabet.find(toSaltChar(b))) << b;
  }
}

TEST(Salt, MadeFromClockProcessAndProcessorTime) {
  EXPECT_EQ("sl", makeSaltFrom(-1, 1234, 5));
  EXPECT_EQ("Aa", makeSaltFrom(65, 0, 32));          // letters pass unchanged
  EXPECT_EQ("G2", makeSaltFrom(178, 8, -128));       // 186 % 128 = 58 -> "G"; 50 is "2"
  EXPECT_EQ("x.", makeSaltFrom(127, 0, -128));       // a negative remainder gives "."
}

class PreparePassword : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    unsetenv("cleartext");
    unsetenv("encrypted");
  }
  static std::string run(int command, std::optional<std::string> field = std::nullopt) {
    preparePassword(field, command);
    return field.value_or("<absent>");
  }
};

TEST_F(PreparePassword, NeitherVariable) {
  EXPECT_EQ("x", run(kAddUser));
  EXPECT_EQ("", run(kModifyUser, "from-event"));
}

TEST_F(PreparePassword, Cleartext) {
  setenv("cleartext", "", 1);
  EXPECT_EQ("", run(kAddUser));
  EXPECT_EQ("*", run(kModifyUser));
  setenv("cleartext", "Secret1", 1);
  for (int command : {kAddUser, kModifyUser}) {
    std::string hash = run(command);
    ASSERT_EQ(13u, hash.size());
    EXPECT_EQ(hash, desCrypt("Secret1", hash.c_str()));
  }
  setenv("encrypted", "ignored", 1);  // cleartext wins
  EXPECT_EQ(13u, run(kAddUser).size());
}

TEST_F(PreparePassword, Encrypted) {
  setenv("encrypted", "deletePassword", 1);
  EXPECT_EQ("deletePassword", run(kAddUser));
  EXPECT_EQ("x", run(kModifyUser));
  setenv("encrypted", "", 1);
  EXPECT_EQ("", run(kAddUser));
  EXPECT_EQ("noPassword", run(kModifyUser));
  setenv("encrypted", "$6$abc$xyz", 1);
  EXPECT_EQ("$6$abc$xyz", run(kAddUser));
  EXPECT_EQ("$6$abc$xyz", run(kModifyUser));
}

TEST_F(PreparePassword, OtherCommandsLeaveTheFieldAlone) {
  setenv("cleartext", "Secret1", 1);
  EXPECT_EQ("kept", run(kModifyPassword, "kept"));
  EXPECT_EQ("<absent>", run(kDeleteUser));
}

}  // namespace
