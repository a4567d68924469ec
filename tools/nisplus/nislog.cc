// Stand-in transaction log printer: prints the preamble with the current XID
// and every logged entry, oldest first.
#include <cstdio>
#include <string>

#include "store.h"

using namespace standin;

int main(int argc, char**) {
  try {
    if (argc != 1) {
      std::fprintf(stderr, "usage: nislog\n");
      return 2;
    }
    Store store(storeDirectory());
    std::string text = store.log();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const StoreError& e) {
    std::fprintf(stderr, "nislog: %s\n", e.message.c_str());
    return 1;
  }
}
