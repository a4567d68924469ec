#include "files/membership.h"

#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "core/event_record.h"
#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/scratch_file.h"
#include "core/trace.h"
#include "files/files_command.h"

namespace {

constexpr const char* kGroupsFile = "grp.tmp";
constexpr const char* kGroupFile = "/etc/group";

// The scratch file of the `groups` output, fresh at the start of a step and
// removed whichever way it ends.
struct GroupsScratch : ScratchFile {
  GroupsScratch() : ScratchFile(kGroupsFile) { unlink(kGroupsFile); }
};

// The group name goes into a comma-separated `usermod -G` list: a comma,
// colon or blank in it would name other groups.
bool usableGroupName(const std::string& group) {
  return !group.empty() && group.size() < kMemberNameCapacity &&
         group.find_first_of(", \t:\n\r") == std::string::npos;
}

// Runs `groups` for the member into the scratch file and gives back the
// member's supplementary groups: what `groups` prints after the colon, less
// the first name (the primary group).
int supplementaryGroups(const char* logName, const std::string& member,
                        std::vector<std::string>* names) {
  std::string groupsDir, awkDir;
  int found = searchPath("groups", &groupsDir);
  if (found == kOk) found = searchPath("awk", &awkDir);
  if (found != kOk) return found;
  std::string command = groupsDir + "/groups " + quoteBareWord(member) + " | " + awkDir +
                        "/awk -F: '{ print $2 }' > " + kGroupsFile;
  if (command.size() >= kCommandCapacity) return kErrArgument;
  debugCommand(logName, command);
  if (qvSystem(command) != kOk) return kErrOther;

  std::ifstream in(kGroupsFile);
  if (!in) return kErrOpen;
  std::string line;
  std::getline(in, line);
  // " primary g1 g2": drop the blank, then the primary group.
  names->clear();
  auto blank = line.find(' ');
  if (blank == std::string::npos) return kOk;
  line.erase(0, blank + 1);
  blank = line.find(' ');
  if (blank == std::string::npos) return kOk;
  line.erase(0, blank + 1);
  for (const std::string& name : splitFields(line, ' '))
    if (!name.empty()) names->push_back(name);
  return kOk;
}

int setSupplementaryGroups(const char* logName, const std::string& groupsWord,
                           const std::string& member) {
  std::string dir;
  int found = searchPath("usermod", &dir);
  if (found != kOk) return found;
  std::string command = dir + "/usermod -G " + groupsWord + " " + quoteBareWord(member);
  if (command.size() >= kCommandCapacity) return kErrArgument;
  debugCommand(logName, command);
  return qvSystem(command) == kOk ? kOk : kErrOther;
}

}  // namespace

MemberCheckCommands memberCheckCommands(const std::string& name, const std::string& cutDir,
                                        const std::string& grepDir, const std::string& whoDir) {
  // The name must match itself only, never as a pattern. The anchors stay
  // outside the shell escaping: "$" before the closing quote is literal.
  std::string pattern = "\"^" + quoteDoubleQuoted(escapeBasicRegex(name)) + "$\"";
  return {cutDir + "/cut -d: -f1 /etc/passwd | " + grepDir + "/grep " + pattern + " > /dev/null",
          whoDir + "/who | " + cutDir + "/cut -d\" \" -f1 | " + grepDir + "/grep " + pattern +
              " > /dev/null"};
}

std::vector<std::string> memberNames(const std::string& list) {
  std::vector<std::string> names = splitFields(list, ',');
  if (names.back().empty()) names.pop_back();
  return names;
}

int checkUserList(const std::string& list) {
  auto fail = [](int code) {
    traceError("checkUserList");
    return code;
  };
  for (const std::string& name : memberNames(list)) {
    std::string grepDir, cutDir, whoDir;
    int found = searchPath("grep", &grepDir);
    if (found == kOk) found = searchPath("cut", &cutDir);
    if (found == kOk) found = searchPath("who", &whoDir);
    if (found != kOk) return fail(found);
    if (name.size() >= kMemberNameCapacity) return fail(kErrArgument);
    // No account has an empty name (a list starting with a comma), nor one
    // with a line break, which grep would take as several patterns.
    if (name.empty() || !isRecordSafe(name)) return fail(kErrOther);

    MemberCheckCommands commands = memberCheckCommands(name, cutDir, grepDir, whoDir);
    const std::string& known = commands.known;
    const std::string& loggedIn = commands.loggedIn;
    if (known.size() >= kCommandCapacity || loggedIn.size() >= kCommandCapacity)
      return fail(kErrArgument);
    debugCommand("checkUserList", known);
    if (qvSystem(known) != kOk) return fail(kErrOther);
    debugCommand("checkUserList2", loggedIn);
    if (qvSystem(loggedIn) == kOk) return fail(kErrLoggedIn);
  }
  return kOk;
}

int addUsersToGroup(const std::string& group, const std::string& list) {
  auto fail = [](int code) {
    traceError("addUsersToGroup");
    return code;
  };
  if (!usableGroupName(group)) return fail(kErrArgument);
  int checked = checkUserList(list);
  if (checked != kOk) return fail(checked);
  if (list == "*") return kOk;

  GroupsScratch scratch;
  for (const std::string& member : memberNames(list)) {
    std::vector<std::string> others;
    int result = supplementaryGroups("addUsersToGroup", member, &others);
    if (result != kOk) return fail(result);
    // The group is added even when the member has it already: harmless.
    std::string groups;
    for (const std::string& name : others) groups += name + ",";
    groups += group;
    result = setSupplementaryGroups("addUsersToGroup2", quoteBareWord(groups), member);
    if (result != kOk) return fail(result);
  }
  return kOk;
}

int modifyUsersInGroup(const std::string& group, const std::string& list) {
  auto fail = [](int code) {
    traceError("modifyUsersInGroup");
    return code;
  };
  if (!usableGroupName(group)) return fail(kErrArgument);
  int checked = checkUserList(list);
  if (checked != kOk) return fail(checked);

  std::string oldMembers;
  bool seen = false;
  {
    std::ifstream in(kGroupFile);
    if (!in) return fail(kErrOpen);
    std::string line;
    EventRecord entry;
    while (!seen && std::getline(in, line)) {
      int parsed = parseEventData(&entry, line.c_str(), kAddGroup);
      if (parsed != kOk) return fail(parsed);
      if (entry.field(kName) == group) {
        oldMembers = entry.field(kMembers);
        seen = true;
      }
    }
  }
  // Without the group's line the old members are unknown; changing nobody is
  // safer than guessing.
  if (!seen) return fail(kErrNoSuchAccount);

  GroupsScratch scratch;
  for (const std::string& member : memberNames(oldMembers)) {
    std::vector<std::string> others;
    int result = supplementaryGroups("modifyUsersInGroup", member, &others);
    if (result != kOk) return fail(result);
    std::string kept;
    for (const std::string& name : others)
      if (name != group) kept += (kept.empty() ? "" : ",") + name;
    // Double-quoted, so that an empty list clears the supplementary groups.
    result = setSupplementaryGroups("modifyUsersInGroup2", "\"" + quoteDoubleQuoted(kept) + "\"",
                                    member);
    if (result != kOk) return fail(result);
  }
  if (addUsersToGroup(group, list) != kOk) return fail(kErrOther);
  return kOk;
}
