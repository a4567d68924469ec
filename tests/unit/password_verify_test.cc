#include <gtest/gtest.h>

#include <crypt.h>
#include <string>

#include "password/hash.h"
#include "password/modify_password.h"

namespace {

TEST(VerifyCurrentPassword, EachSchemeAcceptsOnlyItsPasswordAndLockedHashesNothing) {
  const std::string pw = "N3w pass!";
  for (const std::string& hash : {desCrypt(pw.c_str(), "Xy"), std::string(md5Crypt(pw.c_str(), "$1$abcdefgh")),
                                 std::string(crypt(pw.c_str(), "$5$saltsalt$")),
                                 std::string(crypt(pw.c_str(), crypt_gensalt("$y$", 0, nullptr, 0)))}) {
    EXPECT_TRUE(verifyCurrentPassword(pw, hash)) << hash;
    EXPECT_FALSE(verifyCurrentPassword("n3w pass!", hash)) << hash;
    EXPECT_FALSE(verifyCurrentPassword(pw, hash.substr(0, hash.size() - 1))) << hash;
    EXPECT_FALSE(verifyCurrentPassword(pw, "!" + hash)) << hash;
  }
  for (const char* hash : {"", "*", "!!", "x", "$", "$6$", "$6$saltsalt$"}) {
    EXPECT_FALSE(verifyCurrentPassword("", hash)) << hash;
    EXPECT_FALSE(verifyCurrentPassword("pw", hash)) << hash;
  }
}

}  // namespace
