// queryUser and queryGroup for the files backend.
#pragma once

#include "core/event_record.h"

int filesUserQuery(EventRecord& record);
int filesGroupQuery(EventRecord& record);
