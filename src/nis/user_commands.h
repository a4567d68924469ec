// User commands of the NIS backend: source files edited under lock, maps rebuilt.
#pragma once

#include <string>

#include "core/dbm_file.h"
#include "core/event_record.h"

int nisUserAdd(EventRecord& record);
int nisUserMod(EventRecord& record);
int nisUserDel(EventRecord& record);
int nisUserRename(EventRecord& record);

// Looks key up in a copy of a map: false (and "findIdFromMap" traced) when
// absent; otherwise the whole value in *record and its third
// field (the uid of a passwd value, the gid of a group value) in *id.
bool findIdFromMap(const DbmFile& map, const std::string& key, std::string* record,
                   std::string* id);
