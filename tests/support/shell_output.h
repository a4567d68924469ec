// What a command line run through /bin/sh prints, for checks of quoting.
#pragma once

#include <cstdio>
#include <string>

inline std::string shellOutput(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}
