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

int constructFilesCommand(std::string& out, int kind, const EventRecord& record,
                          std::string_view prefix, std::string_view suffix, int nonUniqueId,
                          bool* refused) {
  if (refused != nullptr) *refused = false;
  out.clear();
  auto fail = [&](int code) {
    traceError("constructFilesCommand");
    return code;
  };
  if (kind < 0 || kind >= static_cast<int>(kFilesTools.size())) return fail(kErrArgument);
  const FilesTool& tool = kFilesTools[kind];
  if (tool.tool[0] == '\0') return fail(kErrArgument);
  std::string dir;
  int found = searchPath(tool.tool, &dir);
  if (found != kOk) return fail(found);

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
    if (idOption && nonUniqueId) out += " -o ";
    emitted = true;
  }
  out += suffix;
  out += quoteBareWord(record.field(kName));

  if (prefix.size() >= kAffixCapacity || suffix.size() >= kAffixCapacity ||
      out.size() >= kCommandCapacity) {
    out.clear();
    if (refused != nullptr) *refused = true;
    return fail(kErrArgument);
  }
  if (!emitted && kind != kUserDelCommand && kind != kGroupDelCommand) {
    out.clear();
    return kErrArgument;
  }
  return kOk;
}
