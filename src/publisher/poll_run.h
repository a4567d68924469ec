// What every poll shares from its start to its end, whatever the backend: a
// lock of its own on the working directory, the hand-over of its events, and
// a commit that, once the engine has answered, always completes: at once, or
// at the start of the next poll when this one was killed or failed halfway.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/file_lock.h"
#include "core/scratch_file.h"

// Makes one of the poll's scratch files afresh (ScratchFile::create). A name
// it could not make (a link or someone else's file is in the way) is then
// forgotten, so that nothing is ever removed under it. 0 or -1.
int makeScratch(ScratchFile& file);

// What a commit does: the tables whose new snapshots replace the committed
// ones ("passwd", "shadow", "group"), then the stamp's new content, then the
// users whose pending password went out on a line of its own: only the
// answer makes those published.
struct CommitPlan {
  std::vector<std::string> tables;
  std::string stamp;
  std::vector<std::string> passwords;
};

// How one backend commits.
struct CommitRules {
  const char* stampFile;
  // The plan of a commit under way, kept until the commit is complete.
  const char* intentFile;
  int backend;  // selects the snapshot names and the pending-password store
  // Puts one table's new snapshot in place of the committed one. 0 or -11.
  int (*commitTable)(const std::string& table);
  // After the tables and the stamp, e.g. the overflow sweep. May be null.
  void (*afterCommit)(const CommitPlan& plan);
  // A fixed scratch name of the backend's, under the poll lock. A poll whose
  // removal of it failed may still have ended well; the next poll removes
  // it, changed files or not. May be null.
  const char* scratchText = nullptr;
};

class PollRun {
 public:
  explicit PollRun(const CommitRules& rules) : rules_(rules) {}
  ~PollRun() { handOver(); }
  PollRun(const PollRun&) = delete;
  PollRun& operator=(const PollRun&) = delete;

  // Takes the poll lock, then finishes a commit that an earlier poll left
  // unfinished. -8 when another poll keeps the lock; -1 when the lock or the
  // plan file is not a plain file of this program's; a failing commit step's
  // code.
  int begin();
  // For a poll with events: writes the new snapshots and the plan to disk;
  // only then prints the events (print), so that nothing the engine may
  // have read is left without its commit by a failing disk. Fails, and
  // commits nothing, when print fails or the events did not go out in full.
  // Then hands them over and, once the engine has answered, commits. Every
  // file in fresh is this poll's new snapshot of a table in the plan: from
  // the answer on it belongs to the commit, and is no longer removed with
  // the poll.
  int handOverAndCommit(const CommitPlan& plan, const std::vector<ScratchFile*>& fresh,
                        const std::function<int()>& print);
  // Hands the events over without a commit (nothing changed, or a failure);
  // does nothing the second time.
  void handOver();

 private:
  const CommitRules& rules_;
  FileLock lock_;
  bool handedOver_ = false;
};
