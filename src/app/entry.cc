#include "app/entry.h"

#include <csignal>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <ctime>
#include <unistd.h>

#include "core/answer_output.h"
#include "app/command_table.h"
#include "core/event_record.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/run_directory.h"
#include "core/runner.h"
#include "core/scratch_file.h"
#include "core/trace.h"
#include "password/prepare_password.h"

namespace {
constexpr int kFinishWaitSteps = 60;
constexpr long kFinishWaitStepNanos = 50'000'000;  // 3 s in all
}  // namespace

void onTerminate(int) {
  pid_t child = childPid;
  // Stopped halfway, useradd and its kin leave an account in passwd but not
  // in shadow, and make leaves a map missing: those get a few seconds to
  // end on their own first.
  bool ended = false;
  for (int step = 0; child > 0 && childFinishes && !ended && step < kFinishWaitSteps; ++step) {
    ended = waitpid(child, nullptr, WNOHANG) == child;
    const timespec pause{0, kFinishWaitStepNanos};
    if (!ended) nanosleep(&pause, nullptr);
  }
  if (child > 0 && !ended && kill(-child, SIGTERM) != 0) kill(child, SIGTERM);
  removeRegisteredTemporaries();
  removeRunDirectoryOnSignal();
  _exit(0);
}

bool eventDataAcceptable(const char* eventData, int command) {
  if (command != kModifyPassword && std::strpbrk(eventData, "\r\n") != nullptr) return false;
  if (command == kRenameUser || command == kRenameGroup) {
    const char* comma = std::strchr(eventData, ',');
    if (comma != nullptr && std::strchr(comma + 1, ':') != nullptr) {
      // Only the new name (up to a further comma) matters.
      std::string newName(comma + 1);
      newName = newName.substr(0, newName.find(','));
      if (newName.find(':') != std::string::npos) return false;
    }
    if (eventData[0] == '-') return false;
    if (comma != nullptr && comma[1] == '-') return false;
    return true;
  }
  switch (command) {
    case kAddUser: case kModifyUser: case kDeleteUser:
    case kAddGroup: case kModifyGroup: case kDeleteGroup:
      return eventData[0] != '-';
    default:
      return true;
  }
}

namespace {

bool needsShadowTest(const EventRecord& record) {
  return record.backend == kNis && !skipShadowTest;
}

// Queries and password checks may run without the source directory. Given
// it, its shadow file says whether users have shadow data: never a shadow
// map that a rebuild has moved away for a moment.
bool shadowSourceMissing(const EventRecord& record) {
  return record.backend == kNis && skipShadowTest && record.sourceDir &&
         fileMtime(*record.sourceDir + "/shadow") == -2;
}

// The -p argument: "" asks for a poll, else "<command>:<event data>". The
// result so far stands when the command is unknown.
int readEventOption(const char* text, EventRecord& record, int result) {
  if (text[0] == '\0') {
    record.poll = 1;
    return kOk;
  }
  std::string argument(text);
  std::string name = argument;
  std::string eventData;
  auto colon = argument.find(':');
  if (colon != std::string::npos) {
    name = argument.substr(0, colon);
    eventData = argument.substr(colon + 1);
  }
  int code = findCommand(name.c_str());
  if (code >= 0) {
    record.command = code;
    if (code <= kQueryGroup && !eventDataAcceptable(eventData.c_str(), code))
      result = kErrArgument;
    else
      result = parseEventData(&record, eventData.c_str(), code);
    // Refused before any tool or map sees the id.
    if (result == kOk && !idsArePlainDecimal(record)) result = kErrArgument;
  }
  if (!eventData.empty()) explicit_bzero(eventData.data(), eventData.size());
  if (!argument.empty()) explicit_bzero(argument.data(), argument.size());
  return result;
}

// The options into the record. Without a known command (or a poll) the
// result is -11.
int readOptions(int argc, char** argv, EventRecord& record) {
  int result = kErrOther;
  opterr = 0;
  optind = 1;
  int option;
  while (result != kErrArgument && (option = getopt(argc, argv, "n:p:d:y:smro")) != -1) {
    switch (option) {
      case 'n':
        if (std::strcmp(optarg, "files") == 0)
          record.backend = kFiles;
        else if (std::strcmp(optarg, "nis") == 0)
          record.backend = kNis;
        else if (std::strcmp(optarg, "nisplus") == 0)
          record.backend = kNisplus;
        else
          result = kErrArgument;
        break;
      case 'p': result = readEventOption(optarg, record, result); break;
      case 'd': record.mapDir = optarg; break;
      case 'y': record.sourceDir = optarg; break;
      case 's': record.noShadow = 1; break;
      case 'm': record.makeHome = 1; break;
      case 'r': record.removeHome = 1; break;
      case 'o': record.nonUniqueId = 1; break;
      default: result = kErrArgument; break;
    }
  }

  // A NIS command that must look for the shadow source file cannot do so
  // without the source directory.
  if (result == kOk && !record.poll && needsShadowTest(record) && !record.sourceDir)
    result = kErrArgument;
  return result;
}

// The poll, or the event's command, on the chosen backend.
int dispatch(EventRecord& record) {
  if (record.poll) return kCommandTable[kPoll].handlers[record.backend](record);
  if (needsShadowTest(record)) {
    std::string shadow = *record.sourceDir + "/shadow";
    record.noShadow = fileMtime(shadow) == -2 ? 1 : 0;
  } else if (shadowSourceMissing(record)) {
    record.noShadow = 1;
  }
  if (record.command == kAddUser || record.command == kModifyUser)
    preparePassword(record.fields[record.noShadow ? kPasswd : kShadowPasswd], record.command);
  return kCommandTable[record.command].handlers[record.backend](record);
}

}  // namespace

int runShim(int argc, char** argv) {
  if (access("/etc/NIS_debug", F_OK) == 0) debugLogging = true;
  // The pid matches this run's lines with those of the tools it ran
  // (useradd logs on the same facility).
  openlog("kdl2nis", LOG_PID, LOG_AUTH);

  EventRecord record;
  RunDirectoryCleanup runDirectory;
  signal(SIGTERM, onTerminate);
  umask(077);

  int result = readOptions(argc, argv, record);
  result = result != kOk ? failAt("main", result) : dispatch(record);
  // Whatever was answered must have gone out whole, even the part stdio
  // wrote out on its own.
  if (result == kOk && flushAnswer() != kOk) result = failAt("flushAnswer", kErrOpen);

  if (result != kOk) reportError(result);
  releaseRecord(record);
  return result;
}
