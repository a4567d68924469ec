// The end of a poll's output: the engine reads the events until standard
// output closes, then answers with one character on standard input.
#pragma once

#include <csignal>

// 0 when everything the shim printed on standard output got written in
// full; -1 otherwise (a short list of events must never pass for the whole).
int finishEventOutput();

// Holds SIGTERM back for its lifetime; a signal that comes meanwhile is
// taken when the hold ends.
class TerminationHold {
 public:
  TerminationHold();
  ~TerminationHold();
  TerminationHold(const TerminationHold&) = delete;
  TerminationHold& operator=(const TerminationHold&) = delete;
  // The signal mask outside the hold.
  const sigset_t& outside() const { return outside_; }

 private:
  sigset_t outside_;
};

// Flushes and closes standard output (descriptor 1 then points at
// /dev/null, so nothing opened later can take its place), then waits for one
// character on standard input; end of input counts as the answer.
void handOverEvents();
// The same, inside a hold: SIGTERM still ends the wait, but from the moment
// the answer is read it is held back, so that the commit which the answer
// allows is never cut in half.
void handOverEvents(const TerminationHold& hold);
