// Fills the password field of addUser and modifyUser from the environment
// variables "cleartext" and "encrypted".
#pragma once

#include <optional>
#include <string>

void preparePassword(std::optional<std::string>& passwordField, int command);

struct EventRecord;
// The modify merge of the NIS and NIS+ user commands (an empty field takes
// the stored value, "*" clears it), except that a password given as "*" is
// stored as "*", locked: a password field must never be emptied by the
// modify rule.
void mergeModifiedUser(EventRecord& event, const EventRecord& stored);
