// The publisher poll of the NIS backend, on copies of the NIS maps.
#pragma once

#include "core/event_record.h"

int handleNISChange(EventRecord& record);
