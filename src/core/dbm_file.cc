#include "core/dbm_file.h"

#include <cstdlib>

#include "core/result.h"

namespace {

// After a call that gave nothing: was it only that the key is not there?
bool onlyAbsent(GDBM_FILE db) {
  if (gdbm_needs_recovery(db)) return false;
  gdbm_error e = gdbm_last_errno(db);
  return e == GDBM_NO_ERROR || e == GDBM_ITEM_NOT_FOUND;
}

// An earlier lookup's "not found" must not be read as this call's error.
bool ready(GDBM_FILE db) {
  if (db == nullptr || gdbm_needs_recovery(db)) return false;
  gdbm_clear_error(db);
  return true;
}

int keyFrom(GDBM_FILE db, datum got, Datum* key) {
  *key = Datum(got);
  if (key->empty() && !onlyAbsent(db)) return kErrOpen;
  return kOk;
}

}  // namespace

int dbmFetch(GDBM_FILE db, std::string_view key, std::optional<std::string>* value) {
  value->reset();
  if (!ready(db)) return kErrOpen;
  Datum got(gdbm_fetch(db, asDatum(key)));
  if (got.empty()) return onlyAbsent(db) ? kOk : kErrOpen;
  *value = got.text();
  return kOk;
}

int dbmContains(GDBM_FILE db, std::string_view key, bool* present) {
  *present = false;
  if (!ready(db)) return kErrOpen;
  *present = gdbm_exists(db, asDatum(key)) != 0;
  return *present || onlyAbsent(db) ? kOk : kErrOpen;
}

int dbmFirstKey(GDBM_FILE db, Datum* key) {
  *key = Datum();
  if (!ready(db)) return kErrOpen;
  return keyFrom(db, gdbm_firstkey(db), key);
}

int dbmNextKey(GDBM_FILE db, const Datum& previous, Datum* key) {
  if (!ready(db)) {
    *key = Datum();
    return kErrOpen;
  }
  return keyFrom(db, gdbm_nextkey(db, previous.d), key);
}

DbmFile& DbmFile::operator=(DbmFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

DbmFile DbmFile::open(const std::string& path) { return open(path, GDBM_WRCREAT, 0600); }

DbmFile DbmFile::openDescriptor(int fd, const std::string& name, int flags) {
  return DbmFile(gdbm_fd_open(fd, name.c_str(), 0, flags | GDBM_CLOERROR, nullptr));
}

DbmFile DbmFile::open(const std::string& path, int flags, int mode, int cacheBuckets) {
  DbmFile db(gdbm_open(path.c_str(), 0, flags, mode, nullptr));
  if (db.isOpen() && cacheBuckets > 0) {
    // Only the memory a read takes: gdbm's default cache serves as well.
    int buckets = cacheBuckets;
    gdbm_setopt(db.get(), GDBM_SETCACHESIZE, &buckets, sizeof buckets);
  }
  return db;
}

int DbmFile::close() {
  if (handle_ == nullptr) return kOk;
  // A database that needs recovery lost a write even when the close itself
  // goes through.
  bool damaged = gdbm_needs_recovery(handle_) != 0;
  int closed = gdbm_close(handle_);
  handle_ = nullptr;
  return closed == 0 && !damaged ? kOk : kErrOpen;
}

int DbmFile::fetch(std::string_view key, std::optional<std::string>* value) const {
  return dbmFetch(handle_, key, value);
}

int DbmFile::contains(std::string_view key, bool* present) const { return dbmContains(handle_, key, present); }

int DbmFile::store(std::string_view key, std::string_view value) {
  if (!ready(handle_)) return kErrOpen;
  int stored = gdbm_store(handle_, asDatum(key), asDatum(value), GDBM_REPLACE);
  if (stored != 0 || gdbm_needs_recovery(handle_) || gdbm_last_errno(handle_) != GDBM_NO_ERROR) return kErrOpen;
  return kOk;
}

int DbmFile::remove(std::string_view key) {
  if (!ready(handle_)) return kErrOpen;
  if (gdbm_delete(handle_, asDatum(key)) == 0) return kOk;
  return onlyAbsent(handle_) ? kErrNoSuchAccount : kErrOpen;
}
