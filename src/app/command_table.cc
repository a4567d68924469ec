#include "app/command_table.h"

#include <cstring>

#include "files/group_commands.h"
#include "files/queries.h"
#include "files/user_commands.h"
#include "nis/group_commands.h"
#include "nis/queries.h"
#include "nis/user_commands.h"
#include "nisplus/group_commands.h"
#include "nisplus/queries.h"
#include "nisplus/user_commands.h"
#include "password/modify_password.h"
#include "publisher/files_poll.h"
#include "publisher/nis_poll.h"
#include "publisher/nisplus_poll.h"

namespace {

// modifyPassword is the same for every backend but for the user query it
// asks for the stored hash.
template <Handler userQuery>
int passwordChange(EventRecord& record) {
  return modifyPassword(record, userQuery);
}

}  // namespace

const CommandEntry kCommandTable[kCommandCount] = {
    {kAddUser, "addUser", {handleUserAdd, nisUserAdd, nisplusUserAdd}},
    {kModifyUser, "modifyUser", {handleUserMod, nisUserMod, nisplusUserMod}},
    {kModifyPassword, "modifyPassword", {passwordChange<filesUserQuery>, passwordChange<nisUserQuery>, passwordChange<nisplusUserQuery>}},
    {kDeleteUser, "deleteUser", {handleUserDel, nisUserDel, nisplusDel}},
    {kRenameUser, "renameUser", {handleUserRename, nisUserRename, nisplusRename}},
    {kQueryUser, "queryUser", {filesUserQuery, nisUserQuery, nisplusUserQuery}},
    {kAddGroup, "addGroup", {handleGroupAdd, nisGroupAdd, nisplusGroupAdd}},
    {kModifyGroup, "modifyGroup", {handleGroupMod, nisGroupMod, nisplusGroupMod}},
    {kDeleteGroup, "deleteGroup", {handleGroupDel, nisGroupDel, nisplusDel}},
    {kRenameGroup, "renameGroup", {handleGroupRename, nisGroupRename, nisplusRename}},
    {kQueryGroup, "queryGroup", {filesGroupQuery, nisGroupQuery, nisplusGroupQuery}},
    {kPoll, "", {handleFilesChange, handleNISChange, handleNISplusChange}},
};

int findCommand(const char* name) {
  for (const auto& row : kCommandTable)
    if (std::strcmp(row.name, name) == 0) return row.code;
  return -1;
}
