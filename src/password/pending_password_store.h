// The pending-password store: one gdbm file per backend in the state
// directory, holding the password changes modifyPassword accepted until a
// poll has published them. Key: user name. Value: "<old token>:<new
// token>:<state>", state "1" waiting to be published, "2" published on a
// line of its own by a poll still to be answered, "0" published. Only this
// pair reads or writes that value.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/dbm_file.h"

constexpr const char* kStateDirectory = "/usr/lib/corvex/rules/kdl2nis/";

// ".nis_files_pass" for files (0), ".nis_yp_pass" for nis (1),
// ".nisplus__pass" for any other selector.
const char* passCacheName(int backend);
std::string passCachePath(int backend);
// Opened read-write, created 0600 when missing; not open on failure.
DbmFile openPassCache(int backend);

// One entry. The tokens are wiped when it goes.
struct PendingPassword {
  std::string oldToken;
  std::string newToken;
  std::string state;
  ~PendingPassword();
  // Still to be published on a line of its own (state "1" or "2").
  bool waiting() const { return state == "1" || state == "2"; }
};

// The entry a value holds: the state after its last colon, the tokens
// before it, split at their first colon. Pieces that are missing are empty.
PendingPassword parsePendingPassword(std::string_view value);
std::string pendingPasswordText(const PendingPassword& entry);

// 0 with the user's entry, or nullopt without one; kErrOpen on a read error.
int loadPendingPassword(const DbmFile& store, std::string_view name, std::optional<PendingPassword>* entry);
// 0, or kErrOpen when the store failed.
int recordPendingPassword(DbmFile& store, std::string_view name, const PendingPassword& entry);

// The operations below each open the backend's store and close it again
// before they return.

// Records "<old>:<new>:1" under the user name (modifyPassword). An event
// without an old token takes the new token of the change still pending for
// the user. 0, or -1 when the store cannot be opened, read or written.
int storePendingPassword(int backend, const std::string& name, std::string oldToken, const std::string& newToken);

// When the store holds an entry for the user whose name begins the record,
// puts the entry's new token in place of field fieldNumber (counted from 1).
// 0 (also without an entry), or -1 when the store cannot be opened.
int insertCachedPassword(int backend, std::string& record, int fieldNumber);

// Writes "<name>:<old token>,<new token>" (the data of a modifyPassword
// event) and marks the entry published (state "0"). 0, -6 without an entry,
// -1 when the store cannot be opened.
int consumeCachedPassword(int backend, const std::string& name, std::string* eventData);
// The same for an entry not yet published with its user's line (state "1",
// or "2": written on a line of its own by a poll that got no answer), -6
// otherwise; the entry is left in state "2". Only the answer to the poll
// makes it published (purgePasswordCache), so a poll that stops before the
// answer leaves it to the next one.
int consumeWaitingPassword(int backend, const std::string& name, std::string* eventData);

// Deletes every published entry (state "0"), and the entries of answered
// that are still in state "2" (one accepted again since keeps its state
// "1"). A poll calls it only after the engine has answered and the
// snapshots are committed: until then a published entry must survive, so
// that a poll that stops early publishes it again. 0, or -1 when the store
// cannot be opened, walked or changed.
int purgePasswordCache(int backend, const std::vector<std::string>& answered = {});

// The names that have a pending password, read once per comparison pass so
// that the many users without one cost no opening of the store (each
// opening for writing ends in a sync of the file). When the store cannot be
// read every name may have one, and the operations above decide.
class PendingPasswordNames {
 public:
  explicit PendingPasswordNames(int backend);
  bool mayHave(const std::string& name) const { return unknown_ || names_.count(name) != 0; }
  // Still to be published on a line of its own (state "1" or "2").
  bool anyMayWait() const { return unknown_ || !waiting_.empty(); }
  // Known to be still waiting (none when the store could not be read).
  const std::set<std::string>& waiting() const { return waiting_; }

 private:
  bool unknown_ = false;
  std::set<std::string> names_;
  std::set<std::string> waiting_;
};

// Whether a change accepted by modifyPassword still waits to be published
// (also when the store exists but cannot be read). A poll must not take
// "nothing changed" for an answer then: the change may have been accepted
// after the poll that saw the user's new password.
bool hasWaitingPassword(int backend);
