// One event as the handlers see it: 17 text fields whose meaning depends on
// the kind of command, plus what the options said.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

enum Backend : int { kFiles = 0, kNis = 1, kNisplus = 2 };

enum Command : int {
  kAddUser = 0,
  kModifyUser = 1,
  kModifyPassword = 2,
  kDeleteUser = 3,
  kRenameUser = 4,
  kQueryUser = 5,
  kAddGroup = 6,
  kModifyGroup = 7,
  kDeleteGroup = 8,
  kRenameGroup = 9,
  kQueryGroup = 10,
  kPoll = 11,
};

constexpr int kFieldCount = 17;

// Field indexes. User commands use 0-14, group commands 0, 1, 3 and 15,
// delete commands 0, rename commands 0 and 16.
enum FieldIndex : int {
  kName = 0,
  kPasswd = 1,        // passwd-file password, or the group password
  kUid = 2,
  kGid = 3,
  kGecos = 4,
  kHome = 5,
  kShell = 6,
  kShadowPasswd = 7,
  kLastChange = 8,
  kMinDays = 9,
  kMaxDays = 10,
  kWarnDays = 11,
  kInactive = 12,
  kExpire = 13,
  kFlag = 14,
  kMembers = 15,
  kNewName = 16,
};

struct EventRecord {
  std::array<std::optional<std::string>, kFieldCount> fields;
  int command = 0;
  int backend = kFiles;
  int poll = 0;
  std::optional<std::string> mapDir;
  std::optional<std::string> sourceDir;
  int noShadow = 0;
  int makeHome = 0;
  int removeHome = 0;
  int nonUniqueId = 0;

  EventRecord() = default;
  EventRecord(const EventRecord&) = default;
  EventRecord& operator=(const EventRecord&) = default;
  ~EventRecord();

  // The field's text, or "" when it is absent.
  const std::string& field(int index) const;
  bool has(int index) const { return fields[index].has_value(); }
};

// Zeroes the password fields (1 and 7) and marks every field absent.
void releaseRecord(EventRecord& record);

// Overwrites a text with zero bytes before it is dropped.
void wipeString(std::string& text);

// The tokenizer of the event data: like strtok but keeps empty fields
// ('a::b' gives 'a', '', 'b', then '' for ever). Passing a text starts a new
// scan of it (the text is modified); passing nullptr continues the scan.
// One scan at a time, process-wide.
char* nextToken(char* text, const char* separators);

// The same splitting rule without the shared state: every piece between
// separators, empty ones kept.
std::vector<std::string> splitFields(const std::string& text, char separator);

// The ids an add or modify event carries (uid and gid, or the group's gid)
// that read as numbers are plain decimal: digits without a sign, a blank or
// a leading zero. Any other spelling would name an id that a comparison of
// texts takes for another one. Other commands carry no id and pass.
bool idsArePlainDecimal(const EventRecord& record);

// Set by the parser for modifyPassword and queryUser: the NIS shadow test
// at entry is skipped for them.
extern bool skipShadowTest;

// Fills the record's text fields from event data laid out for the command.
// 0, or -3 (with "parseEventData" traced) for a missing text or a command
// code above 10.
int parseEventData(EventRecord* record, const char* eventData, int command);
