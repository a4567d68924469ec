#include "publisher/change_cache.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/event_record.h"
#include "core/result.h"
#include "core/trace.h"
#include "password/pass_cache.h"

namespace {

const char* tableStem(SnapshotTable table) {
  switch (table) {
    case SnapshotTable::kPasswd: return "passwd";
    case SnapshotTable::kShadow: return "shadow";
    default: return "group";
  }
}

}  // namespace

DbmFile openSnapshot(const std::string& path, int cacheBuckets) {
  DbmFile db(gdbm_open(path.c_str(), 0, GDBM_WRCREAT | GDBM_NOMMAP, 0600, nullptr));
  if (db.isOpen()) {
    int buckets = cacheBuckets;
    gdbm_setopt(db.get(), GDBM_SETCACHESIZE, &buckets, sizeof buckets);
  }
  return db;
}

DbmFile openSnapshotCopy(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return DbmFile();
  DbmFile db(gdbm_open(path.c_str(), 0, GDBM_READER | GDBM_NOMMAP, 0, nullptr));
  if (db.isOpen()) {
    int buckets = kReadCacheBuckets;
    gdbm_setopt(db.get(), GDBM_SETCACHESIZE, &buckets, sizeof buckets);
  }
  return db;
}

DbmFile openCommittedSnapshot(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) return DbmFile();
  return openSnapshot(path);
}

std::string committedSnapshotName(int backend, SnapshotTable table) {
  return std::string(tableStem(table)) + (backend == kNis ? ".byname.log" : ".log");
}

std::string newSnapshotName(int backend, SnapshotTable table) {
  return committedSnapshotName(backend, table) + ".tmp";
}

const char* publicationFileName(int backend) { return backend == kNis ? "nis.pub" : "files.pub"; }

namespace {

constexpr std::string_view kReferencePrefix = "file://./d.overflow/";

bool isOverflowNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

OverflowRead readWhole(int fd, std::string* record) {
  struct stat st;
  if (fd < 0) return OverflowRead::kCannotOpen;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return OverflowRead::kCannotOpen;
  }
  std::string text;
  char buffer[8192];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return OverflowRead::kCannotRead;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return OverflowRead::kCannotRead;
  *record = std::move(text);
  return OverflowRead::kOk;
}

constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// The directory itself, without the trailing slash, which would make even
// lstat and O_NOFOLLOW follow a link of that name.
constexpr const char* kOverflowDirectoryItself = "./d.overflow";

}  // namespace

bool isOverflowReference(std::string_view value) {
  if (!value.starts_with(kReferencePrefix)) return false;
  std::string_view name = value.substr(kReferencePrefix.size());
  if (name.empty() || name.front() == '.') return false;
  for (char c : name)
    if (!isOverflowNameChar(c)) return false;
  return true;
}

std::string overflowPath(std::string_view value) {
  return std::string(value.substr(kOverflowPrefix.size()));
}

std::string overflowName(std::string_view value) {
  return std::string(value.substr(kReferencePrefix.size()));
}

std::string markedInlineValue(std::string value) {
  if (value.starts_with(kOverflowPrefix)) value.insert(0, kInlineMark);
  return value;
}

OverflowRead readOverflowFile(const std::string& path, std::string* record) {
  return readWhole(::open(path.c_str(), kReadFlags), record);
}

OverflowDirectory::~OverflowDirectory() {
  if (fd_ >= 0) close(fd_);
}

int OverflowDirectory::open(bool create) {
  if (fd_ >= 0) return kOk;
  struct stat st;
  if (create && lstat(kOverflowDirectoryItself, &st) != 0) {
    if (errno != ENOENT || (mkdir(kOverflowDirectoryItself, 0755) != 0 && errno != EEXIST)) return kErrNotFound;
  }
  int fd = ::open(kOverflowDirectoryItself, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return kErrNotFound;
  // The mode the umask took away, set on the directory opened, never on a
  // link's target.
  if (create && fstat(fd, &st) == 0 && (st.st_mode & 07777) != 0755) fchmod(fd, 0755);
  fd_ = fd;
  return kOk;
}

OverflowRead OverflowDirectory::read(const std::string& name, std::string* record) const {
  if (fd_ < 0) return OverflowRead::kCannotOpen;
  return readWhole(openat(fd_, name.c_str(), kReadFlags), record);
}

int OverflowDirectory::createFile(const std::string& name, mode_t mode) const {
  if (fd_ < 0) return -1;
  return openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool OverflowDirectory::remove(const std::string& name) const {
  return fd_ >= 0 && unlinkat(fd_, name.c_str(), 0) == 0;
}

bool isMapBookkeepingKey(std::string_view key) {
  static constexpr std::string_view kKeys[] = {"YP_INPUT_NAME",    "YP_OUTPUT_NAME", "YP_MASTER_NAME",
                                               "YP_LAST_MODIFIED", "YP_SECURE",      "YP_INTERDOMAIN"};
  for (auto k : kKeys)
    if (key == k) return true;
  return false;
}

std::optional<std::size_t> accountKeyCount(GDBM_FILE db) {
  gdbm_count_t count = 0;
  if (db == nullptr || gdbm_count(db, &count) != 0) return std::nullopt;
  static constexpr std::string_view kKeys[] = {"YP_INPUT_NAME",    "YP_OUTPUT_NAME", "YP_MASTER_NAME",
                                               "YP_LAST_MODIFIED", "YP_SECURE",      "YP_INTERDOMAIN"};
  for (auto k : kKeys) {
    bool present = false;
    if (hasKey(db, k, &present) != kOk) return std::nullopt;
    if (present && count > 0) --count;
  }
  return static_cast<std::size_t>(count);
}

std::string datumText(const Datum& d) { return d.text(); }

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

int insertCachedPassword(int backend, std::string& record, int fieldNumber) {
  DbmFile cache = openPassCache(backend);
  if (!cache.isOpen()) return kErrOpen;
  std::string name = record.substr(0, record.find(':'));
  std::optional<std::string> entry;
  if (cache.fetch(name, &entry) != kOk) return kErrOpen;
  if (!entry) return kOk;
  std::vector<std::string> pieces = splitFields(*entry, ':');
  // A damaged entry without a new token must not blank the password.
  if (pieces.size() < 2 || pieces[1].empty() || fieldNumber < 1) return kOk;
  const std::string& newToken = pieces[1];

  std::vector<std::string> fields = splitFields(record, ':');
  if (fields.size() < static_cast<std::size_t>(fieldNumber)) fields.resize(fieldNumber);
  wipeString(fields[fieldNumber - 1]);
  fields[fieldNumber - 1] = newToken;
  std::string rebuilt;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) rebuilt += ':';
    rebuilt += fields[i];
  }
  wipeString(record);
  record = std::move(rebuilt);
  return kOk;
}

namespace {

// The entry's state: what follows its last colon.
std::string_view entryState(std::string_view entry) {
  auto colon = entry.rfind(':');
  return colon == std::string_view::npos ? std::string_view() : entry.substr(colon + 1);
}

bool waitingState(std::string_view state) { return state == "1" || state == "2"; }

int consumePassword(int backend, const std::string& name, bool waitingOnly, std::string* eventData) {
  DbmFile cache = openPassCache(backend);
  if (!cache.isOpen()) return kErrOpen;
  std::optional<std::string> entry;
  if (cache.fetch(name, &entry) != kOk) return kErrOpen;
  if (!entry) return kErrNoSuchAccount;
  auto state = entry->rfind(':');
  if (waitingOnly && !waitingState(entryState(*entry))) return kErrNoSuchAccount;
  std::string tokens = entry->substr(0, state == std::string::npos ? 0 : state);
  auto colon = tokens.find(':');
  std::string oldToken = tokens.substr(0, colon);
  std::string newToken = colon == std::string::npos ? std::string() : tokens.substr(colon + 1);
  *eventData = name + ":" + oldToken + "," + newToken;
  // A failing store leaves the entry waiting; a later poll publishes it again.
  cache.store(name, tokens + (waitingOnly ? ":2" : ":0"));
  wipeString(tokens);
  return kOk;
}

}  // namespace

int consumeCachedPassword(int backend, const std::string& name, std::string* eventData) {
  return consumePassword(backend, name, false, eventData);
}

int consumeWaitingPassword(int backend, const std::string& name, std::string* eventData) {
  return consumePassword(backend, name, true, eventData);
}

namespace {

bool purgeable(std::string_view entry, bool answered) {
  std::string_view state = entryState(entry);
  return state == "0" || (answered && state == "2");
}

// The names to delete, or false when the walk or a fetch failed: an entry
// not seen is not known to be unpublished.
bool collectPurgeable(GDBM_FILE db, const std::set<std::string, std::less<>>& answered,
                      std::vector<std::string>* names) {
  int fetched = kOk;
  int walked = walkMapKeys(db, [&](const Datum& key) {
    std::optional<std::string> value;
    if ((fetched = dbmFetch(db, key.text(), &value)) != kOk) return false;
    if (!value) return (fetched = kErrOpen) == kOk;  // a key the walk gave but cannot be read
    std::string name = key.text();
    if (purgeable(*value, answered.contains(name))) names->push_back(std::move(name));
    return true;
  });
  return walked == kOk && fetched == kOk;
}

}  // namespace

int purgePasswordCache(int backend, const std::vector<std::string>& answered) {
  DbmFile cache = openPassCache(backend);
  if (!cache.isOpen()) return failAt("purgePasswordCache", kErrOpen);
  // Deleting during a gdbm walk upsets the walk: collect the published
  // names first (few: one per change since the last poll), then delete.
  std::vector<std::string> published;
  if (!collectPurgeable(cache.get(), {answered.begin(), answered.end()}, &published))
    return failAt("purgePasswordCache", kErrOpen);
  for (const auto& name : published)
    if (cache.remove(name) == kErrOpen) return failAt("purgePasswordCache", kErrOpen);
  if (cache.close() != kOk) return failAt("purgePasswordCache", kErrOpen);
  return kOk;
}

PendingPasswordNames::PendingPasswordNames(int backend) {
  DbmFile cache = openPassCache(backend);
  if (!cache.isOpen()) {
    unknown_ = true;
    return;
  }
  int fetched = kOk;
  int walked = walkMapKeys(cache.get(), [&](const Datum& key) {
    names_.insert(key.text());
    std::optional<std::string> value;
    if ((fetched = cache.fetch(key.text(), &value)) != kOk) return false;
    if (waitingState(entryState(value.value_or("")))) waiting_.insert(key.text());
    return true;
  });
  // Half a list would hide a waiting change: every name may have one then.
  if (walked != kOk || fetched != kOk) {
    unknown_ = true;
    waiting_.clear();
  }
}

bool hasWaitingPassword(int backend) {
  // No store, nothing accepted: and a poll does not create one to find out.
  if (access(passCachePath(backend).c_str(), F_OK) != 0) return false;
  return PendingPasswordNames(backend).anyMayWait();
}
