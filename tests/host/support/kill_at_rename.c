/* Preloaded into the shim by a host test: the process kills itself with
   SIGKILL just before it renames the file named by KDL2NIS_KILL_AT_RENAME,
   as a crash at that very moment would. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

int rename(const char* from, const char* to) {
  const char* at = getenv("KDL2NIS_KILL_AT_RENAME");
  if (at != NULL && strcmp(from, at) == 0) raise(SIGKILL);
  int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  return real(from, to);
}
