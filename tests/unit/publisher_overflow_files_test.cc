// Reading overflow files.
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

#include "publisher/overflow_files.h"
#include "support/temp_dir.h"

namespace {

TEST(OverflowFile, WholeRecordTrailingBreakDroppedEmptyOrMissingRefused) {
  TempDir temp;
  const std::string base = temp.path();
  std::string record;
  std::ofstream(base + "/a") << "g:x:1:" << std::string(60000, 'm');
  ASSERT_EQ(OverflowRead::kOk, readOverflowFile(base + "/a", &record));
  EXPECT_EQ(60006u, record.size());
  std::ofstream(base + "/b") << "g:x:1:a b\n";
  ASSERT_EQ(OverflowRead::kOk, readOverflowFile(base + "/b", &record));
  EXPECT_EQ("g:x:1:a b", record);
  std::ofstream(base + "/c") << "";
  EXPECT_EQ(OverflowRead::kCannotRead, readOverflowFile(base + "/c", &record));
  EXPECT_EQ(OverflowRead::kCannotOpen, readOverflowFile(base + "/none", &record));
}

}  // namespace
