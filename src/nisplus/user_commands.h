// User commands of the NIS+ backend; delete and rename serve groups too.
#pragma once

#include "core/event_record.h"

int nisplusUserAdd(EventRecord& record);
int nisplusUserMod(EventRecord& record);
int nisplusDel(EventRecord& record);
int nisplusRename(EventRecord& record);
