// A sandbox with the stand-in table tools installed over /usr/local/bin and
// their tables kept inside the sandbox.
#pragma once

#include <string>
#include <vector>

#include "sandbox.h"

struct NisplusBox {
  Sandbox box;
  Env env;

  NisplusBox() {
    for (const char* tool : {"nistbladm", "nismatch", "niscat", "nislog"})
      box.installFile(toolsDir() + "/" + tool, std::string("/usr/local/bin/") + tool);
    env = {{"NISPLUS_STANDIN_DIR", box.root() + "/nisplus"}};
  }

  // The shim with "-n nisplus" in front of args.
  RunResult run(const Argv& args, const Env& extra = {}, const std::string& input = "") {
    Env all = env;
    all.insert(extra.begin(), extra.end());
    Argv full{"-n", "nisplus"};
    full.insert(full.end(), args.begin(), args.end());
    return box.shim(full, all, input);
  }
  // A poll that gets the engine's answer.
  RunResult poll() { return run({"-p", ""}, {}, "\n"); }
  // A shell line (e.g. a stand-in tool run by hand) against the same tables.
  RunResult sh(const std::string& command) { return box.sh(command, env); }
  // The table's entries as niscat prints them.
  std::vector<std::string> table(const std::string& name) {
    return splitLines(sh("/usr/local/bin/niscat " + name).out);
  }
  std::string entry(const std::string& table, const std::string& name) {
    return sh("/usr/local/bin/nismatch name='" + name + "' " + table).out;
  }
};
