#include "files/files_command.h"

#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"

namespace {

constexpr FilesTool row(int kind, const char* tool,
                        std::initializer_list<std::pair<int, const char*>> options) {
  FilesTool t{kind, tool, {}};
  for (auto& p : t.prefixes) p = "";
  for (const auto& [field, prefix] : options) t.prefixes[field] = prefix;
  return t;
}

constexpr std::initializer_list<std::pair<int, const char*>> kAccountOptions = {
    {kUid, "-u "}, {kGid, "-g "},      {kGecos, "-c "}, {kHome, "-d "},
    {kShell, "-s "}, {kInactive, "-f "}, {kExpire, "-e "}};

}  // namespace

const std::array<FilesTool, 10> kFilesTools = {
    row(kUserAddCommand, "useradd", kAccountOptions),
    row(kChageCommand, "chage", {{kMinDays, "-m "}, {kMaxDays, "-M "}, {kWarnDays, "-W "}}),
    row(kUserModCommand, "usermod", kAccountOptions),
    row(kUserDelCommand, "userdel", {}),
    row(kGroupAddCommand, "groupadd", {{kGid, "-g "}}),
    row(kNoToolCommand, "", {}),
    row(kGroupModCommand, "groupmod", {{kGid, "-g "}}),
    row(kGroupDelCommand, "groupdel", {}),
    row(kUserRenameCommand, "usermod", {{kNewName, "-l "}}),
    row(kGroupRenameCommand, "groupmod", {{kNewName, "-n "}}),
};

FilesBuild constructFilesCommand(std::string& out, int kind, const EventRecord& record,
                                 std::string_view prefix, std::string_view suffix) {
  out.clear();
  constexpr const char* me = "constructFilesCommand";
  if (kind < 0 || kind >= static_cast<int>(kFilesTools.size()))
    return failAt(me, FilesBuild::kToolMissing);
  const FilesTool& tool = kFilesTools[kind];
  if (tool.tool[0] == '\0') return failAt(me, FilesBuild::kToolMissing);
  std::string dir;
  if (searchPath(tool.tool, &dir) != kOk) return failAt(me, FilesBuild::kToolMissing);

  out = dir + tool.tool + " ";
  out += prefix;
  bool emitted = false;
  for (int i = 1; i < kFieldCount; ++i) {
    const char* option = tool.prefixes[i];
    if (option[0] == '\0' || !record.has(i) || record.field(i) == "*") continue;
    out += " ";
    out += option;
    out += "\"" + quoteDoubleQuoted(record.field(i)) + "\" ";
    bool idOption = ((kind == kUserAddCommand || kind == kUserModCommand) && i == kUid) ||
                    ((kind == kGroupAddCommand || kind == kGroupModCommand) && i == kGid);
    if (idOption && record.nonUniqueId) out += " -o ";
    emitted = true;
  }
  out += suffix;
  out += quoteBareWord(record.field(kName));

  if (prefix.size() >= kAffixCapacity || suffix.size() >= kAffixCapacity ||
      out.size() >= kCommandCapacity) {
    out.clear();
    return failAt(me, FilesBuild::kRefused);
  }
  if (!emitted && kind != kUserDelCommand && kind != kGroupDelCommand) {
    out.clear();
    return FilesBuild::kNothingToBuild;
  }
  return FilesBuild::kBuilt;
}

int runFilesStep(const char* routine, const FilesStep& step, const EventRecord& record,
                 bool* built) {
  std::string command;
  FilesBuild outcome = constructFilesCommand(command, step.kind, record, step.prefix, step.suffix);
  *built = outcome == FilesBuild::kBuilt;
  if (outcome == FilesBuild::kRefused) return failAt(routine, kErrArgument);
  if (!*built) return kOk;
  int ran = runLoggedToCompletion(step.logName, command);
  if (ran != kOk) return failAt(routine, ran);
  return kOk;
}

int runOnlyFilesStep(const char* routine, const FilesStep& step, const EventRecord& record) {
  bool built = false;
  int result = runFilesStep(routine, step, record, &built);
  if (result != kOk) return result;
  if (!built) return failAt(routine, kErrOther);
  return kOk;
}
