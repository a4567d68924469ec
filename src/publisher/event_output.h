// Printing a poll's publication file for the engine.
#pragma once

#include <string>

// Prints the file on standard output reordered: deletions (users, then
// groups), then group lines without their members ("$1:$2:$3:$4:"), then
// user lines, then the member lists as "modifyGroup:name:::members" lines;
// any other line is dropped. The file is read once per part, never held
// whole, and deleted in every case. 0; the failing result of searchPath when
// awk, which the engine's hosts must have, is not found; -3 when the file
// cannot be read or printing fails, -2 when the reader has gone.
int displayPublisherEvents(const char* path);
