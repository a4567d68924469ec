// Walking the entries of an open directory.
#pragma once

#include <functional>

// Calls visit(name) for every entry of the directory open on fd but "."
// and "..". The walk reads through a duplicate of fd, so the caller's
// descriptor stays open and where it was. false when the directory cannot
// be read at all.
bool forEachEntry(int fd, const std::function<void(const char* name)>& visit);
