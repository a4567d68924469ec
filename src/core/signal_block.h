// Holding SIGTERM back: what the handler must never see half done (a
// registry slot being written, a child whose id is not yet recorded, a
// commit) runs inside a TerminationHold. A SIGTERM that comes meanwhile is
// taken when the hold ends.
#pragma once

#include <csignal>

class TerminationHold {
 public:
  TerminationHold() {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &outside_);
  }
  ~TerminationHold() { end(); }
  TerminationHold(const TerminationHold&) = delete;
  TerminationHold& operator=(const TerminationHold&) = delete;

  // The signal mask outside the hold.
  const sigset_t& outside() const { return outside_; }
  // Ends the hold before the scope does (again at the end: no effect).
  void end() {
    if (!held_) return;
    held_ = false;
    sigprocmask(SIG_SETMASK, &outside_, nullptr);
  }

 private:
  sigset_t outside_;
  bool held_ = true;
};
