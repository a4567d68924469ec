// What the host's own consistency checks say of the account files, so that
// a test can tell the findings its runs added from those already there.
#pragma once

#include <set>
#include <string>

#include "sandbox.h"

// The read-only report of pwck and grpck.
inline std::string checkReport(Sandbox& box) {
  return box.sh("/usr/sbin/pwck -r 2>&1; /usr/sbin/grpck -r 2>&1").out;
}

// Lines of the report now that were not in `before` (the checks' closing
// "no changes" left out).
inline std::string newCheckFindings(Sandbox& box, const std::string& before) {
  std::set<std::string> old;
  for (const auto& line : splitLines(before)) old.insert(line);
  std::string news;
  for (const auto& line : splitLines(checkReport(box)))
    if (!old.count(line) && line.find("no changes") == std::string::npos) news += line + "\n";
  return news;
}
