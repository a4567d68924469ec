// Stand-in table dump: niscat TABLE prints every entry, columns joined by ":".
#include <cstdio>
#include <string>

#include "store.h"

using namespace standin;

int main(int argc, char** argv) {
  try {
    if (argc != 2) {
      std::fprintf(stderr, "usage: niscat TABLE\n");
      return 2;
    }
    const TableLayout* table = findTable(argv[1]);
    if (table == nullptr) throw StoreError{std::string("no such table: ") + argv[1]};
    Store store(storeDirectory());
    for (const Row& row : store.rows(*table)) std::printf("%s\n", joinRow(row).c_str());
    return 0;
  } catch (const StoreError& e) {
    std::fprintf(stderr, "niscat: %s\n", e.message.c_str());
    return 1;
  }
}
