// Group commands of the NIS backend.
#pragma once

#include "core/event_record.h"

int nisGroupAdd(EventRecord& record);
int nisGroupMod(EventRecord& record);
int nisGroupDel(EventRecord& record);
int nisGroupRename(EventRecord& record);
