// Clones of NIS maps are read from a "makedbm -u" dump. A map built from the
// input is dumped by the host's makedbm and read back line by line: every
// account entry comes back with its exact key and value, and no bookkeeping
// entry is taken for an account.
#include <cstddef>
#include <cstdint>
#include <gdbm.h>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "core/map_keys.h"
#include "core/map_dump.h"

namespace {

bool isBookkeepingValue(const std::string& value) {
  return value == "YP_INPUT_NAME" || value == "YP_OUTPUT_NAME" || value == "YP_MASTER_NAME" ||
         value == "YP_LAST_MODIFIED";
}

std::string describe(const std::map<std::string, std::string>& entries) {
  std::string out;
  for (const auto& [k, v] : entries) out += "[" + k + "]=[" + v + "] ";
  return out;
}

// Lines straight from the input, as a damaged dump could hold them: a taken
// line is split at its first tab or blank, the key never empty.
void checkLine(const std::string& line) {
  std::string_view key, value;
  if (!parseDumpLine(line, &key, &value)) return;
  std::string_view text = line;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (key.empty() || key.find_first_of(" \t") != std::string_view::npos ||
      text.size() != key.size() + 1 + value.size() || text.substr(0, key.size()) != key ||
      text.substr(key.size() + 1) != value || isMapBookkeepingKey(key) || isBookkeepingValue(std::string(value)))
    fuzzFail("dump line split", line, std::string(key) + "|" + std::string(value));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enterScratchDirectory("map_dump");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> texts = splitAtZeros(data, size);
  for (const std::string& t : texts) checkLine(t);

  // Keys and values alternate; a key is one word of a line, a value the rest
  // of a line (a map built from line-based sources holds nothing else).
  std::map<std::string, std::string> stored;
  for (std::size_t i = 0; i + 1 < texts.size(); i += 2) {
    std::string key, value;
    for (char c : texts[i])
      if (c != ' ' && c != '\t' && c != '\n') key.push_back(c);
    for (char c : texts[i + 1])
      if (c != '\n') value.push_back(c);
    if (!key.empty()) stored[key] = value;
  }
  GDBM_FILE map = gdbm_open("map", 0, GDBM_NEWDB, 0600, nullptr);
  if (map == nullptr) fuzzFail("map", "opened", gdbm_strerror(gdbm_errno));
  for (const auto& [k, v] : stored) {
    datum key{const_cast<char*>(k.data()), static_cast<int>(k.size())};
    datum value{const_cast<char*>(v.data()), static_cast<int>(v.size())};
    gdbm_store(map, key, value, GDBM_REPLACE);
  }
  gdbm_close(map);

  Ran dump = runProgram({"/usr/lib/yp/makedbm", "-u", "map"});
  if (dump.status != 0) fuzzFail("makedbm -u", "status 0", std::to_string(dump.status));
  std::map<std::string, std::string> cloned;
  std::size_t from = 0;
  while (from < dump.out.size()) {
    std::size_t end = dump.out.find('\n', from);
    end = end == std::string::npos ? dump.out.size() : end + 1;
    std::string_view key, value;
    if (parseDumpLine(std::string_view(dump.out).substr(from, end - from), &key, &value))
      cloned[std::string(key)] = std::string(value);
    from = end;
  }
  std::map<std::string, std::string> accounts;
  for (const auto& [k, v] : stored)
    if (!isMapBookkeepingKey(k) && !isBookkeepingValue(v)) accounts[k] = v;
  if (cloned != accounts) fuzzFail("clone of a dumped map", describe(accounts), describe(cloned));
  return 0;
}
