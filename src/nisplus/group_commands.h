// Group commands of the NIS+ backend.
#pragma once

#include "core/event_record.h"

int nisplusGroupAdd(EventRecord& record);
int nisplusGroupMod(EventRecord& record);
