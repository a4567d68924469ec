#include "nis/queries.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "core/answer_output.h"
#include "core/dbm_file.h"
#include "core/result.h"
#include "core/run_directory.h"
#include "core/runner.h"
#include "core/scratch_file.h"
#include "core/secret.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "nis/live_map.h"
#include "core/generic_query.h"

namespace {

// The maps used to be read through a dump with makedbm into a clone: a
// query still fails where that dump would have, when makedbm is missing or
// its command line would not fit its buffer.
int dumpWouldFail(const std::string& mapPath) {
  static constexpr std::string_view kDump = "/makedbm -u ", kInto = " > ";
  std::string makedbmDir;
  int result = searchPath("makedbm", &makedbmDir);
  if (result != kOk) return result;
  const std::size_t length = makedbmDir.size() + kDump.size() + quoteBareWord(mapPath).size() +
                             kInto.size() + quoteBareWord(runScratchPath(pidName("tmpmap_"))).size();
  return length >= kCommandCapacity ? kErrArgument : kOk;
}

// The one place that names the clone and its dump in the trace: a map that
// cannot be read fails with the trace that the dump left, the runner's name
// first when the map itself could not be opened.
int cloneFailure(int result, bool unopened) {
  if (unopened) traceError("qvSystem");
  return failAt("NISBackupByClone", result);
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
  if (result != kOk) return cloneFailure(result, false);
  return openWhenThere(map, mapPath) ? kOk : cloneFailure(kErrOther, true);
}

// The shadow part of a user record: the shadow value from its first colon
// on, or the given run of colons when there is none.
std::string shadowPart(const LiveMap* shadow, std::string_view name, const char* none) {
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

std::size_t fieldCount(std::string_view value) {
  return static_cast<std::size_t>(std::count(value.begin(), value.end(), ':')) + 1;
}

std::string firstField(const std::string& value) { return value.substr(0, value.find(':')); }

// The whole account under key; false, traced under the name of the lookup
// that once read it from a copy of the map, when there is none.
bool findIdFromMap(const LiveMap& map, const std::string& key, std::string* record) {
  record->clear();
  std::optional<std::string> value;
  if (map.account(key, &value) != kOk || !value) return failAt("findIdFromMap", false);
  record->swap(*value);
  return true;
}

// Every account of a map in the map's own order (a listing's order is no
// contract), each given to visit with its value; bookkeeping entries are
// skipped. 0, or -1 (traced as the clone's failure) when the map cannot be
// read.
template <typename Visit>
int walkAccounts(const LiveMap& map, Visit visit) {
  int read = kOk;
  const int walked = walkAllKeys(map.get(), [&](std::string_view key) {
    std::optional<std::string> value;
    if ((read = map.account(key, &value)) != kOk) return false;
    if (!value) return true;
    const bool more = visit(key, *value);
    wipeString(*value);
    return more;
  });
  if (walked != kOk || read != kOk) return cloneFailure(kErrOpen, false);
  return kOk;
}

// A user query that no lookup answered: every user of passwd.byname, joined
// with its shadow entry, matched by the generic query. A map without
// accounts fails with -11.
int listUsers(EventRecord& record) {
  const std::string& mapDir = *record.mapDir;
  LiveMap passwd, shadow;
  int result = openMap(passwd, mapDir + "/passwd.byname");
  if (result == kOk && !record.noShadow) result = openMap(shadow, mapDir + "/shadow.byname");
  if (result != kOk) return result;
  RecordAnswer answer;
  if ((result = startUserAnswer(record, &answer)) != kOk) return result;
  bool any = false;
  SecretString line;
  result = walkAccounts(passwd, [&](std::string_view key, const std::string& value) {
    any = true;
    // The record begins with the passwd value's fields: one they fail
    // needs no shadow lookup.
    if (!answer.pattern.matches(value, fieldCount(value))) return true;
    wipeString(line.text);
    line.text = value + shadowPart(record.noShadow ? nullptr : &shadow, key, ":::::::");
    return answerRecord(answer, line.text);
  });
  if (result == kOk && !any) result = kErrOther;
  if (result != kOk) return result;
  return finishAnswer(answer);
}

// The same for groups, from group.byname; a map without groups answers
// nothing.
int listGroups(EventRecord& record) {
  LiveMap groups;
  int result = openMap(groups, *record.mapDir + "/group.byname");
  if (result != kOk) return result;
  RecordAnswer answer;
  if ((result = startGroupAnswer(record, &answer)) != kOk) return result;
  result = walkAccounts(groups, [&](std::string_view, const std::string& value) {
    return answerRecord(answer, value);
  });
  if (result != kOk) return result;
  return finishAnswer(answer);
}

}  // namespace

int nisUserNameQuery(EventRecord& record, const char* mapName, int keyField) {
  if (!record.mapDir) return failAt("nisUserNameQuery", kErrOther);
  const std::string& mapDir = *record.mapDir;
  LiveMap map;
  int result = openMap(map, mapDir + mapName);
  if (result != kOk) return failAt("nisUserNameQuery", result);
  std::string value;
  if (!findIdFromMap(map, record.field(keyField), &value))
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
  if (!findIdFromMap(map, record.field(keyField), &value))
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
