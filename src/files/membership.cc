#include "files/membership.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "core/event_record.h"
#include "core/line_reader.h"
#include "core/result.h"
#include "core/run_directory.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/scratch_file.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "files/files_command.h"

namespace {

constexpr const char* kGroupsFile = "grp.tmp";
constexpr const char* kGroupFile = "/etc/group";

// The scratch file of the `groups` output, in this run's own directory,
// made afresh for a membership step and removed whichever way it ends.
struct GroupsScratch : RunScratchFile {
  GroupsScratch() : RunScratchFile(kGroupsFile) {}
};

// The group name goes into a comma-separated `usermod -G` list: a comma,
// colon or blank in it would name other groups.
bool usableGroupName(const std::string& group) {
  return !group.empty() && group.size() < kMemberNameCapacity &&
         group.find_first_of(", \t:\n\r") == std::string::npos;
}

// Runs `groups` for the member into the scratch file and gives back the
// member's supplementary groups: what `groups` prints after the colon, less
// the first name (the primary group). `groups` runs on its own, so that its
// failure is seen: an empty answer would strip the member's other groups.
int supplementaryGroups(const char* logName, const std::string& member, const ScratchFile& scratch,
                        std::vector<std::string>* names) {
  std::string groupsDir;
  int found = searchPath("groups", &groupsDir);
  if (found != kOk) return found;
  std::string command =
      groupsDir + "/groups " + quoteBareWord(member) + " > " + quoteBareWord(scratch.path());
  int ran = runLoggedOrOther(logName, command);
  if (ran != kOk) return ran;

  std::string text;
  if (scratch.readBack(&text) != kOk) return kErrOpen;
  std::string line = text.substr(0, text.find('\n'));
  // "member : primary g1 g2": the answer is " primary g1 g2".
  auto colon = line.find(':');
  if (colon == std::string::npos) return kErrOther;
  line = line.substr(colon + 1, line.find(':', colon + 1) - colon - 1);
  // Drop the blank, then the primary group.
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

// Every member's supplementary groups, all read before anyone's change, so
// that one failing `groups` changes nobody.
int readAllSupplementaryGroups(const char* logName, const std::vector<std::string>& members,
                               std::vector<std::vector<std::string>>* groups) {
  GroupsScratch scratch;
  if (scratch.open() != kOk) return kErrOpen;
  for (const std::string& member : members) {
    std::vector<std::string> others;
    int result = supplementaryGroups(logName, member, scratch, &others);
    if (result != kOk) return result;
    groups->push_back(std::move(others));
  }
  return kOk;
}

int setSupplementaryGroups(const char* logName, const std::string& groupsWord,
                           const std::string& member) {
  std::string dir;
  int found = searchPath("usermod", &dir);
  if (found != kOk) return found;
  std::string command = dir + "/usermod -G " + groupsWord + " " + quoteBareWord(member);
  return runLoggedOrOther(logName, command);
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
  for (const std::string& name : memberNames(list)) {
    std::string grepDir, cutDir, whoDir;
    int found = searchPath("grep", &grepDir);
    if (found == kOk) found = searchPath("cut", &cutDir);
    if (found == kOk) found = searchPath("who", &whoDir);
    if (found != kOk) return failAt("checkUserList", found);
    if (name.size() >= kMemberNameCapacity) return failAt("checkUserList", kErrArgument);
    // No account has an empty name (a list starting with a comma), nor one
    // with a line break, which grep would take as several patterns.
    if (name.empty() || !isRecordSafe(name)) return failAt("checkUserList", kErrOther);

    MemberCheckCommands commands = memberCheckCommands(name, cutDir, grepDir, whoDir);
    const std::string& known = commands.known;
    const std::string& loggedIn = commands.loggedIn;
    if (known.size() >= kCommandCapacity || loggedIn.size() >= kCommandCapacity)
      return failAt("checkUserList", kErrArgument);
    if (runLogged("checkUserList", known) != kOk) {
      logCause("checkUserList", "member %s is not a user in /etc/passwd", name.c_str());
      return failAt("checkUserList", kErrOther);
    }
    if (runLogged("checkUserList2", loggedIn) == kOk) return failAt("checkUserList", kErrLoggedIn);
  }
  return kOk;
}

int addUsersToGroup(const std::string& group, const std::string& list) {
  if (!usableGroupName(group)) return failAt("addUsersToGroup", kErrArgument);
  int checked = checkUserList(list);
  if (checked != kOk) return failAt("addUsersToGroup", checked);
  if (list == "*") return kOk;

  std::vector<std::string> members = memberNames(list);
  std::vector<std::vector<std::string>> current;
  int read = readAllSupplementaryGroups("addUsersToGroup", members, &current);
  if (read != kOk) return failAt("addUsersToGroup", read);
  std::vector<std::string> newGroups;
  for (const auto& others : current) {
    // The group is added even when the member has it already: harmless.
    std::string groups;
    for (const std::string& name : others) groups += name + ",";
    newGroups.push_back(groups + group);
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    int result =
        setSupplementaryGroups("addUsersToGroup2", quoteBareWord(newGroups[i]), members[i]);
    if (result != kOk) return failAt("addUsersToGroup", result);
  }
  return kOk;
}

int modifyUsersInGroup(const std::string& group, const std::string& list) {
  if (!usableGroupName(group)) return failAt("modifyUsersInGroup", kErrArgument);
  int checked = checkUserList(list);
  if (checked != kOk) return failAt("modifyUsersInGroup", checked);

  std::string oldMembers;
  bool seen = false;
  {
    UniqueFd in(open(kGroupFile, O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return failAt("modifyUsersInGroup", kErrOpen);
    LineReader lines(in.get());
    std::string line;
    bool ended;
    EventRecord entry;
    while (!seen && lines.next(&line, &ended)) {
      int parsed = parseEventData(&entry, line.c_str(), kAddGroup);
      if (parsed != kOk) return failAt("modifyUsersInGroup", parsed);
      if (entry.field(kName) == group) {
        oldMembers = entry.field(kMembers);
        seen = true;
      }
    }
  }
  // Without the group's line the old members are unknown; changing nobody is
  // safer than guessing.
  if (!seen) return failAt("modifyUsersInGroup", kErrNoSuchAccount);

  std::vector<std::string> members = memberNames(oldMembers);
  std::vector<std::vector<std::string>> current;
  int read = readAllSupplementaryGroups("modifyUsersInGroup", members, &current);
  if (read != kOk) return failAt("modifyUsersInGroup", read);
  std::vector<std::string> keptGroups;
  for (const auto& others : current) {
    std::string kept;
    for (const std::string& name : others)
      if (name != group) kept += (kept.empty() ? "" : ",") + name;
    keptGroups.push_back(kept);
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    // Double-quoted, so that an empty list clears the supplementary groups.
    int result = setSupplementaryGroups("modifyUsersInGroup2",
                                        "\"" + quoteDoubleQuoted(keptGroups[i]) + "\"", members[i]);
    if (result != kOk) return failAt("modifyUsersInGroup", result);
  }
  if (addUsersToGroup(group, list) != kOk) return failAt("modifyUsersInGroup", kErrOther);
  return kOk;
}
