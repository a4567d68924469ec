#include "password/pending_password_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/event_record.h"
#include "core/map_keys.h"
#include "core/result.h"
#include "core/trace.h"

const char* passCacheName(int backend) {
  switch (backend) {
    case kFiles: return ".nis_files_pass";
    case kNis: return ".nis_yp_pass";
    default: return ".nisplus__pass";
  }
}

std::string passCachePath(int backend) { return std::string(kStateDirectory) + passCacheName(backend); }

namespace {

// A missing store is made whole in a file without a name and only then
// linked in: gdbm leaves a file with a cut header when its creation fails
// or is cut short, and no later open gets past that header. Nothing is left
// behind by a run killed meanwhile, and a link, unlike a rename, never
// replaces a store that another run made in the meantime.
int createPassCache(const std::string& path) {
  int fd = ::open(kStateDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return kErrOpen;
  DbmFile made = DbmFile::openDescriptor(fd, path, GDBM_NEWDB);
  if (!made.isOpen()) return kErrOpen;
  if (gdbm_sync(made.get()) != 0 || fsync(fd) != 0) return kErrOpen;
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, name.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0 && errno != EEXIST)
    return kErrOpen;
  return made.close();
}

}  // namespace

DbmFile openPassCache(int backend) {
  const std::string path = passCachePath(backend);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT && createPassCache(path) != kOk) return DbmFile();
  return DbmFile::open(path);
}

PendingPassword::~PendingPassword() {
  wipeString(oldToken);
  wipeString(newToken);
}

PendingPassword parsePendingPassword(std::string_view value) {
  PendingPassword entry;
  auto last = value.rfind(':');
  if (last == std::string_view::npos) return entry;
  entry.state = value.substr(last + 1);
  std::string_view tokens = value.substr(0, last);
  auto first = tokens.find(':');
  entry.oldToken = tokens.substr(0, first);
  if (first != std::string_view::npos) entry.newToken = tokens.substr(first + 1);
  return entry;
}

std::string pendingPasswordText(const PendingPassword& entry) {
  return entry.oldToken + ":" + entry.newToken + ":" + entry.state;
}

int loadPendingPassword(const DbmFile& store, std::string_view name, std::optional<PendingPassword>* entry) {
  entry->reset();
  std::optional<std::string> value;
  if (store.fetch(name, &value) != kOk) return kErrOpen;
  if (value) entry->emplace(parsePendingPassword(*value));
  if (value) wipeString(*value);
  return kOk;
}

int recordPendingPassword(DbmFile& store, std::string_view name, const PendingPassword& entry) {
  std::string value = pendingPasswordText(entry);
  int stored = store.store(name, value);
  wipeString(value);
  return stored;
}

int storePendingPassword(int backend, const std::string& name, std::string oldToken, const std::string& newToken) {
  DbmFile cache = openPassCache(backend);
  if (!cache.isOpen()) return kErrOpen;
  if (oldToken.empty()) {
    std::optional<PendingPassword> earlier;
    if (loadPendingPassword(cache, name, &earlier) != kOk) return kErrOpen;
    if (earlier) oldToken = earlier->newToken;
  }
  if (recordPendingPassword(cache, name, {oldToken, newToken, "1"}) != kOk) return kErrOpen;
  return cache.close();
}

int insertCachedPassword(int backend, std::string& record, int fieldNumber) {
  DbmFile cache = openPassCache(backend);
  if (!cache.isOpen()) return kErrOpen;
  std::optional<PendingPassword> entry;
  if (loadPendingPassword(cache, record.substr(0, record.find(':')), &entry) != kOk) return kErrOpen;
  // A damaged entry without a new token must not blank the password.
  if (!entry || entry->newToken.empty() || fieldNumber < 1) return kOk;

  std::vector<std::string> fields = splitFields(record, ':');
  if (fields.size() < static_cast<std::size_t>(fieldNumber)) fields.resize(fieldNumber);
  wipeString(fields[fieldNumber - 1]);
  fields[fieldNumber - 1] = entry->newToken;
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

int consumePassword(int backend, const std::string& name, bool waitingOnly, std::string* eventData) {
  DbmFile cache = openPassCache(backend);
  if (!cache.isOpen()) return kErrOpen;
  std::optional<PendingPassword> entry;
  if (loadPendingPassword(cache, name, &entry) != kOk) return kErrOpen;
  if (!entry || (waitingOnly && !entry->waiting())) return kErrNoSuchAccount;
  *eventData = name + ":" + entry->oldToken + "," + entry->newToken;
  // A failing store leaves the entry waiting; a later poll publishes it again.
  entry->state = waitingOnly ? "2" : "0";
  recordPendingPassword(cache, name, *entry);
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

// The names to delete, or false when the walk or a fetch failed: an entry
// not seen is not known to be unpublished.
bool collectPurgeable(const DbmFile& cache, const std::set<std::string, std::less<>>& answered,
                      std::vector<std::string>* names) {
  int fetched = kOk;
  int walked = walkMapKeys(cache.get(), [&](const Datum& key) {
    std::string name = key.text();
    std::optional<PendingPassword> entry;
    if ((fetched = loadPendingPassword(cache, name, &entry)) != kOk) return false;
    if (!entry) return (fetched = kErrOpen) == kOk;  // a key the walk gave but cannot be read
    if (entry->state == "0" || (entry->state == "2" && answered.contains(name))) names->push_back(std::move(name));
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
  if (!collectPurgeable(cache, {answered.begin(), answered.end()}, &published))
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
    std::optional<PendingPassword> entry;
    if ((fetched = loadPendingPassword(cache, key.text(), &entry)) != kOk) return false;
    if (entry && entry->waiting()) waiting_.insert(key.text());
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
