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
  kNoToolCommand = 5,
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

// Builds the command line of one row of the tool table: the tool's full path,
// the prefix, one option per given field (a field given as "*", or absent,
// is left out), the suffix and the name. Each value is double-quoted and
// escaped so that it reaches the tool verbatim.
//   0: built;
//   -3 untraced: no option at all and the row is not a delete (nothing to do);
//   -3 traced: the row has no tool, or the line would not fit (then *refused
//      is set: the caller must fail rather than skip the command);
//   the searchPath code, traced, when the tool is not found.
int constructFilesCommand(std::string& out, int kind, const EventRecord& record,
                          std::string_view prefix, std::string_view suffix, int nonUniqueId,
                          bool* refused = nullptr);
