#include "core/map_keys.h"

bool isMapBookkeepingKey(std::string_view key) {
  for (auto k : kMapBookkeepingKeys)
    if (key == k) return true;
  return false;
}

int nextMapKey(GDBM_FILE db, const Datum& previous, Datum* next) {
  *next = Datum();
  if (db == nullptr) return kOk;
  int read = previous.empty() ? dbmFirstKey(db, next) : dbmNextKey(db, previous, next);
  while (read == kOk && !next->empty() && isMapBookkeepingKey(std::string_view(next->d.dptr, next->d.dsize))) {
    Datum after;
    read = dbmNextKey(db, *next, &after);
    *next = std::move(after);
  }
  return read;
}
