#include "publisher/event_output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "core/answer_output.h"
#include "core/line_reader.h"
#include "core/result.h"
#include "core/trace.h"
#include "core/unique_fd.h"

namespace {

enum class Part { kUserDeletions, kGroupDeletions, kGroups, kUsers, kMembers };

// The colon-separated field number (from 1) of a line; empty past its end.
std::string_view field(std::string_view line, int number) {
  for (int i = 1; i < number; ++i) {
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    line.remove_prefix(colon + 1);
  }
  return line.substr(0, line.find(':'));
}

bool isGroupLine(std::string_view line) { return line.starts_with("addGroup") || line.starts_with("modifyGroup"); }

bool isUserLine(std::string_view line) {
  return line.starts_with("addUser") || line.starts_with("modifyUser") || line.starts_with("modifyPassword");
}

// The lines go out through the answer path, which keeps the first failure.
struct Printer {
  bool add(std::string_view text) { return answerText(text); }
};

bool printLine(Printer& out, Part part, std::string_view line) {
  switch (part) {
    case Part::kUserDeletions:
      if (!line.starts_with("deleteUser")) return true;
      break;
    case Part::kGroupDeletions:
      if (!line.starts_with("deleteGroup")) return true;
      break;
    case Part::kUsers:
      if (!isUserLine(line)) return true;
      break;
    case Part::kGroups:
      if (!isGroupLine(line)) return true;
      for (int i = 1; i <= 4; ++i)
        if (!out.add(field(line, i)) || !out.add(":")) return false;
      return out.add("\n");
    case Part::kMembers:
      if (!isGroupLine(line)) return true;
      return out.add("modifyGroup:") && out.add(field(line, 2)) && out.add(":::") && out.add(field(line, 5)) &&
             out.add("\n");
  }
  return out.add(line) && out.add("\n");
}

// One part: the whole file read from its start, line by line (a last line
// without its line break is a line all the same). kOk, or kErrArgument when
// reading or printing fails (the code of the awk that printed these lines
// before).
int printPart(int fd, Part part, Printer& out) {
  LineReader lines(fd);
  std::string line;
  bool ended;
  while (lines.next(&line, &ended))
    if (!printLine(out, part, line)) return kErrArgument;
  return lines.failed() ? kErrArgument : kOk;
}

int printReordered(const char* path) {
  UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return kErrArgument;
  // A reader that has gone is told by the write's result, not by a signal
  // that would end the poll before its clean-up.
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &saved);
  Printer out;
  int result = kOk;
  for (Part part : {Part::kUserDeletions, Part::kGroupDeletions, Part::kGroups, Part::kUsers, Part::kMembers})
    if (result == kOk) result = printPart(fd.get(), part, out);
  int error = 0;
  if (flushAnswer(&error) != kOk) result = error == EPIPE ? kErrNotFound : kErrArgument;
  sigaction(SIGPIPE, &saved, nullptr);
  return result;
}

// The events were printed by an awk child once: a failure to print them
// still names the runner in the trace, the one place this step does so.
int printFailure(int result) { return failAt("qvSystem", result); }

}  // namespace

int displayPublisherEvents(const char* path) {
  int result = printReordered(path);
  if (result != kOk) result = printFailure(result);
  unlink(path);
  if (result != kOk) return failAt("displayPublisherEvents", result);
  return kOk;
}
