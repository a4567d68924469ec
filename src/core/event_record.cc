#include "core/event_record.h"

#include <cstring>
#include <string.h>

#include "core/result.h"
#include "core/trace.h"

namespace {
char* tokenRest = nullptr;
char emptyText[1] = "";
const std::string kEmpty;
}  // namespace

EventRecord::~EventRecord() { releaseRecord(*this); }

const std::string& EventRecord::field(int index) const {
  const auto& f = fields[index];
  return f ? *f : kEmpty;
}

void wipeString(std::string& text) {
  if (!text.empty()) explicit_bzero(text.data(), text.size());
  text.clear();
}

void releaseRecord(EventRecord& record) {
  for (int i : {kPasswd, kShadowPasswd})
    if (record.fields[i]) wipeString(*record.fields[i]);
  for (auto& f : record.fields) f.reset();
}

char* nextToken(char* text, const char* separators) {
  if (text != nullptr) tokenRest = text;
  if (tokenRest == nullptr) return emptyText;
  char* start = tokenRest;
  char* cut = std::strpbrk(start, separators);
  if (cut == nullptr) {
    tokenRest = emptyText;
    return start;
  }
  *cut = '\0';
  tokenRest = cut + 1;
  return start;
}

std::vector<std::string> splitFields(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::string::size_type from = 0;
  for (;;) {
    auto at = text.find(separator, from);
    if (at == std::string::npos) {
      out.push_back(text.substr(from));
      return out;
    }
    out.push_back(text.substr(from, at - from));
    from = at + 1;
  }
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// What reads as a number must be written as one. A value that begins with a
// letter names the id (a group by its name) or is "*", and is the tools'
// to judge.
bool plainDecimal(const std::string& id) {
  if (id.empty()) return true;
  const char first = id[0];
  const bool numeric = (first >= '0' && first <= '9') || first == '+' || first == '-' ||
                       isBlank(first) || isBlank(id.back());
  if (!numeric) return true;
  if (id.find_first_not_of("0123456789") != std::string::npos) return false;
  return id == "0" || first != '0';
}

}  // namespace

bool idsArePlainDecimal(const EventRecord& record) {
  switch (record.command) {
    case kAddUser:
    case kModifyUser:
      return plainDecimal(record.field(kUid)) && plainDecimal(record.field(kGid));
    case kAddGroup:
    case kModifyGroup:
      return plainDecimal(record.field(kGid));
    default:
      return true;
  }
}

bool skipShadowTest = false;

int parseEventData(EventRecord* record, const char* eventData, int command) {
  if (record == nullptr || eventData == nullptr || command > kQueryGroup || command < 0)
    return failAt("parseEventData", kErrArgument);
  if (command == kModifyPassword || command == kQueryUser) skipShadowTest = true;
  releaseRecord(*record);

  std::string copy(eventData);
  auto token = [](char* text, const char* seps) { return std::string(nextToken(text, seps)); };
  switch (command) {
    case kAddUser:
    case kModifyUser:
    case kQueryUser:
      record->fields[0] = token(copy.data(), ":");
      for (int i = 1; i <= kFlag; ++i) record->fields[i] = token(nullptr, ":");
      break;
    case kModifyPassword:
      record->fields[0] = token(copy.data(), ":");
      record->fields[1] = token(nullptr, ":");
      for (int i = 2; i <= kFlag; ++i) record->fields[i] = std::string();
      break;
    case kDeleteUser:
    case kDeleteGroup:
      record->fields[0] = copy;
      break;
    case kRenameUser:
    case kRenameGroup:
      record->fields[0] = token(copy.data(), ",");
      record->fields[kNewName] = token(nullptr, ",");
      break;
    default:  // addGroup, modifyGroup, queryGroup
      record->fields[kName] = token(copy.data(), ":");
      record->fields[kPasswd] = token(nullptr, ":");
      record->fields[kGid] = token(nullptr, ":");
      record->fields[kMembers] = token(nullptr, ":");
      break;
  }
  if (!copy.empty()) explicit_bzero(copy.data(), copy.size());
  // The scan pointed into the copy, which is gone now: a later continuation
  // must see an ended scan, not freed memory.
  tokenRest = nullptr;
  return kOk;
}
