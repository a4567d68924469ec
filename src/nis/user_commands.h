// User commands of the NIS backend: source files edited under lock, maps rebuilt.
#pragma once

#include <string>

#include "core/event_record.h"

int nisUserAdd(EventRecord& record);
int nisUserMod(EventRecord& record);
int nisUserDel(EventRecord& record);
int nisUserRename(EventRecord& record);
