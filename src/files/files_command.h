// The tool table of the files backend and the builder of its command lines,
// shared by the user and the group commands.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "core/event_record.h"
#include "core/runner.h"

// Pieces of a command line are held to the size the engine's tools were
// written for; a longer piece is refused, never cut.
constexpr std::size_t kAffixCapacity = 256;

enum FilesCommandKind : int {
  kUserAddCommand = 0,
  kChageCommand = 1,
  kUserModCommand = 2,
  kUserDelCommand = 3,
  kGroupAddCommand = 4,
  kNoToolCommand = 5,  // membership: changed member by member, no tool of its own
  kGroupModCommand = 6,
  kGroupDelCommand = 7,
  kUserRenameCommand = 8,
  kGroupRenameCommand = 9,
};

struct FilesTool {
  int kind;
  const char* tool;  // "" when the row has no tool
  // Option prefix per record field; "" means the field is never passed.
  std::array<const char*, kFieldCount> prefixes;
};

extern const std::array<FilesTool, 10> kFilesTools;

// What the builder made of a row.
enum class FilesBuild {
  kBuilt,           // the command line is in the buffer
  kNothingToBuild,  // no option given and the row is not a delete (untraced)
  kToolMissing,     // the row names no tool, or the tool is not found (traced);
                    // the handler goes on as when nothing was built
  kRefused,         // the line, prefix or suffix would not fit (traced): the
                    // handler must fail rather than skip the command
};

// Builds the command line of one row of the tool table: the tool's full path,
// the prefix, one option per given field (a field given as "*", or absent,
// is left out; the id option takes " -o " after it for a non-unique id), the
// suffix and the name. Each value is double-quoted and escaped so that it
// reaches the tool verbatim. The buffer is empty unless the line was built.
FilesBuild constructFilesCommand(std::string& out, int kind, const EventRecord& record,
                                 std::string_view prefix, std::string_view suffix);

// One step of a handler: a row of the tool table with the debug log's tag of
// its command and the texts around its options.
struct FilesStep {
  int kind;
  const char* logName;
  std::string_view prefix = "";
  std::string_view suffix = "";
};
// Builds the step's command and runs it when there is one; *built tells
// whether a command was made. Non-zero, traced with the routine's name, only
// when the command ran and failed, or was refused (-3).
int runFilesStep(const char* routine, const FilesStep& step, const EventRecord& record,
                 bool* built);
// The same for the only step of a handler: nothing built fails it (-11).
int runOnlyFilesStep(const char* routine, const FilesStep& step, const EventRecord& record);
