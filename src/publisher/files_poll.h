// The publisher poll of the files backend.
#pragma once

#include "core/event_record.h"

int handleFilesChange(EventRecord& record);
