#include "publisher/nisplus_poll.h"

#include "publisher/poll_run.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/system_log.h"
#include "core/answer_output.h"
#include "core/file_io.h"
#include "core/line_reader.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "publisher/change_detection.h"

namespace {

constexpr const char* kStampFile = "qvnisplus.stamp";
constexpr const char* kLogFile = "qvnisplus.log";
constexpr const char* kXidFile = "qvnisplus.xid";
constexpr const char* kEventFile = "tempcache";
constexpr std::size_t kXidTextMax = 64;

// The poll keeps no snapshots: a commit is the stamp alone (and the purge of
// the published passwords).
const CommitRules kNisplusCommit{kStampFile, "qvnisplus.commit", kNisplus, nullptr, nullptr};

// 0 and the number a file holds (found false when it holds none); -1 when
// the file is there but is not one to read (a link is not followed) or
// cannot be read: a stamp or XID read as none would skip or lose
// transactions.
int readXid(const char* path, long* xid, bool* found) {
  *xid = 0;
  *found = false;
  UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? kOk : kErrOpen;
  std::string text;
  if (readFromStart(fd.get(), &text, kXidTextMax) != kOk) return kErrOpen;
  *found = std::sscanf(text.c_str(), "%ld", xid) == 1;
  if (!*found) *xid = 0;
  return kOk;
}

// Prints the event lines; an added or modified user gets its pending
// password in the password field and is followed by its modifyPassword line.
// false when a line could not be written, or the events or a pending
// password could not be read: a line without its password must not go out.
bool printEvents(int backend) {
  UniqueFd in(open(kEventFile, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  LineReader lines(in.get());
  auto print = [](const char* command, const std::string& data) {
    return answerText(command) && answerLine(":", data);
  };
  std::string line;
  bool written = true, ended;
  while (written && lines.next(&line, &ended)) {
    std::size_t colon = line.find(':');
    std::string word = line.substr(0, colon);
    if (colon == std::string::npos || (word != "addUser" && word != "modifyUser")) {
      written = answerLine("", line);
      continue;
    }
    std::string data = line.substr(colon + 1);
    written = writeUserLine(print, word.c_str(), data, 2, backend, nullptr, true);
    wipeString(data);
  }
  wipeString(line);
  return written && !lines.failed();
}

}  // namespace

int handleNISplusChange(EventRecord& record) {
  const char* me = "handleNISplusChange";
  PollRun run(kNisplusCommit);
  // The programs write into files made here afresh, never through a link.
  ScratchFile log(kLogFile), xid(kXidFile), events(kEventFile);
  std::string nawkDir, nislogDir;
  long lastXid = 0, currentXid = 0;
  bool found = false;
  int result = run.begin();
  if (result == kOk) result = searchPath("nawk", &nawkDir);
  if (result == kOk) result = readXid(kStampFile, &lastXid, &found);
  if (result == kOk) result = searchPath("nislog", &nislogDir);
  for (ScratchFile* file : {&log, &xid, &events})
    if (result == kOk) result = makeScratch(*file);
  if (result == kOk) {
    std::string command = nislogSelectCommand(nislogDir, nawkDir, lastXid);
    result = runLogged(me, command);
  }
  // Without a current XID the log said nothing: publish nothing, keep the
  // stamp.
  if (result == kOk) result = readXid(kXidFile, &currentXid, &found);
  if (result == kOk && found) {
    debugCommand(me, kNislogEventProgram);
    result = qvSystem(nawkDir + "/nawk", {"nawk", kNislogEventProgram, kLogFile});
    // The stamp advances, and the published passwords go, only once the
    // engine has taken the events.
    auto print = [&record] { return printEvents(record.backend) ? kOk : failAt("printEvents", kErrOpen); };
    if (result == kOk) result = run.handOverAndCommit({{}, std::to_string(currentXid), {}}, {}, print);
  }
  run.handOver();
  if (result != kOk) return failAt(me, result);
  return kOk;
}
