// The one way anything reaches standard output from this process: query
// answers, the modifyPassword line and a poll's events. A failure is kept
// until the run ends, so that an answer cut short is never taken for a whole
// one, whichever line it hit.
#pragma once

#include <string_view>

// Appends text to standard output. false once any part of the answer has
// failed to go out (also an earlier part).
bool answerText(std::string_view text);
// tag, text and a line break, as one line.
bool answerLine(std::string_view tag, std::string_view text);

// Pushes out what is buffered. 0 when everything answered so far reached
// standard output in full, else -1; *error then holds the errno of the first
// failure (EPIPE when the reader has gone).
int flushAnswer(int* error = nullptr);

// Flushes and closes standard output, then points descriptor 1 at /dev/null
// (so that nothing opened later takes its place). 0, or -1 when anything
// answered did not go out in full or the close failed.
int closeAnswer();
