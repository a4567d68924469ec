// Printing a poll's publication file for the engine.
#pragma once

#include <string>

// The awk program (with its single quotes) that reorders the events:
// deletions, then group lines without members, then user lines, then the
// member lists as modifyGroup lines.
extern const char* const kPublisherEventsProgram;

// Prints the file on standard output through awk, reordered, and deletes
// the file in every case. 0, or the failing result of searchPath/qvSystem;
// -3 when the command would not fit its 1024 characters.
int displayPublisherEvents(const char* path);
