// The modifyPassword command, shared by the three backends.
#pragma once

#include "core/event_record.h"

int modifyPassword(EventRecord& record);
