// Modification times as the polls record them in their stamp files.
#pragma once

// A modification time of a second that had not ended before the times were
// read may still be followed by a change within that second that leaves it
// as it is. Such a time (and, for safety, one of the second before) is
// recorded as -1, which no later reading equals, so the next poll compares
// the snapshots instead of trusting the time. readAt must be taken before the
// times are read, so a stalled process cannot make a fresh time look old.
// -2 (missing) and 0 (not used) stay as they are.
long trustedTime(long mtime, long readAt);
