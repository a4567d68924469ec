// Group commands of the files backend.
#pragma once

#include "core/event_record.h"

int handleGroupAdd(EventRecord& record);
int handleGroupMod(EventRecord& record);
int handleGroupDel(EventRecord& record);
int handleGroupRename(EventRecord& record);
