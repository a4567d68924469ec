// Reads of a gdbm database for a test's checks: a read error fails the
// test instead of passing for a missing key.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/dbm_file.h"

inline std::optional<std::string> valueOf(const DbmFile& db, std::string_view key) {
  std::optional<std::string> value;
  EXPECT_EQ(0, db.fetch(key, &value)) << "reading " << key;
  return value;
}

inline bool holds(const DbmFile& db, std::string_view key) {
  bool present = false;
  EXPECT_EQ(0, db.contains(key, &present)) << "reading " << key;
  return present;
}
