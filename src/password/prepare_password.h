// Fills the password field of addUser and modifyUser from the environment
// variables "cleartext" and "encrypted".
#pragma once

#include <optional>
#include <string>

void preparePassword(std::optional<std::string>& passwordField, int command);

// True when a modifyUser password field of "*" stands for the engine's
// ready-made hash "*" (a locked account, to be stored as it is), not for an
// empty clear text (a password to be cleared).
bool passwordGivenLocked();

struct EventRecord;
// The modify merge of the NIS and NIS+ user commands (an empty field takes
// the stored value, "*" clears it), except that a password given locked
// keeps its "*": the modify rule must not turn it into an empty password.
void mergeModifiedUser(EventRecord& event, const EventRecord& stored);
