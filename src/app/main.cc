#include <cstdio>
#include <cstdlib>

#include "app/entry.h"

int main(int argc, char** argv) {
  int result = runShim(argc, argv);
  std::fflush(stdout);
  return result & 0xff;
}
