// The end of a poll's output: the engine reads the events until standard
// output closes, then answers with one character on standard input.
#pragma once

// Flushes and closes standard output (descriptor 1 then points at
// /dev/null, so nothing opened later can take its place), then waits for one
// character on standard input; end of input counts as the answer.
void handOverEvents();
