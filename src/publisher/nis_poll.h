// The publisher poll of the NIS backend.
#pragma once

#include "core/event_record.h"

int handleNISChange(EventRecord& record);
