// Turning an event into one nistbladm command line: the column table (which
// fields each kind of command writes, under which column names) and the
// trailers that name the entry and the table.
#pragma once

#include <string>

#include "core/event_record.h"
#include "core/runner.h"

enum NisplusRow : int {
  kNisplusUserAdd = 0,
  kNisplusUserModify,
  kNisplusUserDelete,
  kNisplusGroupAdd,
  kNisplusGroupModify,
  kNisplusGroupDelete,
  kNisplusUserRename,
  kNisplusGroupRename,
};

struct NisplusColumns {
  const char* command;    // "nistbladm -a "
  const char* keyPrefix;  // "name=" or "[name="
  // Column prefix per event field; "" where the field is not written.
  // Index 8 marks a row whose command carries the shadow column.
  const char* prefix[kFieldCount];
};

extern const NisplusColumns kNisplusColumns[8];

// Writes the command line for the record into *out: the nistbladm path, the
// row's command text, the column pairs and the trailer for the command code.
// 0; the searchPath code; -3 for a command code without a trailer, a key
// that the indexed entry name cannot hold ("]" or ",") or a line longer than
// the 1024-byte command buffer. Values are quoted for the shell so they
// cannot change the command.
int constructNisplusCommand(std::string* out, const EventRecord& record, int row, int command);

// Builds the row's command for the record and runs it (logged for debugging
// under the routine's name). 0, or the failing code.
int runNisplusCommand(const char* routine, const EventRecord& record, int row);

// The existence test: "<nismatch dir>/nismatch <column>="<value>" <table> |
// <awk dir>/awk '...exit 1 when nothing matched'". 1 when an entry matched,
// 0 when the run failed (nothing matched), -3 for an overlong line.
int nisplusEntryExists(const char* routine, const std::string& nismatchDir, const std::string& awkDir,
                       const char* column, const std::string& value, const char* table);

// The checks before an add: the name must be new (-4) and, unless -o, so
// must the id in idColumn (-10). 0, or the failing code; the tool searches
// are made before each check.
int refuseExistingEntry(const char* routine, const EventRecord& record, const char* idColumn,
                        const std::string& idValue, const char* table);
