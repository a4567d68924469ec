#include "publisher/poll_run.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "core/answer_output.h"
#include "core/file_io.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "password/pending_password_store.h"
#include "publisher/handover.h"
#include "publisher/snapshot_store.h"

namespace {

// One lock for every poll of a working directory: they share its fixed file
// names. Hidden, like the host's own password-file lock.
constexpr const char* kLockFile = ".qvnispoll.lock";
// A poll that finds the lock taken waits up to about two seconds.
constexpr int kLockAttempts = 20;
constexpr int kLockPauseMillis = 100;
// Room for one name per user with a password published on its own line.
constexpr std::size_t kPlanMax = 16 << 20;

// A plain file with a single link, or nothing: anything else under one of
// the poll's own names was planted there.
bool plainOrMissing(const char* path, bool* present) {
  struct stat st;
  *present = lstat(path, &st) == 0;
  if (!*present) return errno == ENOENT;
  return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

int syncFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return kErrOpen;
  return fsync(fd.get()) == 0 ? kOk : kErrOpen;
}

// The plan as a file: the stamp's content on the first line, then one table
// per line, then one line per published password: its user's name behind
// kPasswordTag.
constexpr std::string_view kPasswordTag = "password ";

std::string planText(const CommitPlan& plan) {
  std::string text = plan.stamp + "\n";
  for (const auto& table : plan.tables) text += table + "\n";
  for (const auto& name : plan.passwords) text.append(kPasswordTag).append(name) += "\n";
  return text;
}

std::optional<CommitPlan> parsePlan(const std::string& text) {
  CommitPlan plan;
  std::size_t at = text.find('\n');
  if (at == std::string::npos || at == 0) return std::nullopt;
  plan.stamp = text.substr(0, at);
  while (++at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) return std::nullopt;
    std::string line = text.substr(at, end - at);
    if (line.starts_with(kPasswordTag))
      plan.passwords.push_back(line.substr(kPasswordTag.size()));
    else if (snapshotTableNamed(line) && plan.passwords.empty())
      plan.tables.push_back(line);
    else
      return std::nullopt;
    at = end;
  }
  return plan;
}

int readPlanFile(const char* path, std::string* text) {
  UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || readFromStart(fd.get(), text, kPlanMax + 1) != kOk) return kErrOpen;
  return text->size() > kPlanMax ? kErrOpen : kOk;
}

// Carries a plan out. Each step may have been done before by a poll that
// stopped halfway: a table without a new snapshot is committed already.
int applyPlan(const CommitRules& rules, const CommitPlan& plan) {
  for (const auto& table : plan.tables) {
    bool present = false;
    if (!plainOrMissing(newSnapshotName(rules.backend, *snapshotTableNamed(table)).c_str(), &present)) return kErrOther;
    if (!present) continue;
    int result = rules.commitTable(table);
    if (result != kOk) return result;
  }
  if (replaceStateFile(rules.stampFile, plan.stamp) != kOk) return kErrOpen;
  // The engine has the events and the snapshots that produced them are
  // committed: the published passwords may go now. Until they have gone
  // the plan stays, so that the next poll removes them before it compares:
  // a token left behind would go out again with its user's next change.
  int purged = purgePasswordCache(rules.backend, plan.passwords);
  if (purged != kOk) return purged;
  if (rules.afterCommit != nullptr) rules.afterCommit(plan);
  unlink(rules.intentFile);
  syncParentDirectory(rules.intentFile);
  return kOk;
}

int takePollLock(FileLock& lock) {
  UniqueFd fd(open(kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return failAt("takePollLock", kErrOpen);
  struct stat st;
  bool plain = fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
  if (!plain) return failAt("takePollLock", kErrOpen);
  // The file checked is the file locked: never reopened by its name, which
  // may lead elsewhere by now. The first attempt at once.
  int result = lock.acquire(fd.release(), kLockAttempts, kLockPauseMillis);
  return result == kOk ? kOk : failAt("takePollLock", result);
}

int finishCommit(const CommitRules& rules) {
  bool present = false;
  if (!plainOrMissing(rules.intentFile, &present)) return failAt("finishCommit", kErrOpen);
  if (!present) return kOk;
  std::string text;
  if (readPlanFile(rules.intentFile, &text) != kOk) return failAt("finishCommit", kErrOpen);
  std::optional<CommitPlan> plan = parsePlan(text);
  if (!plan) {
    // Written in one rename, so never seen half-made; what cannot be read
    // was not written here and commits nothing.
    errorLog("finishCommit: %s unreadable, removed", rules.intentFile);
    unlink(rules.intentFile);
    return kOk;
  }
  int result = applyPlan(rules, *plan);
  return result == kOk ? kOk : failAt("finishCommit", result);
}

}  // namespace

int makeScratch(ScratchFile& file) {
  if (file.create() == kOk) return kOk;
  file.release();
  return kErrOpen;
}

int PollRun::begin() {
  int result = takePollLock(lock_);
  if (result != kOk) return result;
  // Only a plain file is a poll's own leftover; anything else planted under
  // the name stays, for the poll's own creation of it to refuse.
  struct stat st;
  if (rules_.scratchText != nullptr && lstat(rules_.scratchText, &st) == 0 && S_ISREG(st.st_mode) &&
      unlink(rules_.scratchText) != 0)
    errorLog("PollRun: can't unlink %s, reason:%d:", rules_.scratchText, errno);
  return finishCommit(rules_);
}

int PollRun::handOverAndCommit(const CommitPlan& plan, const std::vector<ScratchFile*>& fresh,
                               const std::function<int()>& print) {
  int result = kOk;
  for (ScratchFile* file : fresh)
    if (result == kOk) result = syncFile(file->path());
  // A fixed name under the poll lock: one that a killed poll left is taken
  // over, not piled up beside.
  ScratchFile pending(std::string(rules_.intentFile) + ".new");
  if (result == kOk) result = pending.open();
  if (result == kOk) result = writeAll(pending.fd(), planText(plan));
  if (result == kOk && fsync(pending.fd()) != 0) result = kErrOpen;
  if (result == kOk) result = pending.closeFd();
  if (result == kOk) result = print();
  if (result == kOk && closeAnswer() != kOk) result = failAt("closeAnswer", kErrOpen);
  if (result != kOk) return result;

  TerminationHold hold;
  handedOver_ = true;
  awaitAnswer(hold);
  // From here on the commit completes: now, or at the next poll's start.
  for (ScratchFile* file : fresh) file->release();
  if (std::rename(pending.c_str(), rules_.intentFile) == 0) {
    pending.release();
    syncParentDirectory(rules_.intentFile);
  } else {
    // The engine has the events: the plan is carried out all the same, from
    // memory, rather than be lost with this poll.
    errorLog("handOverAndCommit: can't rename %s, committing without it", pending.c_str());
  }
  return applyPlan(rules_, plan);
}

void PollRun::handOver() {
  if (handedOver_) return;
  handedOver_ = true;
  handOverEvents();
}
