// The state a poll keeps between runs: snapshot databases of the account
// tables (a committed generation and the new one a running poll builds),
// overflow files for long records, and the pending-password store.
#pragma once

#include <gdbm.h>
#include <optional>
#include <sys/types.h>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/dbm_file.h"
#include "core/result.h"

enum class SnapshotTable { kPasswd, kShadow, kGroup };

// Opens a snapshot database as DbmFile::open does (block size 0,
// GDBM_WRCREAT, 0600), but read through a small fixed cache instead of a
// memory map of the whole file, so that a walk over 100,000 accounts needs
// no more memory than one over 100. Walks and OrderedLookup visit each
// bucket once, so a few buckets serve them; a snapshot being built is
// stored into in hash order and gets kBuildCacheBuckets.
constexpr int kReadCacheBuckets = 16;
constexpr int kBuildCacheBuckets = 256;
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

// Values longer than this go to an overflow file.
constexpr std::size_t kInlineValueLimit = 1000;
constexpr std::string_view kOverflowPrefix = "file://";
constexpr const char* kOverflowDirectory = "./d.overflow/";

// Overflow references exist only in the snapshots the files poll builds, and
// only in the one shape it writes: "file://./d.overflow/<name>", the name one
// path component of letters, digits, "_", "-" and "." that does not begin
// with ".". No other value is a reference, whatever it begins with.
bool isOverflowReference(std::string_view value);
// The path a reference names ("./d.overflow/<name>"), and the name alone.
std::string overflowPath(std::string_view value);
std::string overflowName(std::string_view value);

// An account line that begins like a reference is stored behind this mark,
// so that no account data can ever be read as one. A value that begins with
// the mark loses it when it is read back.
constexpr std::string_view kInlineMark = "file://=";
std::string markedInlineValue(std::string value);

enum class OverflowRead { kOk, kCannotOpen, kCannotRead };
// Reads the record an overflow file holds: its whole content, a trailing
// line break dropped. An empty file, or anything but a regular file (a link
// is not followed), cannot be read.
OverflowRead readOverflowFile(const std::string& path, std::string* record);

// "./d.overflow/" itself, never through a link: opened as a directory of its
// own, and every file in it reached through that descriptor, so that a link
// planted in its place never lets a read, a write or a deletion reach
// another directory.
class OverflowDirectory {
 public:
  OverflowDirectory() = default;
  ~OverflowDirectory();
  OverflowDirectory(const OverflowDirectory&) = delete;
  OverflowDirectory& operator=(const OverflowDirectory&) = delete;

  // 0, or -2 when it is missing (and create is false), is not a directory of
  // its own, or cannot be made. Made with mode 0755.
  int open(bool create);
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  OverflowRead read(const std::string& name, std::string* record) const;
  // O_CREAT|O_EXCL|O_NOFOLLOW; -1 with errno set when it fails.
  int createFile(const std::string& name, mode_t mode) const;
  bool remove(const std::string& name) const;

 private:
  int fd_ = -1;
};

// The keys a dbm map keeps for itself. They are not accounts.
bool isMapBookkeepingKey(std::string_view key);

// How many account keys the database holds (bookkeeping keys not counted),
// from its buckets alone; nullopt when gdbm cannot tell.
std::optional<std::size_t> accountKeyCount(GDBM_FILE db);

// Walk over the accounts of a snapshot database. An empty previous key starts
// the walk; an empty next key ends it. Bookkeeping keys are passed over.
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
// The same for an entry not yet published with its user's line (state "1",
// or "2": written on a line of its own by a poll that got no answer), -6
// otherwise; the entry is left in state "2". Only the answer to the poll
// makes it published (purgePasswordCache), so a poll that stops before the
// answer leaves it to the next one.
int consumeWaitingPassword(int backend, const std::string& name, std::string* eventData);

// Deletes every published entry (state "0"), and the entries of answered
// that are still in state "2" (one accepted again since keeps its state
// "1"). A poll calls it only after the engine has answered and the
// snapshots are committed: until then a published entry must survive, so
// that a poll that stops early publishes it again. 0, or -1 when the store
// cannot be opened, walked or changed.
int purgePasswordCache(int backend, const std::vector<std::string>& answered = {});

// The names that have a pending password, read once per comparison pass so
// that the many users without one cost no opening of the store (each
// opening for writing ends in a sync of the file). When the store cannot be
// read every name may have one, and the operations above decide.
class PendingPasswordNames {
 public:
  explicit PendingPasswordNames(int backend);
  bool mayHave(const std::string& name) const { return unknown_ || names_.count(name) != 0; }
  // Still to be published on a line of its own (state "1" or "2").
  bool anyMayWait() const { return unknown_ || !waiting_.empty(); }
  // Known to be still waiting (none when the store could not be read).
  const std::set<std::string>& waiting() const { return waiting_; }

 private:
  bool unknown_ = false;
  std::set<std::string> names_;
  std::set<std::string> waiting_;
};

// Whether a change accepted by modifyPassword still waits to be published
// (also when the store exists but cannot be read). A poll must not take
// "nothing changed" for an answer then: the change may have been accepted
// after the poll that saw the user's new password.
bool hasWaitingPassword(int backend);
