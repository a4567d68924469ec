// Stand-in table administration tool over the file-backed store:
//   nistbladm -a col=value ... TABLE            add an entry (the key must be new)
//   nistbladm -E col=value ... [col=value,...],TABLE   edit the one matching entry
//   nistbladm -R col=value ... TABLE            remove the matching entries
// Exit 0 on success, 1 for a missing or duplicate entry or an unknown column
// or table, 2 for a malformed command line. Every change is logged as one
// transaction; an edit is a removal and an addition under one XID.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "store.h"

using namespace standin;

namespace {

struct Usage {
  std::string message;
};

using Pairs = std::vector<std::pair<int, std::string>>;

std::pair<std::string, std::string> splitPair(const std::string& text) {
  std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) throw Usage{"not a column=value pair: " + text};
  return {text.substr(0, eq), text.substr(eq + 1)};
}

Pairs resolve(const TableLayout& table, const std::vector<std::string>& texts) {
  Pairs pairs;
  for (const auto& text : texts) {
    auto [column, value] = splitPair(text);
    int index = columnIndex(table, column);
    if (index < 0) throw StoreError{"column " + column + " is not in " + table.name};
    pairs.emplace_back(index, value);
  }
  return pairs;
}

bool matches(const Row& row, const Pairs& key) {
  for (const auto& [index, value] : key)
    if (row[index] != value) return false;
  return true;
}

const TableLayout& tableNamed(const std::string& name) {
  const TableLayout* table = findTable(name);
  if (table == nullptr) throw StoreError{"no such table: " + name};
  return *table;
}

int add(Store& store, const TableLayout& table, const Pairs& columns) {
  Row row(table.columns.size());
  for (const auto& [index, value] : columns) row[index] = value;
  if (row[0].empty()) throw StoreError{"the key column is empty"};
  auto rows = store.rows(table);
  for (const Row& existing : rows)
    if (existing[0] == row[0]) throw StoreError{"entry already exists: " + row[0]};
  rows.push_back(row);
  store.save(table, rows);
  store.commit({{LogOp::kAdd, &table, row}});
  return 0;
}

int remove(Store& store, const TableLayout& table, const Pairs& key) {
  if (key.empty()) throw Usage{"no entry named"};
  auto rows = store.rows(table);
  std::vector<Row> kept;
  std::vector<LogEntry> removed;
  for (Row& row : rows) {
    if (matches(row, key))
      removed.push_back({LogOp::kRemove, &table, row});
    else
      kept.push_back(std::move(row));
  }
  if (removed.empty()) throw StoreError{"no such entry"};
  store.save(table, kept);
  store.commit(removed);
  return 0;
}

int edit(Store& store, const std::vector<std::string>& pairTexts, const std::string& indexed) {
  // [col=value,...],TABLE
  std::size_t close = indexed.find("],");
  if (indexed.empty() || indexed[0] != '[' || close == std::string::npos)
    throw Usage{"not an indexed name: " + indexed};
  const TableLayout& table = tableNamed(indexed.substr(close + 2));
  std::vector<std::string> keyTexts;
  std::string inner = indexed.substr(1, close - 1);
  std::size_t start = 0;
  while (true) {
    std::size_t comma = inner.find(',', start);
    keyTexts.push_back(inner.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  Pairs key = resolve(table, keyTexts);
  Pairs changes = resolve(table, pairTexts);

  auto rows = store.rows(table);
  Row* target = nullptr;
  for (Row& row : rows) {
    if (!matches(row, key)) continue;
    if (target != nullptr) throw StoreError{"more than one entry matches " + indexed};
    target = &row;
  }
  if (target == nullptr) throw StoreError{"no such entry: " + indexed};
  Row before = *target;
  for (const auto& [index, value] : changes) (*target)[index] = value;
  if ((*target)[0].empty()) throw StoreError{"the key column is empty"};
  for (const Row& row : rows)
    if (&row != target && row[0] == (*target)[0]) throw StoreError{"entry already exists: " + row[0]};
  Row after = *target;
  store.save(table, rows);
  store.commit({{LogOp::kRemove, &table, before}, {LogOp::kAdd, &table, after}});
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 3) throw Usage{"usage: nistbladm -a|-E|-R col=value ... TABLE"};
    std::string option = argv[1];
    std::vector<std::string> pairs(argv + 2, argv + argc - 1);
    std::string last = argv[argc - 1];
    Store store(storeDirectory());
    if (option == "-E") return edit(store, pairs, last);
    const TableLayout& table = tableNamed(last);
    Pairs resolved = resolve(table, pairs);
    if (option == "-a") return add(store, table, resolved);
    if (option == "-R") return remove(store, table, resolved);
    throw Usage{"unknown option " + option};
  } catch (const Usage& u) {
    std::fprintf(stderr, "nistbladm: %s\n", u.message.c_str());
    return 2;
  } catch (const StoreError& e) {
    std::fprintf(stderr, "nistbladm: %s\n", e.message.c_str());
    return 1;
  }
}
