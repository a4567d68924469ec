// Entry of the host tests: enter a private mount namespace first, so that no
// sandbox can ever be mounted where the machine itself would see it.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <string_view>

#include "namespace_guard.h"

int main(int argc, char** argv) {
  // Listing the tests runs none, so it needs no namespace: test discovery
  // then works as a normal user, in a chroot or in a container.
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing = listing || std::string_view(argv[i]) == "--gtest_list_tests";
  std::string why;
  if (!listing && !enterPrivateMountNamespace(&why)) {
    std::fprintf(stderr, "host tests: refusing to run: %s\n", why.c_str());
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
