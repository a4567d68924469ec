#include "nis/queries.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <gdbm.h>
#include <memory>
#include <string>

#include "core/dbm_file.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "core/scratch_file.h"
#include "nis/user_commands.h"
#include "publisher/generic_query.h"
#include "publisher/nis_poll.h"

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

// A private copy of one map, made in the working directory (never beside
// the map, where the server would hand it out without the map's secure
// flag) under the map's name and the process id, registered for the SIGTERM
// handler and removed with the guard. The live map is never held open while
// make rebuilds it.
struct MapClone {
  explicit MapClone(const std::string& mapPath)
      : file(mapPath.substr(mapPath.rfind('/') + 1) + ".tmpmap" + std::to_string(getpid())) {}
  // 0, the clone's own failure, or the open failure.
  int make(const std::string& mapPath, bool mayBeMissing) {
    // Made afresh first: anything planted under the name makes it fail.
    if (file.create() != kOk) return kErrOpen;
    // A shadow map that does not exist answers as one without entries; a
    // map that exists but cannot be read is an error like any other.
    if (!(mayBeMissing && fileMtime(mapPath) == -2)) {
      int result = NISBackupByClone(mapPath, file.path());
      if (result != kOk) return result;
    }
    db = DbmFile::open(file.path());
    return db.isOpen() ? kOk : mapOpenFailure();
  }
  ScratchFile file;
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
  ScratchFile file;
  File stream{nullptr, std::fclose};  // closed before the file is removed
};

int done(const char* routine, int result) {
  if (result != kOk) traceError(routine);
  return result;
}

// The shadow part of a user record: the shadow value from its first colon
// on, or the given run of colons when there is none.
std::string shadowPart(const DbmFile* shadow, const std::string& name, const char* none) {
  if (shadow != nullptr) {
    std::optional<std::string> value = shadow->fetch(name);
    if (value) {
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

}  // namespace

int mapOpenFailure() {
  if (gdbm_errno == GDBM_CANT_BE_WRITER) {
    std::fputs("Unable to acquire lock on dbm map\n", stderr);
    return kErrMapLock;
  }
  return kErrOpen;
}

int nisUserNameQuery(EventRecord& record, const char* mapName, int keyField) {
  if (!record.mapDir) return done("nisUserNameQuery", kErrOther);
  const std::string& mapDir = *record.mapDir;
  MapClone map(mapDir + mapName);
  int result = map.make(mapDir + mapName, false);
  if (result != kOk) return done("nisUserNameQuery", result);
  std::string value, id;
  if (!findIdFromMap(map.db, record.field(keyField), &value, &id))
    return done("nisUserNameQuery", kErrNoSuchAccount);
  if (record.noShadow) {
    value += "::::::::";
  } else {
    MapClone shadow(mapDir + "/shadow.byname");
    result = shadow.make(mapDir + "/shadow.byname", true);
    if (result != kOk) return done("nisUserNameQuery", result);
    value += shadowPart(&shadow.db, firstField(value), "::::::::");
  }
  std::printf("instanceUser:%s\n", value.c_str());
  std::fflush(stdout);
  wipeString(value);
  return kOk;
}

int nisUserQuery(EventRecord& record) {
  if (!record.mapDir) return done("nisUserQuery", kErrOther);
  QueryKind kind = classifyUserQuery(record);
  if (kind.byName || kind.byId) {
    int result = kind.byName ? nisUserNameQuery(record, "/passwd.byname", kName)
                             : nisUserNameQuery(record, "/passwd.byuid", kUid);
    if (result != kErrNoSuchAccount) return done("nisUserQuery", result);
  }
  const std::string& mapDir = *record.mapDir;
  MapClone passwd(mapDir + "/passwd.byname");
  int result = passwd.make(mapDir + "/passwd.byname", false);
  if (result != kOk) return done("nisUserQuery", result);
  std::unique_ptr<MapClone> shadow;
  if (!record.noShadow) {
    shadow = std::make_unique<MapClone>(mapDir + "/shadow.byname");
    result = shadow->make(mapDir + "/shadow.byname", true);
    if (result != kOk) return done("nisUserQuery", result);
  }
  Listing listing("quser.nis");
  if (listing.open() != kOk) return done("nisUserQuery", kErrOpen);

  Datum key(gdbm_firstkey(passwd.db.get()));
  if (key.empty()) return done("nisUserQuery", kErrOther);
  for (; !key.empty(); key = Datum(gdbm_nextkey(passwd.db.get(), key.d))) {
    std::optional<std::string> value = passwd.db.fetch(key.text());
    if (!value) return done("nisUserQuery", kErrOther);
    std::string line = *value + shadowPart(shadow ? &shadow->db : nullptr, key.text(), ":::::::");
    std::fprintf(listing.stream.get(), "%s\n", line.c_str());
    wipeString(line);
    wipeString(*value);
  }
  if (!listing.flush()) return done("nisUserQuery", kErrOpen);
  return done("nisUserQuery", genericUserQuery(record, listing.file.path()));
}

int nisGroupNameQuery(EventRecord& record, const char* mapName, int keyField) {
  if (!record.mapDir) return done("nisGroupNameQuery", kErrOther);
  MapClone map(*record.mapDir + mapName);
  int result = map.make(*record.mapDir + mapName, false);
  if (result != kOk) return done("nisGroupNameQuery", result);
  std::string value, id;
  if (!findIdFromMap(map.db, record.field(keyField), &value, &id))
    return done("nisGroupNameQuery", kErrNoSuchAccount);
  std::printf("instanceGroup:%s\n", value.c_str());
  std::fflush(stdout);
  return kOk;
}

int nisGroupQuery(EventRecord& record) {
  if (!record.mapDir) return done("nisGroupQuery", kErrOther);
  QueryKind kind = classifyGroupQuery(record);
  if (kind.byName || kind.byId) {
    int result = kind.byName ? nisGroupNameQuery(record, "/group.byname", kName)
                             : nisGroupNameQuery(record, "/group.bygid", kGid);
    if (result != kErrNoSuchAccount) return done("nisGroupQuery", result);
  }
  const std::string& mapDir = *record.mapDir;
  MapClone group(mapDir + "/group.byname");
  int result = group.make(mapDir + "/group.byname", false);
  if (result != kOk) return done("nisGroupQuery", result);
  Listing listing("qgroup.nis");
  if (listing.open() != kOk) return done("nisGroupQuery", kErrOpen);
  for (Datum key(gdbm_firstkey(group.db.get())); !key.empty();
       key = Datum(gdbm_nextkey(group.db.get(), key.d))) {
    std::optional<std::string> value = group.db.fetch(key.text());
    if (!value) return done("nisGroupQuery", mapOpenFailure());
    std::fprintf(listing.stream.get(), "%s\n", value->c_str());
  }
  if (!listing.flush()) return done("nisGroupQuery", kErrOpen);
  return done("nisGroupQuery", genericGroupQuery(record, listing.file.path()));
}
