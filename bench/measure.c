/* Runs one command and reports its wall time, its exit status and the peak
 * resident memory of that process alone, never of the tools it starts:
 *   measure REPORT COMMAND [ARG...]
 * writes "SECONDS STATUS OWN_KIB TREE_KIB" into REPORT, where
 *   OWN_KIB   is VmHWM of /proc/PID/status, read while the process is held
 *             at its exit (ptrace exit stop, after its last allocation and
 *             before its memory is released);
 *   TREE_KIB  is ru_maxrss of wait4, which Linux takes as the largest of the
 *             process and every descendant it waited for: what GNU time's %M
 *             reports, shown only for comparison.
 * Only the command itself is traced (no fork tracing), and it stops only at
 * signals and at its exit, so the tracing costs nothing measurable.
 * STATUS is the exit status, or 128 + the signal that ended the process.
 * Standard input, output and error are the caller's. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long ownPeakKib(pid_t pid) {
  char path[64], line[256];
  long kib = -1;
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE* f = fopen(path, "r");
  if (f == NULL) return -1;
  while (fgets(line, sizeof line, f) != NULL)
    if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, NULL, 10);
  fclose(f);
  return kib;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure REPORT COMMAND [ARG...]\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) return perror("fork"), 2;
  if (pid == 0) {
    if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) _exit(126);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  long own = -1;
  int status = 0, first = 1;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  for (;;) {
    pid_t got = wait4(pid, &status, 0, &usage);
    if (got < 0) {
      if (errno == EINTR) continue;
      return perror("wait4"), 2;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    if (!WIFSTOPPED(status)) continue;
    int sig = WSTOPSIG(status);
    if (first && sig == SIGTRAP) {  /* the stop after execve */
      first = 0;
      ptrace(PTRACE_SETOPTIONS, pid, NULL, (void*)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL));
      ptrace(PTRACE_CONT, pid, NULL, NULL);
    } else if (sig == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
      own = ownPeakKib(pid);
      ptrace(PTRACE_CONT, pid, NULL, NULL);
    } else if (sig == SIGTRAP && (status >> 16) != 0) {  /* a later execve */
      ptrace(PTRACE_CONT, pid, NULL, NULL);
    } else {
      ptrace(PTRACE_CONT, pid, NULL, (void*)(long)sig);  /* hand the signal on */
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double secs = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* report = fopen(argv[1], "w");
  if (report == NULL) return perror(argv[1]), 2;
  fprintf(report, "%.4f %d %ld %ld\n", secs, code, own, usage.ru_maxrss);
  fclose(report);
  return 0;
}
