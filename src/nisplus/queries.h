// queryUser and queryGroup for the NIS+ backend.
#pragma once

#include "core/event_record.h"

int nisplusUserQuery(EventRecord& record);
int nisplusGroupQuery(EventRecord& record);
