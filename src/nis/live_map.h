// A NIS map read in place: opened read-only, without a memory map of the
// file and through a small bucket cache, so that reading a map of 100,000
// accounts takes no more memory than one of 100. The map's rebuild writes a
// new file and renames it over this one, so holding it open never stands in
// its way.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/dbm_file.h"

// makedbm puts a rebuilt map in place by unlinking the old one and then
// renaming the new file, so every rebuild leaves the map missing for a
// moment. A reader that finds it missing waits this long, looking every
// step, before it takes the map for one that does not exist.
constexpr int kMapRebuildWaitMs = 3000;
constexpr int kMapRebuildStepMs = 20;

// True once path exists (or cannot be looked at for another reason than
// its absence: opening it then reports that); false when it stayed missing
// past the wait.
bool awaitMap(const std::string& path);

class LiveMap {
 public:
  // 0, or -1 when the map cannot be opened for reading.
  int open(const std::string& path);
  bool isOpen() const { return db_.isOpen(); }
  GDBM_FILE get() const { return db_.get(); }
  void close() { db_.close(); }

  // The account stored under key; none for a key the map lacks and for what
  // a dump of the map would not carry as an account (its bookkeeping
  // entries, a key with a blank, a value over more than one line). A map not
  // opened holds no accounts. 0, or kErrOpen when the map cannot be read.
  int account(std::string_view key, std::optional<std::string>* value) const;

 private:
  DbmFile db_;
};
