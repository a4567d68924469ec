// The state a poll keeps between runs: snapshot databases of the account
// tables (a committed generation and the new one a running poll builds),
// overflow files for long records, and the pending-password store.
#pragma once

#include <gdbm.h>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/dbm_file.h"

enum class SnapshotTable { kPasswd, kShadow, kGroup };

// Opens a snapshot database as DbmFile::open does (block size 0,
// GDBM_WRCREAT, 0600), but read through a small fixed cache instead of a
// memory map of the whole file, so that a walk over 100,000 accounts needs
// no more memory than one over 100.
DbmFile openSnapshot(const std::string& path);

// Backend selector 1 (nis) uses the map-style names ("passwd.byname.log"),
// any other selector the files names ("passwd.log").
std::string committedSnapshotName(int backend, SnapshotTable table);
// The committed name followed by ".tmp".
std::string newSnapshotName(int backend, SnapshotTable table);
// "nis.pub" for selector 1, otherwise "files.pub".
const char* publicationFileName(int backend);

// Values longer than this go to an overflow file.
constexpr std::size_t kInlineValueLimit = 1000;
constexpr std::string_view kOverflowPrefix = "file://";
constexpr const char* kOverflowDirectory = "./d.overflow/";

bool isOverflowReference(std::string_view value);
// The path an overflow reference names (the text after "file://").
std::string overflowPath(std::string_view value);

enum class OverflowRead { kOk, kCannotOpen, kCannotRead };
// Reads the record an overflow file holds: its whole content, a trailing
// line break dropped. An empty file cannot be read.
OverflowRead readOverflowFile(const std::string& path, std::string* record);

// The keys a dbm map keeps for itself. They are not accounts.
bool isMapBookkeepingKey(std::string_view key);

// Walk over the accounts of a snapshot database. An empty previous key starts
// the walk; an empty result ends it. Bookkeeping keys are passed over.
Datum nextMapKey(GDBM_FILE db, const Datum& previous);

// Calls visit(key) for every account key in walk order until it returns false.
template <typename Visit>
void walkMapKeys(GDBM_FILE db, Visit visit) {
  for (Datum key = nextMapKey(db, Datum()); !key.empty(); key = nextMapKey(db, key))
    if (!visit(key)) break;
}

std::string datumText(const Datum& d);
// One fetch; nullopt when the handle is null or the key is absent.
std::optional<std::string> fetchValue(GDBM_FILE db, std::string_view key);
bool hasKey(GDBM_FILE db, std::string_view key);

// Pending passwords. Each operation opens the backend's store and closes it
// again before it returns.

// When the store holds an entry for the user whose name begins the record,
// puts the entry's new token in place of field fieldNumber (counted from 1).
// 0 (also without an entry), or -1 when the store cannot be opened.
int insertCachedPassword(int backend, std::string& record, int fieldNumber);

// Writes "<name>:<old token>,<new token>" (the data of a modifyPassword
// event) and marks the entry published (state "0"). 0, -6 without an entry,
// -1 when the store cannot be opened.
int consumeCachedPassword(int backend, const std::string& name, std::string* eventData);

// Deletes every published entry. A poll calls it only after the engine has
// answered and the snapshots are committed: until then a published entry
// must survive, so that a poll that stops early publishes it again.
// 0, or -1 when the store cannot be opened.
int purgePasswordCache(int backend);

// The names that have a pending password, read once per comparison pass so
// that the many users without one cost no opening of the store (each
// opening for writing ends in a sync of the file). When the store cannot be
// read every name may have one, and the operations above decide.
class PendingPasswordNames {
 public:
  explicit PendingPasswordNames(int backend);
  bool mayHave(const std::string& name) const { return unknown_ || names_.count(name) != 0; }

 private:
  bool unknown_ = false;
  std::set<std::string> names_;
};
