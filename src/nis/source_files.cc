#include "nis/source_files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/event_record.h"
#include "core/file_io.h"
#include "core/line_reader.h"
#include "core/map_keys.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/secret.h"
#include "core/shell_quote.h"
#include "core/run_directory.h"
#include "core/trace.h"
#include "core/scratch_file.h"
#include "core/unique_fd.h"
#include "nis/live_map.h"

int sourceLockWaitMs = 60000;

namespace {

// Command lines and record texts live in 1024-byte buffers: a line that
// would not fit is refused rather than cut.
bool fits(const std::string& command) { return command.size() < kCommandCapacity; }
constexpr std::size_t kRecordCapacity = 1024;

// The environment variable that carries a record text to the edit commands.
constexpr const char* kRecordVariable = "NIS_RECORD";

bool isSourceFile(const std::string& fileName) {
  return fileName == "passwd" || fileName == "shadow" || fileName == "group";
}

// The rename output for one file: the new name, then every other field of
// the line unchanged.
std::string renamedFields(const std::string& fileName) {
  int count = fileName == "passwd" ? 7 : fileName == "shadow" ? 9 : 4;
  std::string fields;
  for (int i = 2; i <= count; ++i) fields += "\":\"$" + std::to_string(i);
  return fields;
}

// Gives the edited copy the owner and permission bits of the file it
// replaces; a new file would carry the shim's own restrictive mask.
void keepOwnership(const ScratchFile& copy, const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) != 0) return;
  if (fchown(copy.fd(), st.st_uid, st.st_gid) != 0) return;
  fchmod(copy.fd(), st.st_mode & 07777);
}

}  // namespace

int lockSourceFiles(const std::string& sourceDir, SourceLock& lock) {
  lock.release();
  std::string path = sourceDir + "/.pwd.lock";
  // Made when missing, and closed again before the lock is taken: closing
  // any descriptor of the file would give up a lock held on it.
  if (!UniqueFd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)).valid()) {
    errorLog("lockSourceFiles: cannot open %s", path.c_str());
    return kErrLock;
  }
  // Short steps keep a queue of commands moving; the bound keeps a stuck
  // holder from hanging the engine.
  const int stepMs = 50;
  if (lock.acquire(path, sourceLockWaitMs / stepMs + 1, stepMs) == kOk) return kOk;
  errorLog("lockSourceFiles: %s is locked by another process", path.c_str());
  return kErrLock;
}

namespace {

// The user's lines read here, in one pass, as the awk read printed them:
// every line whose first ":" field is exactly name, each with a newline, as
// much as a record holds. false when the file cannot be read to its end.
bool readMatchingLines(const std::string& path, const std::string& name, std::string* text) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  LineReader reader(fd.get());
  SecretString line;
  line.text.reserve(kRecordCapacity);
  bool ended = false;
  while (reader.next(&line.text, &ended)) {
    if (line.text.compare(0, line.text.find(':'), name) != 0 || text->size() >= kRecordCapacity)
      continue;
    appendWiping(*text, line.text.data(), line.text.size());
    appendWiping(*text, "\n", 1);
  }
  return !reader.failed();
}

// Whether the awk command line that used to read a source file into the
// scratch file would fit its buffer.
bool awkReadFits(const std::string& awkDir, const std::string& name, const std::string& scratch,
                 const std::string& source) {
  static constexpr std::string_view kProgram = "/awk 'BEGIN {FS=\":\"} $1 == \"", kPrint = "\" { print $0 }' > ";
  const std::size_t length = awkDir.size() + kProgram.size() + quoteAwkString(name).size() + kPrint.size() +
                             quoteBareWord(scratch).size() + 1 + quoteBareWord(source).size();
  return length < kCommandCapacity;
}

// A source file that cannot be read to its end fails as awk's read of it
// failed (awk ends with status 2 on a file it cannot open or read): the one
// place that names the runner in the trace for it.
int awkReadFailure() { return failAt("qvSystem", mapToolExit(2)); }

constexpr int kMapUnreadable = -1;

// An id without the zeros it may be written with in front; other text as
// it is.
std::string_view idValue(std::string_view id) {
  if (id.empty() || id.find_first_not_of("0123456789") != std::string_view::npos) return id;
  auto first = id.find_first_not_of('0');
  return first == std::string_view::npos ? id.substr(id.size() - 1) : id.substr(first);
}

// An id map may carry a key written with leading zeros (a source line edited
// by hand): ids are the same when their numbers are.
// 1 when a key of the map is the same id number, 0 when none is, -1 when the
// map cannot be read to the end.
int holdsIdNumber(const DbmFile& map, std::string_view id) {
  std::string_view wanted = idValue(id);
  bool held = false;
  int walked = walkAllKeys(map.get(), [&](std::string_view key) { return !(held = idValue(key) == wanted); });
  if (walked != kOk) return kMapUnreadable;
  return held ? 1 : 0;
}

// The key looked up in the map itself: 1 there, 0 not there, kMapUnreadable
// when gdbm cannot open the map or read it through.
int lookUpKey(const std::string& mapPath, const std::string& key, bool isId) {
  // No lock: a rebuild puts a new map in place of the old one whole.
  DbmFile map = DbmFile::open(mapPath, GDBM_READER | GDBM_NOLOCK, 0);
  if (!map.isOpen()) return kMapUnreadable;
  bool present = false;
  if (map.contains(key, &present) != kOk) return kMapUnreadable;
  if (present) return 1;
  return isId ? holdsIdNumber(map, key) : 0;
}

}  // namespace

int getRecordFromFile(const std::string& name, const std::string& sourceDir,
                      const std::string& fileName, std::string* record, bool* found) {
  record->clear();
  *found = false;
  std::string awkDir;
  int result = searchPath("awk", &awkDir);
  if (result != kOk) return result;
  if (!isSourceFile(fileName)) return kErrArgument;
  // The file used to be read by awk into this scratch file: a name too long
  // for that command line, or a run that cannot make the file, still fails
  // as it did then.
  RunScratchFile scratch(pidName("tmptmp_"));
  if (!awkReadFits(awkDir, name, scratch.path(), sourceDir + "/" + fileName)) return kErrArgument;
  if (scratch.create() != kOk) return kErrOpen;
  SecretString text;
  if (!readMatchingLines(sourceDir + "/" + fileName, name, &text.text)) return awkReadFailure();
  record->assign(text.text, 0, kRecordCapacity - 1);
  if (!record->empty() && record->back() == '\n') record->pop_back();
  *found = true;
  return kOk;
}

namespace {

// The shell's own printf appends a record held in variable: the record is
// never an argument of a program, and unlike echo, printf leaves
// backslashes alone.
std::string appendCommand(const std::string& variable, const std::string& target) {
  return "printf '%s\\n' \"$" + variable + "\" >> " + target;
}

// The edit of one operation: an append in place for the adds, otherwise an
// awk pass from the source file into the scratch copy. Empty for an
// unknown operation.
std::string editCommand(const std::string& operation, const std::string& awk,
                        const std::string& fileName, const std::string& name,
                        const std::string& newName, const std::string& target,
                        const std::string& scratch) {
  std::string quotedName = quoteAwkString(name);
  if (operation == "useradd" || operation == "groupadd") return appendCommand(kRecordVariable, target);
  if (operation == "usermod" || operation == "groupmod")
    return awk + " 'BEGIN {FS=\":\"}       $1 != \"" + quotedName +
           "\" { print $0 };       $1 == \"" + quotedName + "\" { print ENVIRON[\"" +
           kRecordVariable + "\"] }' " + target + " > " + scratch;
  if (operation == "userdel" || operation == "groupdel")
    return awk + " 'BEGIN {FS=\":\"}       $1 != \"" + quotedName + "\" { print $0 }' " +
           target + " > " + scratch;
  if (operation == "userrename" || operation == "grouprename")
    return awk + " 'BEGIN {FS=\":\"}       $1 != \"" + quotedName +
           "\" { print $0 };       $1 == \"" + quotedName + "\" { print \"" +
           quoteAwkString(newName) + "\"" + renamedFields(fileName) + " }' " + target +
           " > " + scratch;
  return std::string();
}

// An append must begin a line of its own: a last line without its newline
// (a file edited by hand) is ended first, or the record would be glued onto
// it and lost to the maps. A file not there yet has no last line.
int endLastLine(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? kOk : kErrOpen;
  struct stat st;
  char last = '\n';
  bool ok = fstat(fd.get(), &st) == 0;
  if (ok && S_ISREG(st.st_mode) && st.st_size > 0) ok = pread(fd.get(), &last, 1, st.st_size - 1) == 1;
  if (ok && last != '\n') ok = writeAll(fd.get(), "\n") == kOk && fsync(fd.get()) == 0;
  ok = fd.close() == kOk && ok;
  return ok ? kOk : kErrOpen;
}

// Moves the edited copy over the source file. Only the copy made for this
// edit ever goes there.
int moveCopyInPlace(ScratchFile& copy, const std::string& move, const std::string& source) {
  if (!copy.stillOurs()) return kErrOpen;
  keepOwnership(copy, source);
  debugCommand("modifyRecordInFile", move);
  // Across file systems mv rewrites the source in place: a stop halfway
  // would leave it cut short, so the move is let finish.
  int result = qvSystemToCompletion(move);
  if (result == kOk) copy.release();
  return result;
}

}  // namespace

int modifyRecordInFile(const std::string& name, const std::string& sourceDir,
                       const std::string& record, const std::string& fileName,
                       const std::string& operation, const std::string& newName) {
  std::string awkDir, mvDir;
  int result = searchPath("awk", &awkDir);
  if (result != kOk) return result;
  result = searchPath("mv", &mvDir);
  if (result != kOk) return result;
  if (!isSourceFile(fileName)) return kErrArgument;
  std::string target = quoteBareWord(sourceDir + "/" + fileName);
  // An append edits in place: it has no copy, and must not touch one that
  // is another command's.
  const bool appends = operation == "useradd" || operation == "groupadd";
  RunScratchFile copy(appends ? std::string() : fileName + ".tmp");
  std::string scratch = quoteBareWord(copy.path());
  std::string command =
      editCommand(operation, awkDir + "awk", fileName, name, newName, target, scratch);
  if (command.empty() || !fits(command)) return kErrArgument;
  std::string move = mvDir + "/mv " + scratch + " " + target;
  if (!fits(move)) return kErrArgument;
  // The edited copy is made here, afresh, before awk writes into it.
  if (!appends && copy.open() != kOk) return kErrOpen;
  if (appends && endLastLine(sourceDir + "/" + fileName) != kOk) return kErrOpen;

  debugCommand("modifyRecordInFile", command);
  // Always set, so that nothing inherited under that name can stand in.
  ChildEnvironment env{{kRecordVariable, record}};
  result = qvSystem(command, env);
  for (auto& [variable, value] : env) wipeString(value);
  if (result != kOk || appends) return result;
  return moveCopyInPlace(copy, move, sourceDir + "/" + fileName);
}

int checkEditCopy(const std::string& fileName) {
  RunScratchFile copy(fileName + ".tmp");
  return copy.create();
}

int appendUserRecords(const std::string& sourceDir, const std::string& passwd, const std::string* shadow) {
  if (endLastLine(sourceDir + "/passwd") != kOk) return kErrOpen;
  if (shadow != nullptr && endLastLine(sourceDir + "/shadow") != kOk) return kErrOpen;
  const std::string shadowVariable = std::string(kRecordVariable) + "_SHADOW";
  std::string command = appendCommand(kRecordVariable, quoteBareWord(sourceDir + "/passwd"));
  ChildEnvironment env{{kRecordVariable, passwd}};
  if (shadow != nullptr) {
    command += " && " + appendCommand(shadowVariable, quoteBareWord(sourceDir + "/shadow"));
    env.emplace_back(shadowVariable, *shadow);
  }
  if (!fits(command)) return kErrArgument;
  debugCommand("modifyRecordInFile", command);
  int result = qvSystemToCompletion(command, env);
  for (auto& [variable, value] : env) wipeString(value);
  return result;
}

namespace {

const char* mapSuffix(const std::string& selector) {
  if (selector == "BYNAME") return ".byname";
  if (selector == "BYUID") return ".byuid";
  if (selector == "BYGID") return ".bygid";
  return nullptr;
}

}  // namespace

int isKeyInMap(const std::string& key, const std::string& mapDir, const std::string& selector,
               const std::string& base) {
  std::string makedbmDir;
  int result = searchPath("makedbm", &makedbmDir);
  if (result != kOk) return result;
  RunScratchFile dump(pidName("tmpmap_"));
  RunScratchFile hits(pidName("tmp_"));
  const char* suffix = mapSuffix(selector);
  if (suffix == nullptr) return kErrArgument;
  // Bookkeeping entries are no accounts, whatever their key.
  if (isMapBookkeepingKey(key) || key.empty()) return kErrNoSuchAccount;
  const std::string map = mapDir + "/" + base + suffix;
  // The map was once read through makedbm's dump into these scratch files:
  // a path too long for that command line, or a name in the way of the
  // files, is refused as it always was.
  std::string command = makedbmDir + "/makedbm -u " + quoteBareWord(map) + " > " + quoteBareWord(dump.path());
  if (!fits(command)) return kErrArgument;
  if (dump.create() != kOk || hits.open() != kOk) return kErrOpen;
  int there = lookUpKey(map, key, selector != "BYNAME");
  if (there >= 0) return there ? kOk : kErrNoSuchAccount;
  // A map that gdbm cannot open, or cannot read through, is never a map
  // without the key: makedbm's dump failed on the first and stopped short,
  // silently, on the second. The one place that names the runner in the
  // trace for it.
  return failAt("qvSystem", kErrOther);
}

int keyPresence(const std::string& key, const std::string& mapDir, const std::string& selector,
                const std::string& base) {
  const std::string suffix = selector == "BYUID" ? ".byuid" : selector == "BYGID" ? ".bygid" : ".byname";
  const std::string path = mapDir + "/" + base + suffix;
  // A second try covers a rebuild that takes the map away again between
  // the wait and the read.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!awaitMap(path)) {
      logCause("keyPresence", "%s does not exist", path.c_str());
      break;
    }
    int result = isKeyInMap(key, mapDir, selector, base);
    if (result == kOk) return 1;
    if (result == kErrNoSuchAccount) return 0;
    if (result != kErrOther) return failAt("keyPresence", result);
  }
  return failAt("keyPresence", kErrOther);
}

int nameInSource(const std::string& name, const std::string& sourceDir,
                 const std::string& fileName) {
  // A source file not made yet holds nobody.
  if (isSourceFile(fileName) && fileMtime(sourceDir + "/" + fileName) == -2) return 0;
  std::string lines;
  bool found = false;
  int result = getRecordFromFile(name, sourceDir, fileName, &lines, &found);
  if (result == kOk && !found) result = kErrOpen;
  bool present = !lines.empty();
  wipeString(lines);
  if (result != kOk) return result;
  return present ? 1 : 0;
}

int sourceLines(const std::string& name, const std::string& sourceDir, const char* fileName,
                std::string* text) {
  text->clear();
  int state = nameInSource(name, sourceDir, fileName);
  if (state <= 0) return state;
  bool found = false;
  int result = getRecordFromFile(name, sourceDir, fileName, text, &found);
  if (result != kOk) return result;
  return found ? 1 : kErrOpen;
}

namespace {

// Field `index` (from 0) of a colon-separated line is empty or all digits.
bool numericField(const std::string& line, int index) {
  std::size_t begin = 0;
  for (int i = 0; i < index; ++i) {
    begin = line.find(':', begin);
    if (begin == std::string::npos) return true;
    ++begin;
  }
  std::size_t end = line.find(':', begin);
  std::string_view field(line.data() + begin, (end == std::string::npos ? line.size() : end) - begin);
  return field.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

int checkSourceLine(const std::string& line, std::string_view file) {
  if (line.size() >= kRecordCapacity || (!line.empty() && line.back() == '\\')) return kErrArgument;
  if (file == "passwd" && !(numericField(line, 2) && numericField(line, 3))) return kErrArgument;
  if (file == "group" && !numericField(line, 2)) return kErrArgument;
  return kOk;
}

int getRecordFromMap(const std::string& mapPath, const std::string& name, std::string* value) {
  value->clear();
  if (!awaitMap(mapPath)) return kErrOther;
  std::string makedbmDir, awkDir;
  int result = searchPath("makedbm", &makedbmDir);
  if (result != kOk) return result;
  result = searchPath("awk", &awkDir);
  if (result != kOk) return result;
  RunScratchFile scratch(pidName("tmp_"));
  // The value is everything after the key and its separator (blank or tab),
  // inner blanks included; the name is compared as text, not as a pattern.
  std::string command =
      makedbmDir + "/makedbm -u " + quoteBareWord(mapPath) + " | " + awkDir +
      "/awk '{ v = $0; sub(/^[^ \\t]*[ \\t]/, \"\", v); n = index(v, \":\"); "
      "if (n > 1 && substr(v, 1, n - 1) == \"" +
      quoteAwkString(name) + "\") { print v; exit } }' > " + quoteBareWord(scratch.path());
  if (!fits(command)) return kErrArgument;
  if (scratch.open() != kOk) return kErrOpen;
  debugCommand("getRecordFromMap", command);
  if (qvSystem(command) != kOk) return kErrOther;
  std::string text;
  if (scratch.readBack(&text) != kOk) return kErrOther;
  // One line of at most 1023 bytes, as a record buffer holds it.
  value->assign(text, 0, std::min(text.find('\n'), kRecordCapacity - 1));
  wipeString(text);
  return value->empty() ? kErrOther : kOk;
}

int rebuildNisMaps(const std::string& mapDir) {
  std::string makeDir;
  int result = searchPath("make", &makeDir);
  if (result != kOk) return result;
  // "&&": make must never run in the wrong directory, where it would build
  // the maps of another domain.
  std::string command = "cd " + quoteBareWord(mapDir) + " && " + makeDir +
                        "/make -f /var/yp/Makefile passwd group >> /dev/null 2>&1";
  if (!fits(command)) return kErrArgument;
  debugCommand("rebuildNisMaps", command);
  if (qvSystemToCompletion(command) == kOk) return kOk;
  logIfMissing("rebuildNisMaps", mapDir.c_str());
  logIfMissing("rebuildNisMaps", "/var/yp/Makefile");
  return kErrNotFound;
}
