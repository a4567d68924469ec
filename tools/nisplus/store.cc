#include "store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {

namespace {

const TableLayout kTables[] = {
    {"passwd.org_dir", "passwd_tbl", {"name", "passwd", "uid", "gid", "gcos", "home", "shell", "shadow"}},
    {"group.org_dir", "group_tbl", {"name", "passwd", "gid", "members"}},
};

// Table files hold one entry per line, columns separated by tabs; a value's
// backslashes, tabs and line breaks are escaped so any text survives.
std::string escapeValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

Row parseLine(const std::string& line) {
  Row row(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\t') {
      row.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      char n = line[++i];
      row.back().push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n);
    } else {
      row.back().push_back(c);
    }
  }
  return row;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Replaces a file as a whole, so a reader never sees half of it.
void writeFile(const std::string& path, const std::string& content) {
  std::string tmp = path + ".new";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) throw StoreError{"cannot write " + tmp + ": " + std::strerror(errno)};
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    throw StoreError{"cannot write " + path};
  }
}

}  // namespace

std::string storeDirectory() {
  const char* dir = std::getenv(kStoreDirVariable);
  return dir != nullptr && *dir != '\0' ? dir : kDefaultStoreDir;
}

const TableLayout* findTable(const std::string& name) {
  for (const auto& table : kTables)
    if (name == table.name) return &table;
  return nullptr;
}

int columnIndex(const TableLayout& table, const std::string& column) {
  for (std::size_t i = 0; i < table.columns.size(); ++i)
    if (table.columns[i] == column) return static_cast<int>(i);
  return -1;
}

std::string joinRow(const Row& row) {
  std::string out;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) out.push_back(':');
    out += row[i];
  }
  return out;
}

std::string formatLogEntry(long sequence, long xid, const LogEntry& entry, std::time_t when) {
  char head[128];
  std::snprintf(head, sizeof head, "#%05ld, XID : %ld\n", sequence, xid);
  char stamp[64];
  struct tm tmv;
  gmtime_r(&when, &tmv);
  std::strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y", &tmv);
  std::string out = head;
  out += std::string("\tTime        : ") + stamp + "\n";
  out += "\tDirectory   : org_dir\n";
  out += std::string("\tEntry type  : ") + (entry.op == LogOp::kAdd ? "ADD Entry" : "REMOVE Entry") + "\n";
  out += "\tEntry owner : root\n";
  out += std::string("\tTable type  : ") + entry.table->logType + "\n";
  out += "\tColumns     : " + std::to_string(entry.table->columns.size()) + "\n";
  for (std::size_t i = 0; i < entry.table->columns.size(); ++i) {
    const std::string value = i < entry.row.size() ? entry.row[i] : "";
    // Four words before the value, so a value never stands as the fourth
    // blank-separated field of the line.
    if (value.empty())
      out += "\t[" + std::to_string(i) + "] - [0 bytes] '(nil)'\n";
    else
      out += "\t[" + std::to_string(i) + "] - [" + std::to_string(value.size()) + " bytes] '" + value +
             "'\n";
  }
  out += "...............................................\n";
  return out;
}

std::string formatLog(long currentXid, long updates, const std::string& entries) {
  std::string out = "NIS Log printing facility.\nNIS Log dump :\n";
  out += "\tLog state : STABLE\n";
  out += "\tNumber of updates : " + std::to_string(updates) + "\n";
  out += "\tCurrent XID : " + std::to_string(currentXid) + "\n";
  out += "\tDumping log entries :\n";
  out += entries;
  return out;
}

Store::Store(std::string directory) : dir_(std::move(directory)) {
  if (mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST)
    throw StoreError{"cannot create " + dir_ + ": " + std::strerror(errno)};
  std::string lock = dir_ + "/.lock";
  lockFd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) throw StoreError{"cannot open " + lock + ": " + std::strerror(errno)};
  while (flock(lockFd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(lockFd_);
      throw StoreError{"cannot lock " + lock};
    }
  }
}

Store::~Store() {
  if (lockFd_ >= 0) close(lockFd_);  // releases the lock
}

std::vector<Row> Store::rows(const TableLayout& table) const {
  std::vector<Row> out;
  std::istringstream in(readFile(dir_ + "/" + table.name));
  std::string line;
  while (std::getline(in, line)) {
    Row row = parseLine(line);
    row.resize(table.columns.size());
    out.push_back(std::move(row));
  }
  return out;
}

void Store::save(const TableLayout& table, const std::vector<Row>& rows) const {
  std::string content;
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) content.push_back('\t');
      content += escapeValue(row[i]);
    }
    content.push_back('\n');
  }
  writeFile(dir_ + "/" + table.name, content);
}

void Store::readCounters(long* xid, long* sequence) const {
  *xid = 0;
  *sequence = 0;
  std::istringstream in(readFile(dir_ + "/xid"));
  in >> *xid >> *sequence;
  if (!in) *sequence = 0;
}

long Store::commit(const std::vector<LogEntry>& entries, std::time_t when) {
  long xid, sequence;
  readCounters(&xid, &sequence);
  ++xid;
  std::string text;
  for (const LogEntry& entry : entries) text += formatLogEntry(++sequence, xid, entry, when);
  int fd = open((dir_ + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) throw StoreError{"cannot open the log"};
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = (close(fd) == 0) && ok;
  if (!ok) throw StoreError{"cannot write the log"};
  writeFile(dir_ + "/xid", std::to_string(xid) + " " + std::to_string(sequence) + "\n");
  return xid;
}

long Store::currentXid() const {
  long xid, sequence;
  readCounters(&xid, &sequence);
  return xid;
}

std::string Store::log() const {
  long xid, sequence;
  readCounters(&xid, &sequence);
  return formatLog(xid, sequence, readFile(dir_ + "/log"));
}

}  // namespace standin
