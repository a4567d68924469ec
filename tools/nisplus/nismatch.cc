// Stand-in lookup tool: nismatch col=value ... TABLE prints every entry whose
// columns hold those values, columns joined by ":". Exit 0 when something
// matched, 1 when nothing did or the table or a column is unknown.
#include <cstdio>
#include <string>

#include "store.h"

using namespace standin;

int main(int argc, char** argv) {
  try {
    if (argc < 3) {
      std::fprintf(stderr, "usage: nismatch col=value ... TABLE\n");
      return 2;
    }
    const TableLayout* table = findTable(argv[argc - 1]);
    if (table == nullptr) throw StoreError{std::string("no such table: ") + argv[argc - 1]};
    std::vector<std::pair<int, std::string>> key;
    for (int i = 1; i < argc - 1; ++i) {
      std::string text = argv[i];
      std::size_t eq = text.find('=');
      int index = eq == std::string::npos ? -1 : columnIndex(*table, text.substr(0, eq));
      if (index < 0) throw StoreError{"not a column of " + std::string(table->name) + ": " + text};
      key.emplace_back(index, text.substr(eq + 1));
    }
    Store store(storeDirectory());
    int found = 0;
    for (const Row& row : store.rows(*table)) {
      bool match = true;
      for (const auto& [index, value] : key) match = match && row[index] == value;
      if (!match) continue;
      std::printf("%s\n", joinRow(row).c_str());
      ++found;
    }
    return found > 0 ? 0 : 1;
  } catch (const StoreError& e) {
    std::fprintf(stderr, "nismatch: %s\n", e.message.c_str());
    return 1;
  }
}
