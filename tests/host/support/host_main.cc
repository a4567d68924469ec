// Entry of the host tests: enter a private mount namespace first, so that no
// sandbox can ever be mounted where the machine itself would see it.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "namespace_guard.h"

int main(int argc, char** argv) {
  std::string why;
  if (!enterPrivateMountNamespace(&why)) {
    std::fprintf(stderr, "host tests: refusing to run: %s\n", why.c_str());
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
