#include "publisher/snapshot_store.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "core/event_record.h"

namespace {

constexpr const char* kTableNames[kSnapshotTables] = {"passwd", "shadow", "group"};

}  // namespace

const char* snapshotTableName(SnapshotTable table) { return kTableNames[table]; }

std::optional<SnapshotTable> snapshotTableNamed(std::string_view name) {
  for (int t = 0; t < kSnapshotTables; ++t)
    if (name == kTableNames[t]) return static_cast<SnapshotTable>(t);
  return std::nullopt;
}

DbmFile openSnapshot(const std::string& path, int cacheBuckets) {
  return DbmFile::open(path, GDBM_WRCREAT | GDBM_NOMMAP, 0600, cacheBuckets);
}

DbmFile openSnapshotCopy(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return DbmFile();
  return DbmFile::open(path, GDBM_READER | GDBM_NOMMAP, 0, kReadCacheBuckets);
}

DbmFile openCommittedSnapshot(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) return DbmFile();
  return openSnapshot(path);
}

std::string committedSnapshotName(int backend, SnapshotTable table) {
  return std::string(snapshotTableName(table)) + (backend == kNis ? ".byname.log" : ".log");
}

std::string newSnapshotName(int backend, SnapshotTable table) {
  return committedSnapshotName(backend, table) + ".tmp";
}

const char* publicationFileName(int backend) { return backend == kNis ? "nis.pub" : "files.pub"; }

std::optional<std::size_t> accountKeyCount(GDBM_FILE db) {
  gdbm_count_t count = 0;
  if (db == nullptr || gdbm_count(db, &count) != 0) return std::nullopt;
  for (auto k : kMapBookkeepingKeys) {
    bool present = false;
    if (hasKey(db, k, &present) != kOk) return std::nullopt;
    if (present && count > 0) --count;
  }
  return static_cast<std::size_t>(count);
}

std::string datumText(const Datum& d) { return d.text(); }

int OrderedLookup::atWalk(std::string_view key, bool* here) {
  *here = false;
  if (!started_) {
    started_ = true;
    if (int read = nextMapKey(db_, Datum(), &next_); read != kOk) return read;
  }
  *here = !next_.empty() && std::string_view(next_.d.dptr, next_.d.dsize) == key;
  return kOk;
}

int OrderedLookup::followFrom(std::string_view key) {
  // A datum of its own (Datum frees it) to walk on from.
  Datum at;
  at.d.dptr = static_cast<char*>(std::malloc(key.size() > 0 ? key.size() : 1));
  if (at.d.dptr == nullptr) {
    next_ = Datum();
    return kErrOther;
  }
  std::memcpy(at.d.dptr, key.data(), key.size());
  at.d.dsize = static_cast<int>(key.size());
  return nextMapKey(db_, at, &next_);
}

int OrderedLookup::fetch(std::string_view key, std::optional<std::string>* value) {
  value->reset();
  if (db_ == nullptr) return kOk;
  bool inStep = false;
  int result = atWalk(key, &inStep);
  // In step, the entry is the one the walk has just read: gdbm answers
  // from its cache.
  if (result == kOk) result = fetchValue(db_, key, value);
  if (result != kOk) return result;
  if (inStep) {
    Datum after;
    result = nextMapKey(db_, next_, &after);
    next_ = std::move(after);
  } else if (*value) {
    result = followFrom(key);
  }
  return result;
}

int OrderedLookup::contains(std::string_view key, bool* present) {
  *present = false;
  if (db_ == nullptr) return kOk;
  bool inStep = false;
  int result = atWalk(key, &inStep);
  if (result != kOk) return result;
  if (inStep) {
    *present = true;
    Datum after;
    result = nextMapKey(db_, next_, &after);
    next_ = std::move(after);
    return result;
  }
  if ((result = hasKey(db_, key, present)) == kOk && *present) result = followFrom(key);
  return result;
}

int fetchValue(GDBM_FILE db, std::string_view key, std::optional<std::string>* value) {
  value->reset();
  return db == nullptr ? kOk : dbmFetch(db, key, value);
}

int hasKey(GDBM_FILE db, std::string_view key, bool* present) {
  *present = false;
  return db == nullptr ? kOk : dbmContains(db, key, present);
}
