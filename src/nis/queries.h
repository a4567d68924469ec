// queryUser and queryGroup for the NIS backend, answered from the maps read
// in place.
#pragma once

#include "core/event_record.h"

int nisUserQuery(EventRecord& record);
int nisGroupQuery(EventRecord& record);

// Direct lookups: mapName is "/passwd.byname" with field 0 or
// "/passwd.byuid" with field 2 (groups: "/group.byname" with 0,
// "/group.bygid" with 3). 0 with the account printed, -6 when the key is
// not in the map, or another result code.
int nisUserNameQuery(EventRecord& record, const char* mapName, int keyField);
int nisGroupNameQuery(EventRecord& record, const char* mapName, int keyField);
