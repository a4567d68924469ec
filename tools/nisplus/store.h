// The file-backed table store behind the stand-in table tools (nistbladm,
// nismatch, niscat, nislog). It keeps passwd.org_dir and group.org_dir, one
// entry per line, and a transaction log that nislog prints. These tools exist
// only for tests: this platform has no table service of its own.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace standin {

// Directory of the tables: $NISPLUS_STANDIN_DIR, else kDefaultStoreDir.
constexpr const char* kStoreDirVariable = "NISPLUS_STANDIN_DIR";
constexpr const char* kDefaultStoreDir = "/var/nis/standin";
std::string storeDirectory();

struct TableLayout {
  const char* name;     // "passwd.org_dir"
  const char* logType;  // the table type the log names, "passwd_tbl"
  std::vector<std::string> columns;  // column 0 is the key, "name"
};

// nullptr for a table this store does not keep.
const TableLayout* findTable(const std::string& name);
// Index of a column, or -1.
int columnIndex(const TableLayout& table, const std::string& column);

using Row = std::vector<std::string>;

// Columns joined by ":", as nismatch and niscat print an entry.
std::string joinRow(const Row& row);

enum class LogOp { kAdd, kRemove };
struct LogEntry {
  LogOp op;
  const TableLayout* table;
  Row row;
};

// One entry of the log as nislog prints it: a header with its sequence
// number and XID, the entry type, the table type, one line per column with
// the value between single quotes ("(nil)" when empty) and a line of dots.
std::string formatLogEntry(long sequence, long xid, const LogEntry& entry, std::time_t when);
// The whole nislog output: the preamble with the "Current XID" line, then
// the stored entries.
std::string formatLog(long currentXid, long updates, const std::string& entries);

// Error of a table operation; the tools print it and exit non-zero.
struct StoreError {
  std::string message;
};

// An open store: holds an exclusive lock on the directory for its lifetime,
// so one tool run sees and changes the tables as one step.
class Store {
 public:
  explicit Store(std::string directory);  // creates the directory when missing
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  std::vector<Row> rows(const TableLayout& table) const;
  void save(const TableLayout& table, const std::vector<Row>& rows) const;

  // Records the entries as one transaction under a new XID; returns it.
  long commit(const std::vector<LogEntry>& entries, std::time_t when = std::time(nullptr));
  long currentXid() const;
  // What nislog prints.
  std::string log() const;

 private:
  void readCounters(long* xid, long* sequence) const;

  std::string dir_;
  int lockFd_ = -1;
};

}  // namespace standin
