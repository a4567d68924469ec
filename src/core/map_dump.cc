#include "core/map_dump.h"

#include "core/map_keys.h"

namespace {

// A value that is one of these words names a map's own bookkeeping, never
// an account; such lines stay out of a clone whatever their key.
bool isBookkeepingWord(std::string_view value) {
  for (std::string_view word : {"YP_INPUT_NAME", "YP_OUTPUT_NAME", "YP_MASTER_NAME",
                                "YP_LAST_MODIFIED"})
    if (value == word) return true;
  return false;
}

}  // namespace

bool parseDumpLine(std::string_view line, std::string_view* key, std::string_view* value) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  auto cut = line.find_first_of(" \t");
  if (cut == std::string_view::npos) return false;
  *key = line.substr(0, cut);
  *value = line.substr(cut + 1);
  return !key->empty() && !isMapBookkeepingKey(*key) && !isBookkeepingWord(*value);
}
