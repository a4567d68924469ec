// The snapshot databases a poll keeps between runs: one per account table,
// a committed generation and the new one a running poll builds. Their names,
// how they are opened, and the walks and lookups the comparisons make.
#pragma once

#include <gdbm.h>
#include <optional>
#include <string>
#include <string_view>

#include "core/dbm_file.h"
#include "core/map_keys.h"
#include "core/result.h"

// The account tables, in the order stamps and arrays of them keep.
enum SnapshotTable { kPasswdTable = 0, kShadowTable = 1, kGroupTable = 2 };
constexpr int kSnapshotTables = 3;
// "passwd", "shadow", "group": the name a commit plan and the maps use.
const char* snapshotTableName(SnapshotTable table);
std::optional<SnapshotTable> snapshotTableNamed(std::string_view name);

// Opens a snapshot database as DbmFile::open does (block size 0,
// GDBM_WRCREAT, 0600), but read through a small fixed cache instead of a
// memory map of the whole file. OrderedLookup visits each bucket once too;
// a snapshot being built gets kBuildCacheBuckets.
DbmFile openSnapshot(const std::string& path, int cacheBuckets = kReadCacheBuckets);
// A snapshot copied whole from a map, opened for reading only: never created
// nor made up where the copy is empty. A zero-length or unreadable copy is
// not opened, so that a map emptied by a crash or a full disk is never
// compared as a store without accounts.
DbmFile openSnapshotCopy(const std::string& path);
// The same for a committed snapshot, which only a plain file of its own may
// be: a link or a hard link in its place is not opened (nor created through).
DbmFile openCommittedSnapshot(const std::string& path);

// The kNis selector uses the map-style names ("passwd.byname.log"),
// any other selector the files names ("passwd.log").
std::string committedSnapshotName(int backend, SnapshotTable table);
// The committed name followed by ".tmp".
std::string newSnapshotName(int backend, SnapshotTable table);
// "nis.pub" for selector 1, otherwise "files.pub".
const char* publicationFileName(int backend);

// How many account keys the database holds (bookkeeping keys not counted),
// from its buckets alone; nullopt when gdbm cannot tell.
std::optional<std::size_t> accountKeyCount(GDBM_FILE db);

// Lookups, in one snapshot, of the keys of a walk over another one. Two
// snapshots of one table mostly hold the same keys stored in the same order,
// so they walk in the same order too: the lookup follows with a walk of its
// own, and a key that is where that walk stands is read with its bucket
// already in the cache, one read in sequence instead of a bucket and an
// entry read anywhere in the file. Any other key is looked up as usual, and
// the walk goes on after it. The answers are those of fetchValue and hasKey
// whatever the order, read errors included (kErrOpen).
class OrderedLookup {
 public:
  explicit OrderedLookup(GDBM_FILE db) : db_(db) {}
  int fetch(std::string_view key, std::optional<std::string>* value);
  int contains(std::string_view key, bool* present);

 private:
  // True when key is where the walk stands (the walk then moves on).
  int atWalk(std::string_view key, bool* here);
  int followFrom(std::string_view key);
  GDBM_FILE db_;
  bool started_ = false;
  Datum next_;
};

std::string datumText(const Datum& d);
// One fetch: 0 with nullopt when the handle is null or the key is absent,
// kErrOpen on a read error.
int fetchValue(GDBM_FILE db, std::string_view key, std::optional<std::string>* value);
int hasKey(GDBM_FILE db, std::string_view key, bool* present);
