#include <cstdio>
#include <cstdlib>

#include "core/entry.h"

int main(int argc, char** argv) {
  int result = runShim(argc, argv);
  std::fflush(stdout);
  return result & 0xff;
}
