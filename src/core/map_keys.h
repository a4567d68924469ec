// The keys of a dbm map that are accounts. A map made by the host's map
// builder keeps bookkeeping entries of its own beside the accounts; every
// walk over accounts passes over them, whichever database it walks.
#pragma once

#include <string_view>

#include "core/dbm_file.h"
#include "core/result.h"

// The keys a dbm map keeps for itself. They are not accounts.
inline constexpr std::string_view kMapBookkeepingKeys[] = {"YP_INPUT_NAME",    "YP_OUTPUT_NAME", "YP_MASTER_NAME",
                                                           "YP_LAST_MODIFIED", "YP_SECURE",      "YP_INTERDOMAIN"};
bool isMapBookkeepingKey(std::string_view key);

// Walk over the accounts of a database. An empty previous key starts the
// walk; an empty next key ends it. Bookkeeping keys are passed over.
// 0, or kErrOpen when a key cannot be read: a walk never ends early unseen.
int nextMapKey(GDBM_FILE db, const Datum& previous, Datum* next);

// Calls visit(key) for every account key in walk order until it returns
// false. 0, or kErrOpen when the walk could not read on.
template <typename Visit>
int walkMapKeys(GDBM_FILE db, Visit visit) {
  Datum key;
  int read = nextMapKey(db, Datum(), &key);
  while (read == kOk && !key.empty() && visit(key)) {
    Datum next;
    read = nextMapKey(db, key, &next);
    key = std::move(next);
  }
  return read;
}
