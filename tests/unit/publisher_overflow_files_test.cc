// Reading overflow files.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "publisher/overflow_files.h"
#include "support/temp_dir.h"

namespace {

TEST(OverflowFile, WholeRecordTrailingBreakDroppedEmptyOrMissingRefused) {
  TempDir temp;
  ASSERT_NO_FATAL_FAILURE(temp.enter());
  ASSERT_EQ(0, mkdir("d.overflow", 0755));
  std::string record;
  std::ofstream("d.overflow/a") << "g:x:1:" << std::string(60000, 'm');
  std::ofstream("d.overflow/b") << "g:x:1:a b\n";
  std::ofstream("d.overflow/c") << "";
  OverflowDirectory directory;
  ASSERT_EQ(0, directory.open(false));
  ASSERT_EQ(OverflowRead::kOk, directory.read("a", &record));
  EXPECT_EQ(60006u, record.size());
  ASSERT_EQ(OverflowRead::kOk, directory.read("b", &record));
  EXPECT_EQ("g:x:1:a b", record);
  EXPECT_EQ(OverflowRead::kCannotRead, directory.read("c", &record));
  EXPECT_EQ(OverflowRead::kCannotOpen, directory.read("none", &record));
}

}  // namespace
