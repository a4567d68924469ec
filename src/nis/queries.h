// queryUser and queryGroup for the NIS backend.
#pragma once

#include "core/event_record.h"

int nisUserQuery(EventRecord& record);
int nisGroupQuery(EventRecord& record);
