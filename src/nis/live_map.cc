#include "nis/live_map.h"

#include <cerrno>
#include <sys/stat.h>
#include <time.h>

#include "core/event_record.h"
#include "core/result.h"
#include "core/map_dump.h"

namespace {

// The entries a dump line "key<tab>value" gives back unchanged, and only
// those, are accounts: the same rule a copy made from the dump applies.
bool dumpCarries(std::string_view key, std::string_view value) {
  if (value.find('\n') != std::string_view::npos) return false;
  std::string line;
  line.reserve(key.size() + value.size() + 1);
  line.append(key).append(1, '\t').append(value);
  std::string_view parsedKey, parsedValue;
  bool carried = parseDumpLine(line, &parsedKey, &parsedValue) && parsedKey == key &&
                 parsedValue == value;
  wipeString(line);
  return carried;
}

bool missing(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace

bool awaitMap(const std::string& path) {
  for (int waited = 0; missing(path); waited += kMapRebuildStepMs) {
    if (waited >= kMapRebuildWaitMs) return false;
    timespec step{0, kMapRebuildStepMs * 1'000'000L};
    while (nanosleep(&step, &step) != 0 && errno == EINTR) {
    }
  }
  return true;
}

int LiveMap::open(const std::string& path) {
  db_ = DbmFile::open(path, GDBM_READER | GDBM_NOMMAP, 0, kReadCacheBuckets);
  return db_.isOpen() ? kOk : kErrOpen;
}

int LiveMap::account(std::string_view key, std::optional<std::string>* value) const {
  value->reset();
  if (!db_.isOpen()) return kOk;
  if (db_.fetch(key, value) != kOk) return kErrOpen;
  if (*value && !dumpCarries(key, **value)) {
    wipeString(**value);
    value->reset();
  }
  return kOk;
}
