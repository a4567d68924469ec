// Shell steps of a test's own set-up, which must succeed for the test to
// mean anything.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sandbox.h"

inline void mustRun(Sandbox& box, const std::string& command, const Env& env = {}) {
  RunResult r = box.sh(command, env);
  ASSERT_EQ(0, r.status) << command << ": " << r.err;
}

// Dates files `back` seconds in the past, each call one second later than
// the last: a change made in the current second is compared again by every
// poll whatever the stamp says, while an aged one counts as settled.
inline void age(Sandbox& box, const std::string& files = "/etc/passwd /etc/shadow /etc/group",
                int back = 10000) {
  static int step = 0;
  mustRun(box, "touch -d @$(( $(date +%s) - " + std::to_string(back) + " + " + std::to_string(++step) +
                   " )) " + files);
}
