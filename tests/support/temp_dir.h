// A private directory under /tmp for one test, removed with all it holds
// when the test is done. It may serve as the working directory meanwhile;
// the old one is restored before the removal.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unistd.h>

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kdl2nis-test-XXXXXX";
    // A test must never go on with an empty path: its files would land in /.
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    if (!left_.empty()) {
      EXPECT_EQ(0, chdir(left_.c_str())) << left_;
    }
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    EXPECT_FALSE(error) << "removing " << path_ << ": " << error.message();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of a file in the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Makes the directory the working directory until this goes.
  void enter() {
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    left_ = cwd;
    ASSERT_EQ(0, chdir(path_.c_str()));
  }

 private:
  std::string path_;
  std::string left_;
};
