#include "core/field_merge.h"

void diffField(std::string& newValue, const std::string& oldValue) {
  if (!newValue.empty()) {
    if (newValue == oldValue) newValue.clear();
  } else if (!oldValue.empty()) {
    newValue = "*";
  }
}

void mergeField(std::string& eventValue, const std::string& currentValue) {
  if (eventValue.empty())
    eventValue = currentValue;
  else if (eventValue == "*")
    eventValue.clear();
}

namespace {
void mergeAt(EventRecord& event, const EventRecord& current, int index) {
  if (!event.fields[index]) event.fields[index] = std::string();
  mergeField(*event.fields[index], current.field(index));
}
}  // namespace

void mergeUserRecord(EventRecord& event, const EventRecord& current) {
  for (int i = kPasswd; i <= kFlag; ++i) mergeAt(event, current, i);
}

void mergeGroupRecord(EventRecord& event, const EventRecord& current) {
  for (int i : {kPasswd, kMembers, kGid}) mergeAt(event, current, i);
}
