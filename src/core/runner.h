// Running host tools: finding them in the fixed directory list, running a
// shell command line (or an argument vector) and mapping the exit status.
#pragma once

#include <csignal>
#include <cstddef>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

// Command lines are held to the size the engine's tools were written for; a
// longer line is refused, never cut.
constexpr std::size_t kCommandCapacity = 1024;

// The running command child, read by the SIGTERM handler (0 when none).
extern volatile sig_atomic_t childPid;
// Set while that child is a tool that writes several files in a row: the
// SIGTERM handler gives it time to finish before it stops it.
extern volatile sig_atomic_t childFinishes;

// The tool directories, in search order, each with its trailing "/".
extern const char* const kToolDirectories[5];

// Extra environment for one child, e.g. a password handed to an awk program
// through ENVIRON so that it never shows in an argument list.
using ChildEnvironment = std::vector<std::pair<std::string, std::string>>;

// 0 and the directory (with its trailing "/") that holds the tool; -2 when
// no directory has it; -3 for a missing argument.
int searchPath(const char* toolName, std::string* dirOut);

// Runs a shell command line through "/bin/sh -c". 0 when it exits 0,
// otherwise the mapped result (see mapToolExit), -2 for a fork or wait failure
// or death by a signal. -3 when the command is missing.
int qvSystem(const char* command, const ChildEnvironment& env = {});
inline int qvSystem(const std::string& command, const ChildEnvironment& env = {}) {
  return qvSystem(command.c_str(), env);
}
// As qvSystem, for a tool that rewrites several files in a row (useradd and
// its kin, the map rebuild): a SIGTERM to the shim gives it a few seconds to
// finish before it is stopped.
int qvSystemToCompletion(const std::string& command, const ChildEnvironment& env = {});
// Runs a program directly with an argument vector (argv[0] included).
int qvSystem(const std::string& program, const std::vector<std::string>& argv,
             const ChildEnvironment& env = {});

// A command line as every step runs one: refused with kErrArgument when it
// does not fit kCommandCapacity (nothing logged, nothing run), otherwise
// logged under the routine's name when debugging ("<routine>:<command>:")
// and run. kOk, or qvSystem's code.
int runLogged(const char* routine, const std::string& command, const ChildEnvironment& env = {});
// The same through qvSystemToCompletion.
int runLoggedToCompletion(const char* routine, const std::string& command,
                          const ChildEnvironment& env = {});
// As runLogged for the steps that answer any failure of the command itself
// with kErrOther (a line too long is still kErrArgument).
int runLoggedOrOther(const char* routine, const std::string& command);

// Exit status of an account tool to a result code.
int mapToolExit(int exitStatus);

// Modification time in seconds, or -2 when the path cannot be examined.
long fileMtime(const char* path);
inline long fileMtime(const std::string& path) { return fileMtime(path.c_str()); }
