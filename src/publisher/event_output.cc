#include "publisher/event_output.h"

#include <unistd.h>

#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"

const char* const kPublisherEventsProgram =
    R"('BEGIN {FS=":";OFS=":" ; i = 0; j = 0;k = 0; l=0 } /^addGroup/ { members[i] = $5;name[i] = $2;grpevt[i] = $1OFS$2OFS$3OFS$4OFS; i++} /^modifyGroup/{members[i]= $5;name[i] = $2;grpevt[i] = $1OFS$2OFS$3OFS$4OFS; i++} /^addUser/ {usrevt[k] = $0; k++} /^modifyUser/ {usrevt[k] = $0; k++} /^modifyPassword/ {usrevt[k] = $0; k++} /^deleteGroup/ {grpdel[j] = $0 ; j++}  /^deleteUser/{usrdel[l] = $0; l++} END{for(cur = 0; cur < l; cur++) printf "%s\n",usrdel[cur];for(cur = 0; cur < j; cur++) printf "%s\n",grpdel[cur];for (cur = 0; cur< i ; cur++) {printf "%s\n",grpevt[cur]};for (cur = 0; cur< k ; cur++) { printf "%s\n",usrevt[cur]};  for (cur = 0; cur < i ; cur++) printf "modifyGroup:%s:::%s\n",name[cur],members[cur]}')";

int displayPublisherEvents(const char* path) {
  std::string dir;
  int result = searchPath("awk", &dir);
  if (result == kOk) {
    std::string command = dir + "/awk " + kPublisherEventsProgram + " " + quoteBareWord(path);
    if (command.size() >= kCommandCapacity) {
      result = kErrArgument;
    } else {
      debugCommand("displayPublisherEvents", command);
      result = qvSystem(command);
    }
  }
  unlink(path);
  if (result != kOk) traceError("displayPublisherEvents");
  return result;
}
