#include "nis/queries.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <gdbm.h>
#include <memory>
#include <string>

#include "core/answer_output.h"
#include "core/dbm_file.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "core/run_directory.h"
#include "core/scratch_file.h"
#include "nis/live_map.h"
#include "core/map_keys.h"
#include "publisher/generic_query.h"

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

// A map that cannot be read fails as a dump of it with makedbm would: the
// tool missing, a command line too long for its buffer, or the dump itself
// failing.
int dumpWouldFail(const std::string& mapPath) {
  std::string makedbmDir;
  int result = searchPath("makedbm", &makedbmDir);
  if (result != kOk) return result;
  std::string command = makedbmDir + "/makedbm -u " + quoteBareWord(mapPath) + " > " +
                        quoteBareWord(runScratchPath(pidName("tmpmap_")));
  return command.size() >= kCommandCapacity ? kErrArgument : kOk;
}

// Opened once it is there: a map missing for a rebuild is waited for, also
// when it goes again between the wait and the open. One that stays missing
// or cannot be read fails the query; it never answers as a map without
// accounts.
bool openWhenThere(LiveMap& map, const std::string& mapPath) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!awaitMap(mapPath)) return false;
    if (map.open(mapPath) == kOk) return true;
  }
  return false;
}

int openMap(LiveMap& map, const std::string& mapPath) {
  int result = dumpWouldFail(mapPath);
  if (result == kOk && !openWhenThere(map, mapPath)) result = failAt("qvSystem", kErrOther);
  return result == kOk ? kOk : failAt("NISBackupByClone", result);
}

// The order in which a listing names the accounts: that of a gdbm database
// made afresh by storing the map's accounts in the map's own order. It holds
// the keys alone (the bucket layout, and so the walk, does not depend on the
// values); the values are fetched from the map. Made in this run's
// directory under the map's name and the process id, registered for the
// SIGTERM handler and removed with the guard.
struct ListingOrder {
  explicit ListingOrder(const char* mapName)
      : file(std::string(mapName + 1) + ".tmpmap" + std::to_string(getpid())) {}
  // 0, or -1 when the file cannot be made afresh (anything planted under the
  // name makes it fail).
  int create() { return file.open(); }
  // 0, the failing store's status, or the open failure. The database is
  // opened on the descriptor made with the file, never again by its name.
  int fill(const LiveMap& map) {
    int fd = fcntl(file.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0)
      db = DbmFile(gdbm_fd_open(fd, file.c_str(), 0, GDBM_WRCREAT | GDBM_NOMMAP | GDBM_CLOERROR,
                                nullptr));
    if (!db.isOpen()) return mapOpenFailure();
    int buckets = kBuildCacheBuckets;
    gdbm_setopt(db.get(), GDBM_SETCACHESIZE, &buckets, sizeof buckets);
    int status = kOk;
    int walked = walkAllKeys(map.get(), [&](std::string_view name) {
      std::optional<std::string> value;
      if ((status = map.account(name, &value)) != kOk || !value) return status == kOk;
      wipeString(*value);
      return (status = db.store(name, "")) == kOk;
    });
    if (walked != kOk || status != kOk) return failAt("NISBackupByClone", walked != kOk ? walked : status);
    return kOk;
  }
  RunScratchFile file;
  DbmFile db;  // closed before the file is removed: declared after it
};

// A listing file, made afresh and written through its own descriptor.
struct Listing {
  explicit Listing(const char* name) : file(name) {}
  int open() {
    if (file.open() != kOk) return kErrOpen;
    int fd = fcntl(file.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) stream.reset(fdopen(fd, "w"));
    if (!stream && fd >= 0) close(fd);
    return stream ? kOk : kErrOpen;
  }
  // The listing must be complete before the query reads it.
  bool flush() { return std::fflush(stream.get()) == 0 && !std::ferror(stream.get()); }
  RunScratchFile file;
  File stream{nullptr, std::fclose};  // closed before the file is removed
};

// The maps one listing reads, and its order; the maps are closed before the
// listing is handed to awk.
struct ListingSource {
  ListingSource(const std::string& dir, const char* name) : mapDir(dir), mapName(name), order(name) {}
  // 0, or the failure of making the order, opening the map or filling the
  // order from it.
  int open() {
    int result = order.create();
    if (result == kOk) result = openMap(map, mapDir + mapName);
    if (result == kOk) result = order.fill(map);
    return result;
  }
  const std::string mapDir;
  const char* const mapName;
  ListingOrder order;
  LiveMap map;
  LiveMap shadow;
};

// The shadow part of a user record: the shadow value from its first colon
// on, or the given run of colons when there is none.
std::string shadowPart(const LiveMap* shadow, const std::string& name, const char* none) {
  if (shadow != nullptr) {
    std::optional<std::string> value;
    if (shadow->account(name, &value) == kOk && value) {
      auto colon = value->find(':');
      std::string part = none;
      if (colon != std::string::npos) part.assign(*value, colon);
      wipeString(*value);
      return part;
    }
  }
  return none;
}

std::string firstField(const std::string& value) { return value.substr(0, value.find(':')); }

// The whole account under key (false, traced as a lookup in a copy of the
// map is, when there is none).
bool findAccount(const LiveMap& map, const std::string& key, std::string* record) {
  record->clear();
  std::optional<std::string> value;
  if (map.account(key, &value) != kOk || !value) return failAt("findIdFromMap", false);
  record->swap(*value);
  return true;
}

// Every account of passwd.byname, in listing order, joined with its shadow
// entry, one line each into the listing.
int writeUserListing(const ListingSource& source, bool noShadow, Listing& listing) {
  int result = kOk, lines = 0;
  int walked = walkAllKeys(source.order.db.get(), [&](std::string_view key) {
    std::optional<std::string> value;
    if (source.map.account(key, &value) != kOk || !value) return (result = kErrOther) == kOk;
    std::string line =
        *value + shadowPart(noShadow ? nullptr : &source.shadow, std::string(key), ":::::::");
    std::fprintf(listing.stream.get(), "%s\n", line.c_str());
    ++lines;
    wipeString(line);
    wipeString(*value);
    return true;
  });
  if (walked != kOk || result != kOk || lines == 0) return kErrOther;
  return listing.flush() ? kOk : kErrOpen;
}

// Every group of group.byname, in listing order, one line each.
int writeGroupListing(const ListingSource& source, Listing& listing) {
  bool missing = false;
  int walked = walkAllKeys(source.order.db.get(), [&](std::string_view key) {
    std::optional<std::string> value;
    if (source.map.account(key, &value) != kOk || !value) return !(missing = true);
    std::fprintf(listing.stream.get(), "%s\n", value->c_str());
    return true;
  });
  if (walked != kOk) return kErrOther;
  if (missing) return mapOpenFailure();
  return listing.flush() ? kOk : kErrOpen;
}

// A user query that no lookup answered: every user written to "quser.nis"
// and matched by the generic query.
int listUsers(EventRecord& record) {
  ListingSource source(*record.mapDir, "/passwd.byname");
  int result = source.open();
  if (result != kOk) return result;
  if (!record.noShadow) {
    result = openMap(source.shadow, source.mapDir + "/shadow.byname");
    if (result != kOk) return result;
  }
  Listing listing("quser.nis");
  if (listing.open() != kOk) return kErrOpen;
  result = writeUserListing(source, record.noShadow, listing);
  if (result != kOk) return result;
  source.map.close();
  source.shadow.close();
  return genericUserQuery(record, listing.file.path());
}

// The same for groups, through "qgroup.nis".
int listGroups(EventRecord& record) {
  ListingSource source(*record.mapDir, "/group.byname");
  int result = source.open();
  if (result != kOk) return result;
  Listing listing("qgroup.nis");
  if (listing.open() != kOk) return kErrOpen;
  result = writeGroupListing(source, listing);
  if (result != kOk) return result;
  source.map.close();
  return genericGroupQuery(record, listing.file.path());
}

}  // namespace

int mapOpenFailure() {
  if (gdbm_errno == GDBM_CANT_BE_WRITER) {
    std::fputs("Unable to acquire lock on dbm map\n", stderr);
    return kErrMapLock;
  }
  return kErrOpen;
}

int nisUserNameQuery(EventRecord& record, const char* mapName, int keyField) {
  if (!record.mapDir) return failAt("nisUserNameQuery", kErrOther);
  const std::string& mapDir = *record.mapDir;
  LiveMap map;
  int result = openMap(map, mapDir + mapName);
  if (result != kOk) return failAt("nisUserNameQuery", result);
  std::string value;
  if (!findAccount(map, record.field(keyField), &value))
    return failAt("nisUserNameQuery", kErrNoSuchAccount);
  if (record.noShadow) {
    value += "::::::::";
  } else {
    LiveMap shadow;
    result = openMap(shadow, mapDir + "/shadow.byname");
    if (result != kOk) return failAt("nisUserNameQuery", result);
    value += shadowPart(&shadow, firstField(value), "::::::::");
  }
  // The awk that answered before failed with -3 on a short write: so does this.
  result = answerLine("instanceUser:", value) && flushAnswer() == kOk ? kOk : kErrArgument;
  wipeString(value);
  if (result != kOk) return failAt("nisUserNameQuery", result);
  return kOk;
}

int nisUserQuery(EventRecord& record) {
  if (!record.mapDir) return failAt("nisUserQuery", kErrOther);
  QueryKind kind = classifyUserQuery(record);
  if (kind.byName || kind.byId) {
    int result = kind.byName ? nisUserNameQuery(record, "/passwd.byname", kName)
                             : nisUserNameQuery(record, "/passwd.byuid", kUid);
    if (result == kOk) return kOk;
    if (result != kErrNoSuchAccount) return failAt("nisUserQuery", result);
  }
  int result = listUsers(record);
  return result == kOk ? kOk : failAt("nisUserQuery", result);
}

int nisGroupNameQuery(EventRecord& record, const char* mapName, int keyField) {
  if (!record.mapDir) return failAt("nisGroupNameQuery", kErrOther);
  LiveMap map;
  int result = openMap(map, *record.mapDir + mapName);
  if (result != kOk) return failAt("nisGroupNameQuery", result);
  std::string value;
  if (!findAccount(map, record.field(keyField), &value))
    return failAt("nisGroupNameQuery", kErrNoSuchAccount);
  if (!answerLine("instanceGroup:", value) || flushAnswer() != kOk) return failAt("nisGroupNameQuery", kErrArgument);
  return kOk;
}

int nisGroupQuery(EventRecord& record) {
  if (!record.mapDir) return failAt("nisGroupQuery", kErrOther);
  QueryKind kind = classifyGroupQuery(record);
  if (kind.byName || kind.byId) {
    int result = kind.byName ? nisGroupNameQuery(record, "/group.byname", kName)
                             : nisGroupNameQuery(record, "/group.bygid", kGid);
    if (result == kOk) return kOk;
    if (result != kErrNoSuchAccount) return failAt("nisGroupQuery", result);
  }
  int result = listGroups(record);
  return result == kOk ? kOk : failAt("nisGroupQuery", result);
}
