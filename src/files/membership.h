// Group membership on the files backend: changed member by member with
// `usermod -G`, after every named member was checked.
#pragma once

#include <string>
#include <vector>

// Names are at most this long; a longer one is refused, not cut.
constexpr std::size_t kMemberNameCapacity = 256;

// The names of a comma-separated member list, in order. A leading comma
// yields an empty first name; a trailing one adds nothing.
std::vector<std::string> memberNames(const std::string& list);

// The two command lines that test one member: is the name a first field of
// /etc/passwd, and is it among the users `who` lists. The directories are
// searchPath's (with their trailing "/").
struct MemberCheckCommands {
  std::string known;
  std::string loggedIn;
};
MemberCheckCommands memberCheckCommands(const std::string& name, const std::string& cutDir,
                                        const std::string& grepDir, const std::string& whoDir);

// 0 when every named user is in /etc/passwd (-11 otherwise) and none is
// logged in (-5 otherwise). An empty list is fine.
int checkUserList(const std::string& list);
// Adds the group to the supplementary groups of each member ("*": nobody).
int addUsersToGroup(const std::string& group, const std::string& list);
// Takes the group away from every current member, then gives it to the
// members of the new list.
int modifyUsersInGroup(const std::string& group, const std::string& list);
