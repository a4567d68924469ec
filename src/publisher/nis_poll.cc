#include "publisher/nis_poll.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "nis/scratch_file.h"
#include "nis/source_files.h"

namespace {

int cloneFrom(const std::string& mapPath, const std::string& clonePath) {
  std::string makedbmDir;
  int result = searchPath("makedbm", &makedbmDir);
  if (result != kOk) return result;
  ScratchFile dump(pidName("tmpmap_"));
  std::string command = makedbmDir + "/makedbm -u " + quoteBareWord(mapPath) + " > " +
                        quoteBareWord(dump.path());
  if (command.size() >= 1024) return kErrArgument;
  debugCommand("NISBackupByClone", command);
  if (qvSystem(command) != kOk) return kErrOther;

  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(dump.c_str(), "r"), std::fclose);
  // A clone left over under this name must not lend its entries.
  unlink(clonePath.c_str());
  DbmFile clone = DbmFile::open(clonePath);
  if (!in || !clone.isOpen()) return kErrNotFound;

  char* line = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  result = kOk;
  while (result == kOk && (length = getline(&line, &capacity, in.get())) >= 0) {
    std::string_view text(line, static_cast<std::size_t>(length));
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    // Key and value are separated by a tab (or a blank); the value keeps its
    // inner blanks. A line without separator is no entry.
    auto cut = text.find_first_of(" \t");
    if (cut == std::string_view::npos) continue;
    std::string_view key = text.substr(0, cut);
    if (key.empty() || isNisBookkeepingKey(key)) continue;
    result = clone.store(key, text.substr(cut + 1));
  }
  if (line != nullptr) {
    explicit_bzero(line, capacity);
    std::free(line);
  }
  return result;
}

}  // namespace

int NISBackupByClone(const std::string& mapPath, const std::string& clonePath) {
  int result = cloneFrom(mapPath, clonePath);
  if (result != kOk) traceError("NISBackupByClone");
  return result;
}

int NISBackup(const std::string& mapDir, const std::string& table, BackupMode mode) {
  int result = kOk;
  if (mode == kBackupCopy) {
    std::string command = "cp " + quoteBareWord(mapDir + "/" + table + ".byname") + " " +
                          quoteBareWord(table + ".byname.log.tmp");
    if (command.size() >= 1024 || qvSystem(command) != kOk) result = kErrOther;
  } else {
    std::string fresh = table + ".byname.log.tmp";
    std::string committed = table + ".byname.log";
    if (std::rename(fresh.c_str(), committed.c_str()) != 0) result = kErrOther;
  }
  if (result != kOk) traceError("NISBackup");
  return result;
}
