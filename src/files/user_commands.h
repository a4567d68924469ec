// User commands of the files backend, run through the host's account tools.
#pragma once

#include "core/event_record.h"

int handleUserAdd(EventRecord& record);
int handleUserMod(EventRecord& record);
int handleUserDel(EventRecord& record);
int handleUserRename(EventRecord& record);
