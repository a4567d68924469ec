// The end of a poll's output: the engine reads the events until standard
// output closes, then answers with one character on standard input.
#pragma once

#include "core/signal_block.h"

// Closes standard output (closeAnswer), then waits for one character on
// standard input; end of input counts as the answer.
void handOverEvents();
// Waits for the answer to events whose output is closed already, inside a
// hold: SIGTERM still ends the wait, but from the moment the answer is read
// it is held back, so that the commit which the answer allows is never cut
// in half.
void awaitAnswer(const TerminationHold& hold);
