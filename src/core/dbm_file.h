// gdbm databases as the shim opens them: block size 0, GDBM_WRCREAT, mode
// 0600, stores with GDBM_REPLACE. The handle closes itself; datums returned
// by gdbm are owned by a Datum that frees them.
//
// gdbm answers a failed read the way it answers a missing key (a null
// datum), and a failed bucket write with a store that seems to succeed. Every
// call goes through the functions here, which tell "not there" from an
// error: an error is kErrOpen, never an absent key or the end of a walk.
#pragma once

#include <cstdlib>
#include <gdbm.h>
#include <utility>
#include <optional>
#include <string>
#include <string_view>

// Cache sizes for a database read through a small fixed cache instead of a
// memory map of the whole file (GDBM_NOMMAP), so that a walk over 100,000
// accounts needs no more memory than one over 100. Walks visit each bucket
// once, so a few buckets serve them; a database being built is stored into
// in hash order and gets kBuildCacheBuckets.
constexpr int kReadCacheBuckets = 16;
constexpr int kBuildCacheBuckets = 256;

class DbmFile {
 public:
  DbmFile() = default;
  explicit DbmFile(GDBM_FILE handle) : handle_(handle) {}
  ~DbmFile() { close(); }
  DbmFile(const DbmFile&) = delete;
  DbmFile& operator=(const DbmFile&) = delete;
  DbmFile(DbmFile&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  DbmFile& operator=(DbmFile&& other) noexcept;

  // Opens (creating it empty when missing) read-write.
  static DbmFile open(const std::string& path);
  // Opens with gdbm's own flags and mode (block size 0); with cacheBuckets,
  // read through a cache of that many buckets instead of gdbm's default.
  static DbmFile open(const std::string& path, int flags, int mode, int cacheBuckets = 0);
  // Opens on a descriptor of the caller's, which is the handle's from then
  // on (closed by close(), or at once when the open fails).
  static DbmFile openDescriptor(int fd, const std::string& name, int flags);

  bool isOpen() const { return handle_ != nullptr; }
  GDBM_FILE get() const { return handle_; }
  // 0, or kErrOpen when gdbm could not write out what it held (a handle
  // already closed is 0).
  int close();

  // 0 with the value, 0 with nullopt when the key is absent, kErrOpen on a
  // read error or a closed handle.
  int fetch(std::string_view key, std::optional<std::string>* value) const;
  int contains(std::string_view key, bool* present) const;
  // 0, or kErrOpen when the store failed or left the database needing
  // recovery.
  int store(std::string_view key, std::string_view value);
  // 0, kErrNoSuchAccount when the key is absent, kErrOpen on an error.
  int remove(std::string_view key);

 private:
  GDBM_FILE handle_ = nullptr;
};

// A datum that gdbm allocated, freed on scope exit.
struct Datum {
  datum d{nullptr, 0};
  Datum() = default;
  explicit Datum(datum value) : d(value) {}
  ~Datum() { std::free(d.dptr); }
  Datum(const Datum&) = delete;
  Datum& operator=(const Datum&) = delete;
  Datum(Datum&& o) noexcept : d(o.d) { o.d = {nullptr, 0}; }
  Datum& operator=(Datum&& o) noexcept {
    std::swap(d, o.d);
    return *this;
  }
  bool empty() const { return d.dptr == nullptr; }
  std::string text() const { return d.dptr ? std::string(d.dptr, d.dsize) : std::string(); }
};

// The same on a bare handle. First and next give an empty key at the end.
int dbmFetch(GDBM_FILE db, std::string_view key, std::optional<std::string>* value);
int dbmContains(GDBM_FILE db, std::string_view key, bool* present);
int dbmFirstKey(GDBM_FILE db, Datum* key);
int dbmNextKey(GDBM_FILE db, const Datum& previous, Datum* key);

// Calls visit(key) for every key until it returns false. 0, or kErrOpen
// when the walk could not read on.
template <typename Visit>
int walkAllKeys(GDBM_FILE db, Visit visit) {
  Datum key;
  int read = dbmFirstKey(db, &key);
  while (read == 0 && !key.empty() && visit(std::string_view(key.d.dptr, key.d.dsize))) {
    Datum next;
    read = dbmNextKey(db, key, &next);
    key = std::move(next);
  }
  return read;
}

inline datum asDatum(std::string_view text) {
  return datum{const_cast<char*>(text.data()), static_cast<int>(text.size())};
}
