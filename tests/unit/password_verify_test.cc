#include <gtest/gtest.h>

#include <crypt.h>
#include <string>

#include "password/hash.h"
#include "password/modify_password.h"

namespace {

TEST(VerifyCurrentPassword, EachStoredSchemeAcceptsOnlyItsPassword) {
  const std::string pw = "N3w pass!";
  const std::string stored[] = {
      desCrypt(pw.c_str(), "Xy"),
      md5Crypt(pw.c_str(), "$1$abcdefgh"),
      crypt(pw.c_str(), "$5$saltsalt$"),
      crypt(pw.c_str(), "$6$saltsalt$"),
      crypt(pw.c_str(), crypt_gensalt("$y$", 0, nullptr, 0)),
  };
  for (const std::string& hash : stored) {
    ASSERT_GT(hash.size(), 12u);
    EXPECT_TRUE(verifyCurrentPassword(pw, hash)) << hash;
    EXPECT_FALSE(verifyCurrentPassword("n3w pass!", hash)) << hash;
    EXPECT_FALSE(verifyCurrentPassword(pw, hash.substr(0, hash.size() - 1))) << hash;
  }
}

TEST(VerifyCurrentPassword, NoPasswordOrLockedAccountsNeverMatch) {
  for (const char* hash : {"", "*", "!", "!!", "x", "$", "$6$", "$6$saltsalt$"}) {
    EXPECT_FALSE(verifyCurrentPassword("", hash)) << hash;
    EXPECT_FALSE(verifyCurrentPassword("pw", hash)) << hash;
  }
  const std::string locked = "!" + std::string(crypt("pw", "$6$saltsalt$"));
  EXPECT_FALSE(verifyCurrentPassword("pw", locked));
}

}  // namespace
