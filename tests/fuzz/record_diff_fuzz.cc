// The difference of two user or group records and its merge back on the
// subscriber side: merging the difference into the old record gives the new
// one, field for field.
//
// One value cannot travel: a field that becomes literally "*" is sent as
// "*", which the convention reads as "set to empty". Such fields are left out
// of the comparison (the engine's convention, not something to fix here).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/event_record.h"
#include "core/result.h"
#include "fuzz_support.h"
#include "publisher/change_detection.h"
#include "core/field_merge.h"

namespace {

std::vector<std::string> layout(const std::string& text, std::size_t count) {
  std::vector<std::string> parts = splitFields(text, ':');
  parts.resize(count);
  return parts;
}

std::string join(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? ":" : "") + fields[i];
  return out;
}

void checkUsers(const std::string& fresh, const std::string& old) {
  const std::string line = diffUserRecords(fresh, old);
  if (line.rfind("modifyUser:", 0) != 0) fuzzFail("user difference", "modifyUser:...", line);
  const std::vector<std::string> want = layout(fresh, 15);
  const std::vector<std::string> was = layout(old, 15);
  EventRecord event, current;
  if (parseEventData(&event, line.c_str() + 11, kModifyUser) != kOk ||
      parseEventData(&current, join(was).c_str(), kModifyUser) != kOk)
    fuzzFail("parse of a difference", "0", line);
  mergeUserRecord(event, current);
  if (event.field(kName) != want[0]) fuzzFail("name of a user difference", want[0], event.field(kName));
  for (int i = kPasswd; i <= kFlag; ++i)
    if (want[i] != "*" && event.field(i) != want[i])
      fuzzFail(("user field " + std::to_string(i) + " after merge").c_str(), want[i], event.field(i));
  // Identical records differ in no field.
  const std::string same = diffUserRecords(fresh, fresh);
  if (same != "modifyUser:" + want[0] + std::string(14, ':'))
    fuzzFail("difference of equal records", "modifyUser:" + want[0] + std::string(14, ':'), same);
}

void checkGroups(const std::string& fresh, const std::string& old) {
  const std::string line = diffGroupRecords(fresh, old);
  if (line.rfind("modifyGroup:", 0) != 0) fuzzFail("group difference", "modifyGroup:...", line);
  const std::vector<std::string> want = layout(fresh, 4);
  const std::vector<std::string> was = layout(old, 4);
  EventRecord event, current;
  if (parseEventData(&event, line.c_str() + 12, kModifyGroup) != kOk ||
      parseEventData(&current, join(was).c_str(), kModifyGroup) != kOk)
    fuzzFail("parse of a difference", "0", line);
  mergeGroupRecord(event, current);
  const int index[4] = {kName, kPasswd, kGid, kMembers};
  for (int i = 0; i < 4; ++i)
    if ((i == 0 || want[i] != "*") && event.field(index[i]) != want[i])
      fuzzFail(("group field " + std::to_string(i) + " after merge").c_str(), want[i], event.field(index[i]));
}

void checkUserRecord(const std::string& passwd, const std::string& shadow, bool withShadow) {
  std::optional<std::string> shadowValue;
  if (withShadow) shadowValue = shadow;
  UserRecord user = makeUserRecord(passwd, shadowValue);
  if (user.text.rfind(passwd, 0) != 0) fuzzFail("user record keeps the passwd line", passwd, user.text);
  if (splitFields(user.text, ':').size() < 15) fuzzFail("user record of 15 fields", "15", user.text);
  if (user.passwordField != (withShadow ? 2 : 8)) fuzzFail("password field", withShadow ? "2" : "8", std::to_string(user.passwordField));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // First byte: what to compare; then the new and the old record, separated
  // by a zero byte.
  std::vector<std::string> texts = splitAtZeros(data + 1, size - 1);
  texts.resize(2);
  switch (data[0] % 3) {
    case 0: checkUsers(texts[0], texts[1]); break;
    case 1: checkGroups(texts[0], texts[1]); break;
    default: checkUserRecord(texts[0], texts[1], data[0] & 0x80); break;
  }
  return 0;
}
