#include "publisher/change_detection.h"

#include <cstdio>
#include <vector>

#include "core/dbm_file.h"
#include "core/event_record.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "core/field_merge.h"

namespace {

constexpr std::size_t kUserFields = 15;
constexpr std::size_t kPasswdFields = 7;
constexpr std::size_t kGroupFields = 4;

std::size_t countFields(const std::string& text) {
  std::size_t n = 1;
  for (char c : text) n += c == ':';
  return n;
}

void padFields(std::string& text, std::size_t wanted) {
  for (std::size_t n = countFields(text); n < wanted; ++n) text += ':';
}

// The record's fields, cut or padded to the layout's count (extra fields
// are dropped, as the event parser drops them).
std::vector<std::string> layoutFields(const std::string& record, std::size_t count) {
  std::vector<std::string> fields = splitFields(record, ':');
  fields.resize(count);
  return fields;
}

std::string join(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ':';
    out += fields[i];
  }
  return out;
}

}  // namespace

UserRecord makeUserRecord(const std::string& passwdValue, const std::optional<std::string>& shadowValue) {
  UserRecord user;
  user.text = passwdValue;
  padFields(user.text, kPasswdFields);
  if (shadowValue) {
    auto colon = shadowValue->find(':');
    if (colon != std::string::npos) user.text.append(*shadowValue, colon);
    user.passwordField = 2;
  } else {
    user.text += "::::::::";
    user.passwordField = 8;
  }
  padFields(user.text, kUserFields);
  return user;
}

std::string diffUserRecords(const std::string& newRecord, const std::string& oldRecord) {
  std::vector<std::string> fresh = layoutFields(newRecord, kUserFields);
  std::vector<std::string> old = layoutFields(oldRecord, kUserFields);
  for (std::size_t i = 1; i < kUserFields; ++i) diffField(fresh[i], old[i]);
  std::string line = "modifyUser:" + join(fresh);
  for (auto& f : fresh) wipeString(f);
  for (auto& f : old) wipeString(f);
  return line;
}

std::string diffGroupRecords(const std::string& newRecord, const std::string& oldRecord) {
  std::vector<std::string> fresh = layoutFields(newRecord, kGroupFields);
  std::vector<std::string> old = layoutFields(oldRecord, kGroupFields);
  for (std::size_t i = 1; i < kGroupFields; ++i) diffField(fresh[i], old[i]);
  return "modifyGroup:" + join(fresh);
}

bool writeUserLine(const EventLineWriter& write, const char* command, std::string& data, int passwordField,
                   int backend, const PendingPasswordNames* pending, bool strict) {
  std::string name = data.substr(0, data.find(':'));
  if (pending != nullptr && !pending->mayHave(name)) return write(command, data);
  int inserted = insertCachedPassword(backend, data, passwordField);
  if (inserted != kOk && strict) return false;
  if (!write(command, data)) return false;
  if (inserted != kOk) return true;
  std::string eventData;
  int consumed = consumeCachedPassword(backend, name, &eventData);
  bool written = consumed != kOk || write("modifyPassword", eventData);
  if (strict && consumed != kOk && consumed != kErrNoSuchAccount) written = false;
  wipeString(eventData);
  return written;
}

bool writeUserLine(std::FILE* out, const char* command, std::string& data, int passwordField, int backend,
                   const PendingPasswordNames& pending) {
  auto print = [out](const char* word, const std::string& text) {
    return std::fprintf(out, "%s:%s\n", word, text.c_str()) >= 0;
  };
  return writeUserLine(print, command, data, passwordField, backend, &pending, false);
}

namespace {

// The deletion lines: every committed account that the new snapshot lacks,
// in the committed walk order. kept is how many committed accounts the walk
// over the new snapshot found; when that is all of them, none went and the
// walk is spared. The lines may follow the others in the file: the printing
// puts deletions first.
int publishDeletions(std::FILE* out, const char* command, GDBM_FILE committed, GDBM_FILE fresh, std::size_t kept) {
  std::optional<std::size_t> count = accountKeyCount(committed);
  if (count && *count == kept) return kOk;
  OrderedLookup inNew(fresh);
  int looked = kOk;
  int walked = walkMapKeys(committed, [&](const Datum& key) {
    bool present = false;
    if ((looked = inNew.contains(datumText(key), &present)) != kOk) return false;
    if (!present) std::fprintf(out, "%s:%s\n", command, key.text().c_str());
    return true;
  });
  return walked != kOk ? walked : looked;
}

}  // namespace

int processIncrementalGroupChanges(GDBM_FILE newGroup, int backend) {
  int result = kOk;
  UniqueFile publication(std::fopen(publicationFileName(backend), "w"));
  std::FILE* out = publication.get();
  DbmFile committed = openCommittedSnapshot(committedSnapshotName(backend, kGroupTable));
  if (out == nullptr || !committed.isOpen()) {
    result = kErrOpen;
  } else {
    std::size_t kept = 0;
    OrderedLookup inCommitted(committed.get());
    int walked = walkMapKeys(newGroup, [&](const Datum& key) {
      std::string name = key.text();
      std::optional<std::string> fresh;
      if ((result = fetchValue(newGroup, name, &fresh)) != kOk) return false;
      if (!fresh) {
        result = kErrOther;
        return false;
      }
      bool reference = backend != kNis && isOverflowReference(*fresh);
      if ((result = resolveSnapshotValue(*fresh, backend, SnapshotValue::kNew)) != kOk) return false;
      if (reference) debugLog("pIGC, string:%s:", fresh->c_str());
      std::optional<std::string> old;
      if ((result = inCommitted.fetch(name, &old)) != kOk) return false;
      if (!old) {
        std::fprintf(out, "addGroup:%s\n", fresh->c_str());
        return true;
      }
      ++kept;
      if ((result = resolveSnapshotValue(*old, backend, SnapshotValue::kCommitted)) != kOk) return false;
      if (*fresh != *old) std::fprintf(out, "%s\n", diffGroupRecords(*fresh, *old).c_str());
      return true;
    });
    if (result == kOk) result = walked;
    if (result == kOk) result = publishDeletions(out, "deleteGroup", committed.get(), newGroup, kept);
  }
  int closed = publication.close();
  if (result == kOk) result = closed;
  if (result != kOk) return failAt("processIncrementalGroupChanges", result);
  return kOk;
}

namespace {

// What the comparison of the users reads, each lookup in step with the walk
// over the new passwd snapshot.
struct UserComparison {
  std::FILE* out;
  int backend;
  GDBM_FILE newPasswd;
  GDBM_FILE newShadow;
  OrderedLookup shadowOf;
  OrderedLookup committedOf;
  OrderedLookup committedShadowOf;
  PendingPasswordNames pending;
  std::size_t kept = 0;
};

// One account of the new snapshot against its committed self: an addition,
// a modification or nothing.
int compareUser(UserComparison& c, const std::string& name) {
  std::optional<std::string> fresh;
  int result = fetchValue(c.newPasswd, name, &fresh);
  if (result != kOk) return result;
  if (!fresh) return kErrOther;
  // Long lines are compared and published whole, never as references.
  if ((result = resolveSnapshotValue(*fresh, c.backend, SnapshotValue::kNew)) != kOk) return result;
  std::optional<std::string> freshShadow;
  if (c.newShadow != nullptr && (result = c.shadowOf.fetch(name, &freshShadow)) != kOk) return result;
  UserRecord freshUser = makeUserRecord(*fresh, freshShadow);

  std::optional<std::string> old;
  if ((result = c.committedOf.fetch(name, &old)) != kOk) return result;
  if (!old) {
    bool written = writeUserLine(c.out, "addUser", freshUser.text, freshUser.passwordField, c.backend, c.pending);
    return written ? kOk : kErrOpen;
  }
  ++c.kept;
  if ((result = resolveSnapshotValue(*old, c.backend, SnapshotValue::kCommitted)) != kOk) return result;
  std::optional<std::string> oldShadow;
  if (c.newShadow != nullptr && (result = c.committedShadowOf.fetch(name, &oldShadow)) != kOk) return result;
  UserRecord oldUser = makeUserRecord(*old, oldShadow);
  if (freshUser.text == oldUser.text) return kOk;
  std::string line = diffUserRecords(freshUser.text, oldUser.text);
  std::string difference = line.substr(line.find(':') + 1);
  wipeString(line);
  bool written = writeUserLine(c.out, "modifyUser", difference, oldUser.passwordField, c.backend, c.pending);
  wipeString(difference);
  return written ? kOk : kErrOpen;
}

}  // namespace

int processIncrementalUserChanges(GDBM_FILE newPasswd, GDBM_FILE newShadow, int backend) {
  int result = kOk;
  UniqueFile publication(std::fopen(publicationFileName(backend), "a"));
  std::FILE* out = publication.get();
  DbmFile committed = openCommittedSnapshot(committedSnapshotName(backend, kPasswdTable));
  DbmFile committedShadow;
  if (out == nullptr || !committed.isOpen()) {
    result = kErrOpen;
  } else if (newShadow != nullptr) {
    committedShadow = openCommittedSnapshot(committedSnapshotName(backend, kShadowTable));
    if (!committedShadow.isOpen()) result = kErrOpen;
  }
  if (result == kOk) {
    UserComparison c{out,
                     backend,
                     newPasswd,
                     newShadow,
                     OrderedLookup(newShadow),
                     OrderedLookup(committed.get()),
                     OrderedLookup(committedShadow.get()),
                     PendingPasswordNames(backend)};
    int walked = walkMapKeys(newPasswd, [&](const Datum& key) { return (result = compareUser(c, key.text())) == kOk; });
    if (result == kOk) result = walked;
    if (result == kOk) result = publishDeletions(out, "deleteUser", committed.get(), newPasswd, c.kept);
  }
  int closed = publication.close();
  if (result == kOk) result = closed;
  if (result != kOk) return failAt("processIncrementalUserChanges", result);
  return kOk;
}

int publishWaitingPasswords(GDBM_FILE newPasswd, int backend, std::vector<std::string>* answered) {
  if (!hasWaitingPassword(backend)) return kOk;
  // A store that cannot be read now is looked at again by the next poll.
  PendingPasswordNames pending(backend);
  UniqueFile publication(std::fopen(publicationFileName(backend), "a"));
  std::FILE* out = publication.get();
  if (out == nullptr) return failAt("publishWaitingPasswords", kErrOpen);
  bool written = true;
  for (const std::string& name : pending.waiting()) {
    std::string eventData;
    bool present = false;
    if (hasKey(newPasswd, name, &present) != kOk) written = false;
    if (present && consumeWaitingPassword(backend, name, &eventData) == kOk) {
      written = std::fprintf(out, "modifyPassword:%s\n", eventData.c_str()) >= 0 && written;
      answered->push_back(name);
    }
    wipeString(eventData);
  }
  int closed = publication.close();
  return written && closed == kOk ? kOk : failAt("publishWaitingPasswords", kErrOpen);
}
