#include "publisher/first_invocation.h"

#include <cstdio>
#include <optional>
#include <string>

#include "core/system_log.h"
#include "core/result.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "publisher/change_detection.h"
#include "publisher/overflow_files.h"
#include "publisher/snapshot_store.h"

int processFirstPublisherInvocation(GDBM_FILE newPasswd, GDBM_FILE newShadow, GDBM_FILE newGroup,
                                    int backend) {
  int result = kOk;
  UniqueFile publication(std::fopen(publicationFileName(backend), "a"));
  std::FILE* out = publication.get();
  if (out == nullptr) result = kErrOpen;

  if (result == kOk && newGroup != nullptr) {
    int walked = walkMapKeys(newGroup, [&](const Datum& key) {
      std::optional<std::string> record;
      if ((result = fetchValue(newGroup, datumText(key), &record)) != kOk) return false;
      if (!record) {
        result = kErrOther;
        return false;
      }
      if ((result = resolveSnapshotValue(*record, backend, SnapshotValue::kFirstPoll)) != kOk) return false;
      debugLog("pFPI, str:%s:", record->c_str());
      std::fprintf(out, "addGroup:%s\n", record->c_str());
      return true;
    });
    if (result == kOk) result = walked;
  }

  if (result == kOk && newPasswd != nullptr) {
    PendingPasswordNames pending(backend);
    OrderedLookup shadowOf(newShadow);
    int walked = walkMapKeys(newPasswd, [&](const Datum& key) {
      std::string name = key.text();
      std::optional<std::string> value;
      if ((result = fetchValue(newPasswd, name, &value)) != kOk) return false;
      if (!value) {
        result = kErrOther;
        return false;
      }
      if ((result = resolveSnapshotValue(*value, backend, SnapshotValue::kFirstPoll)) != kOk) return false;
      std::optional<std::string> shadow;
      if (newShadow != nullptr && (result = shadowOf.fetch(name, &shadow)) != kOk) return false;
      UserRecord user = makeUserRecord(*value, shadow);
      if (!writeUserLine(out, "addUser", user.text, user.passwordField, backend, pending)) {
        result = kErrOpen;
        return false;
      }
      return true;
    });
    if (result == kOk) result = walked;
  }

  int closed = publication.close();
  if (result == kOk) result = closed;
  if (result != kOk) return failAt("processFirstPublisherInvocation", result);
  return kOk;
}
