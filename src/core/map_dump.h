// The lines of a "makedbm -u" dump, from which clones of NIS maps are made.
#pragma once

#include <string_view>

// Splits one dump line (its newline, if any, is dropped) into the key, up to
// the first tab or blank, and the value, the rest with its inner blanks.
// false for a line that is no account entry: no separator, an empty key, one
// of the map's bookkeeping keys, or a bookkeeping word as value.
bool parseDumpLine(std::string_view line, std::string_view* key, std::string_view* value);
