// A sandbox set up as a NIS master: source files in /var/yp/ypfiles, maps
// in /var/yp/kdl.test built by the host's own Makefile and makedbm. The
// Makefile copy reads its passwd, shadow and group from the source
// directory and builds shadow.byname with passwd when a shadow file exists.
// No ypserv runs unless a test starts one, so makedbm is not asked to clear
// a server's cache ("-c"), which waits a minute per map on some releases
// when nothing answers; serveWithYpserv() puts it back for a running ypserv.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sandbox.h"

struct NisSandbox {
  Sandbox box;
  const std::string maps = "/var/yp/kdl.test";
  const std::string src = "/var/yp/ypfiles";
  std::string dbload;  // the host's own line, which clears ypserv's cache

  explicit NisSandbox(bool withShadow = true) {
    box.sh("mkdir -p " + maps + " " + src);
    std::string makefile = box.read("/var/yp/Makefile");
    replace(makefile, "YPSRCDIR = /etc\n", "YPSRCDIR = " + src + "\n");
    replace(makefile, "YPPWDDIR = /etc\n", "YPPWDDIR = " + src + "\n");
    replace(makefile, "passwd:    \tpasswd.byname passwd.byuid\n",
            "passwd:    \tpasswd.byname passwd.byuid $(if $(wildcard $(SHADOW)),shadow.byname)\n");
    dbload = makefile.substr(makefile.find("\nDBLOAD = ") + 1);
    dbload.erase(dbload.find('\n') + 1);
    std::string alone = dbload;
    replace(alone, "/makedbm -c ", "/makedbm ");
    replace(makefile, dbload, alone);
    box.write("/var/yp/Makefile", makefile);
    box.write(src + "/passwd",
              "root:x:0:0:root:/root:/bin/bash\n"
              "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash\n"
              "bob:x:1002:1002:Bob:/home/bob:/bin/sh\n");
    if (withShadow)
      box.write(src + "/shadow",
                "root:*:19000:0:99999:7:::\n"
                "alice:$6$salt$alicehash:19001:0:99999:7:::\n"
                "bob:!!:19002:1:90:14:30:20000:\n",
                0600);
    box.write(src + "/group",
              "root:x:0:\n"
              "staff:x:1001:alice,bob\n"
              "staffers:x:1003:\n"
              "devs:x:1002:bob\n");
    rebuild();
  }

  // A running ypserv keeps maps open: each rebuild must tell it to let go.
  void serveWithYpserv() {
    std::string makefile = box.read("/var/yp/Makefile");
    std::string alone = dbload;
    replace(alone, "/makedbm -c ", "/makedbm ");
    replace(makefile, alone, dbload);
    box.write("/var/yp/Makefile", makefile);
  }

  static void replace(std::string& text, const std::string& from, const std::string& to) {
    auto at = text.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    text.replace(at, from.size(), to);
  }

  void rebuild() {
    RunResult r = box.sh("cd " + maps + " && make -f /var/yp/Makefile passwd group >/dev/null 2>&1");
    ASSERT_EQ(0, r.status) << r.err;
  }

  // The shim as the engine runs it for the NIS backend.
  RunResult run(const std::string& event, const Argv& flags = {}, const Env& env = {}) {
    Argv args{"-n", "nis", "-d", maps, "-y", src};
    args.insert(args.end(), flags.begin(), flags.end());
    args.push_back("-p");
    args.push_back(event);
    return box.shim(args, env);
  }

  // Every entry of a map, bookkeeping keys included.
  std::map<std::string, std::string> dump(const std::string& map) {
    RunResult r = box.sh("/usr/lib/yp/makedbm -u " + maps + "/" + map);
    std::map<std::string, std::string> entries;
    for (const auto& line : splitLines(r.out)) {
      auto cut = line.find_first_of(" \t");
      if (cut == std::string::npos)
        entries[line] = "";
      else
        entries[line.substr(0, cut)] = line.substr(cut + 1);
    }
    return entries;
  }
  std::string value(const std::string& map, const std::string& key) {
    auto entries = dump(map);
    auto it = entries.find(key);
    return it == entries.end() ? "" : it->second;
  }
  std::string source(const std::string& file, const std::string& name) {
    return box.entry(src + "/" + file, name);
  }
  std::vector<std::string> sourceLines(const std::string& file) { return box.lines(src + "/" + file); }
  // Adds lines to a source file behind the shim's back (the maps are not
  // rebuilt); shadow keeps its private mode.
  void addSource(const std::string& file, const std::string& lines) {
    box.write(src + "/" + file, box.read(src + "/" + file) + lines, file == "shadow" ? 0600 : 0644);
  }
  // The three source files as one text, to tell whether any changed.
  std::string sources() {
    return box.read(src + "/passwd") + box.read(src + "/shadow") + box.read(src + "/group");
  }
};
