// The field convention of modify events: an empty field means "unchanged",
// "*" means "set to empty". diffField makes it (publisher side), mergeField
// reads it back (subscriber side of the NIS and NIS+ modify commands).
#pragma once

#include <string>

#include "core/event_record.h"

// Rewrites the new value in place: "" when equal to old, "*" when it was
// cleared, else the new value.
void diffField(std::string& newValue, const std::string& oldValue);

// Rewrites an event field in place: "" takes the current value, "*" becomes
// "", anything else stays.
void mergeField(std::string& eventValue, const std::string& currentValue);

// Applies mergeField to fields 2 to 15 (indexes 1 to 14) of a user modify.
void mergeUserRecord(EventRecord& event, const EventRecord& current);
// Applies mergeField to the password, the member list and the gid.
void mergeGroupRecord(EventRecord& event, const EventRecord& current);
