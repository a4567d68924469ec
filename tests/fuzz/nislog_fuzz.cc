// The NIS+ poll's two nawk programs, run by the host's nawk on transaction
// logs made from the input (any column values, transactions of additions,
// removals and both), against a model of what each transaction must give:
// the event lines, in order, and one password lookup per user, asked for
// exactly that user's name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "fuzz_support.h"
#include "publisher/nisplus_poll.h"
#include "store.h"

namespace {

using standin::LogEntry;
using standin::LogOp;
using standin::Row;

std::string dir;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void script(const std::string& name, const std::string& text) {
  std::ofstream(dir + "/" + name) << text;
  chmod((dir + "/" + name).c_str(), 0755);
}

// The value as the log shows it, and as an event line carries it.
std::string logged(const std::string& v) { return v.empty() ? "(nil)" : v; }
std::string carried(const std::string& v) { return v.empty() || v == "(nil)" ? "" : v; }

struct Model {
  std::vector<std::string> lines;
  std::string asked;
  std::string held;  // a removal waiting to be known as part of a modification
  std::string heldName;
  bool holding = false;

  void release() {
    if (holding) lines.push_back(held);
    holding = false;
  }
  // The line of one entry; rename is the modification of a removal of
  // another name.
  std::string line(const std::string& op, bool user, const Row& row, const std::string& renamedFrom = "") {
    std::string out = op + (user ? "User" : "Group");
    if (op == "rename")
      out += ":" + renamedFrom + "," + logged(row[0]) + ":";
    else
      out += ":" + carried(row[0]);
    if (user && op != "delete" && !carried(row[1]).empty()) {
      out += ":secret";
      asked += "name=" + logged(row[0]) + "\n";
    } else {
      out += ":";
    }
    for (std::size_t i = 2; i < (user ? 7u : 4u); ++i) out += ":" + carried(row[i]);
    if (user) out += carried(row[7]).empty() ? std::string("::::::::") : "::" + row[7];
    return out;
  }
  void add(bool user, const Row& row) {
    release();
    lines.push_back(line("add", user, row));
  }
  void remove(bool user, const Row& row) {
    release();
    held = line("delete", user, row);
    heldName = logged(row[0]);
    holding = true;
  }
  // The addition that follows a removal in one transaction.
  void replace(bool user, const Row& row) {
    lines.push_back(logged(row[0]) == heldName ? line("modify", user, row) : line("rename", user, row, heldName));
    holding = false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dir = enterScratchDirectory("nislog");
  script("nislog", "#!/bin/sh\nexec cat '" + dir + "/nislog.out'\n");
  script("nismatch", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + dir + "/asked'\nprintf 'x:secret:y\\n'\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const standin::TableLayout* tables[2] = {standin::findTable("group.org_dir"), standin::findTable("passwd.org_dir")};
  // The first byte picks the last published XID. Then texts separated by
  // zero bytes: a transaction is a kind text (its first byte: bit 0 a user,
  // bits 1-2 addition, removal or both, bit 3 the addition keeps the name)
  // and the column values of its rows.
  std::vector<std::string> texts = splitAtZeros(data + 1, size - 1);
  for (auto& t : texts)
    for (auto& c : t)
      if (c == '\n') c = ' ';  // a log line cannot hold a line break
  std::size_t next = 0;
  auto take = [&]() { return next < texts.size() ? texts[next++] : std::string(); };

  struct Transaction {
    int kind;  // 0 addition, 1 removal, 2 removal and addition
    bool user;
    Row removed, added;
  };
  std::vector<Transaction> transactions;
  while (next < texts.size() && transactions.size() < 8) {
    std::string kindText = take();
    unsigned char k = kindText.empty() ? 0 : static_cast<unsigned char>(kindText[0]);
    Transaction t{((k >> 1) & 3) % 3, (k & 1) != 0, {}, {}};
    std::size_t columns = tables[t.user]->columns.size();
    Row& first = t.kind == 0 ? t.added : t.removed;
    for (std::size_t i = 0; i < columns; ++i) first.push_back(take());
    if (t.kind == 2) {
      t.added.push_back((k & 8) ? t.removed[0] : take());
      for (std::size_t i = 1; i < columns; ++i) t.added.push_back(take());
    }
    transactions.push_back(std::move(t));
  }

  const long lastXid = data[0] % (transactions.size() + 2);
  std::string entries;
  long sequence = 0;
  Model model;
  for (std::size_t x = 0; x < transactions.size(); ++x) {
    const Transaction& t = transactions[x];
    const long xid = static_cast<long>(x) + 1;
    const bool selected = xid > lastXid;
    if (t.kind != 0) {
      entries += standin::formatLogEntry(++sequence, xid, LogEntry{LogOp::kRemove, tables[t.user], t.removed}, 0);
      if (selected) model.remove(t.user, t.removed);
    }
    if (t.kind != 1) {
      entries += standin::formatLogEntry(++sequence, xid, LogEntry{LogOp::kAdd, tables[t.user], t.added}, 0);
      if (selected) {
        if (t.kind == 2)
          model.replace(t.user, t.added);
        else
          model.add(t.user, t.added);
      }
    }
  }
  model.release();
  std::ofstream(dir + "/nislog.out") << standin::formatLog(static_cast<long>(transactions.size()), sequence, entries);

  for (const char* f : {"qvnisplus.xid", "qvnisplus.log", "tempcache", "asked"}) unlink(f);
  if (qvSystem(nislogSelectCommand(dir, "/usr/bin", lastXid)) != kOk) fuzzFail("selector", "0", errorTraceText());
  if (slurp("qvnisplus.xid") != std::to_string(transactions.size()))
    fuzzFail("current XID", std::to_string(transactions.size()), slurp("qvnisplus.xid"));
  if (qvSystem("/usr/bin/nawk", {"nawk", kNislogEventProgram, "qvnisplus.log"}, {{"PATH", dir + ":" + std::getenv("PATH")}}) != kOk)
    fuzzFail("event program", "0", errorTraceText());
  std::string expected;
  for (const auto& l : model.lines) expected += l + "\n";
  if (slurp("tempcache") != expected) fuzzFail("event lines", expected, slurp("tempcache"));
  if (slurp("asked") != model.asked) fuzzFail("password lookups", model.asked, slurp("asked"));
  resetErrorTrace();
  return 0;
}
