// The publisher poll of the NIS+ backend: it reads the transaction log with
// nislog from the last published XID on and turns the entries of the passwd
// and group tables into event lines.
#pragma once

#include <string>

#include "core/event_record.h"

int handleNISplusChange(EventRecord& record);

// The two nawk programs of the poll.
//
// The selector reads nislog's output: it writes the "Current XID" to
// "qvnisplus.xid" and copies everything from the first transaction newer
// than XIDNO on. Marker texts count only before the first single quote of a
// line: column values stand between single quotes and must not pose as
// markers.
extern const char* const kNislogSelectProgram;
// The event program reads the selected part of the log and appends one event
// line per entry to "tempcache". A removal and an addition in one
// transaction are a modification (a rename when the names differ); the
// password of an added or modified user is fetched with nismatch.
extern const char* const kNislogEventProgram;

// "<nislog dir>/nislog | <nawk dir>/nawk '<selector>' "XIDNO=<xid>" > qvnisplus.log",
// failing also when nislog fails.
std::string nislogSelectCommand(const std::string& nislogDir, const std::string& nawkDir, long lastXid);
