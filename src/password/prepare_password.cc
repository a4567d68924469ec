#include "password/prepare_password.h"

#include <cstdlib>
#include <cstring>

#include "core/event_record.h"
#include "password/hash.h"
#include "core/field_merge.h"

void preparePassword(std::optional<std::string>& passwordField, int command) {
  if (command != kAddUser && command != kModifyUser) return;
  const bool add = command == kAddUser;
  std::string value;
  bool decided = false;

  if (const char* clear = std::getenv("cleartext")) {
    if (*clear == '\0') {
      value = add ? "" : "*";
      decided = true;
    } else {
      std::string salt = makeSalt();
      value = desCrypt(clear, salt.c_str());
      decided = !value.empty();  // no hash: fall back to the default below
    }
  } else if (const char* encrypted = std::getenv("encrypted")) {
    if (!add && std::strcmp(encrypted, "deletePassword") == 0) {
      value = "x";
    } else if (!add && *encrypted == '\0') {
      value = "noPassword";
    } else {
      value = encrypted;
    }
    decided = true;
  }
  if (!decided) value = add ? "x" : "";

  if (passwordField) wipeString(*passwordField);
  passwordField = std::move(value);
}

bool passwordGivenLocked() {
  const char* encrypted = std::getenv("encrypted");
  return std::getenv("cleartext") == nullptr && encrypted != nullptr &&
         std::strcmp(encrypted, "*") == 0;
}

void mergeModifiedUser(EventRecord& event, const EventRecord& stored) {
  const bool locked = passwordGivenLocked();
  const bool star[] = {event.field(kPasswd) == "*", event.field(kShadowPasswd) == "*"};
  mergeUserRecord(event, stored);
  if (locked && star[0]) event.fields[kPasswd] = "*";
  if (locked && star[1]) event.fields[kShadowPasswd] = "*";
}
