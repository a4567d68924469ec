#include "publisher/nisplus_poll.h"

#include "publisher/handover.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>

#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "publisher/change_cache.h"

namespace {

constexpr const char* kStampFile = "qvnisplus.stamp";
constexpr const char* kLogFile = "qvnisplus.log";
constexpr const char* kXidFile = "qvnisplus.xid";
constexpr const char* kEventFile = "tempcache";

long readXid(const char* path, bool* present) {
  long xid = 0;
  FILE* f = std::fopen(path, "r");
  *present = f != nullptr;
  if (f != nullptr) {
    if (std::fscanf(f, "%ld", &xid) != 1) xid = 0;
    std::fclose(f);
  }
  return xid;
}

// Hands the events over once: standard output closed, the engine's answer
// awaited.
void handOver(bool* closed) {
  if (*closed) return;
  *closed = true;
  handOverEvents();
}

// Prints the event lines; an added or modified user gets its pending
// password in the password field and is followed by its modifyPassword line.
void printEvents(int backend) {
  std::ifstream in(kEventFile);
  std::string line;
  while (std::getline(in, line)) {
    std::size_t colon = line.find(':');
    std::string word = line.substr(0, colon);
    if (colon == std::string::npos || (word != "addUser" && word != "modifyUser")) {
      std::printf("%s\n", line.c_str());
      continue;
    }
    std::string data = line.substr(colon + 1);
    if (insertCachedPassword(backend, data, 2) == kOk)
      std::printf("%s:%s\n", word.c_str(), data.c_str());
    else
      std::printf("%s\n", line.c_str());
    wipeString(data);
    std::string name = line.substr(colon + 1, line.find(':', colon + 1) - colon - 1);
    std::string pending;
    if (consumeCachedPassword(backend, name, &pending) == kOk) std::printf("modifyPassword:%s\n", pending.c_str());
    wipeString(pending);
  }
}

}  // namespace

int handleNISplusChange(EventRecord& record) {
  const char* me = "handleNISplusChange";
  bool closed = false;
  bool committed = false;
  std::string nawkDir, nislogDir;
  int result = searchPath("nawk", &nawkDir);
  long lastXid = 0;
  bool present = false;
  if (result == kOk) {
    lastXid = readXid(kStampFile, &present);
    result = searchPath("nislog", &nislogDir);
  }
  if (result == kOk) {
    // Only this run's selector may leave a current XID behind.
    unlink(kXidFile);
    std::string command = nislogSelectCommand(nislogDir, nawkDir, lastXid);
    debugCommand(me, command);
    result = qvSystem(command);
  }
  long currentXid = 0;
  bool haveXid = false;
  if (result == kOk) currentXid = readXid(kXidFile, &haveXid);
  // Without a current XID the log said nothing: publish nothing, keep the
  // stamp.
  if (result == kOk && haveXid) {
    // The program appends: a file left by an interrupted poll must not be
    // published twice.
    unlink(kEventFile);
    std::string nawk = nawkDir + "/nawk";
    debugCommand(me, kNislogEventProgram);
    result = qvSystem(nawk, {"nawk", kNislogEventProgram, kLogFile});
    if (result == kOk) {
      printEvents(record.backend);
      handOver(&closed);
      if (FILE* f = std::fopen(kStampFile, "w")) {
        std::fprintf(f, "%ld", currentXid);
        std::fclose(f);
      }
      committed = true;
    }
  }
  handOver(&closed);
  // Published passwords are dropped only once the engine has taken the
  // events; a poll that stops earlier publishes them again next time.
  if (committed) purgePasswordCache(record.backend);
  unlink(kLogFile);
  unlink(kXidFile);
  unlink(kEventFile);
  if (result != kOk) traceError(me);
  return result;
}
