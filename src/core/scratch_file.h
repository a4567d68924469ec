// Files that this process makes for its own use (scratch files, new
// snapshots, the temporary half of a state-file replacement). Each is created
// afresh, never through a link someone planted nor over a file someone else
// left, and is registered so that the SIGTERM handler removes exactly the
// files this process made, and no other's.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>

#include "core/file_io.h"
#include "core/unique_fd.h"

// Creates path for writing with O_CREAT|O_EXCL|O_NOFOLLOW. With replaceStale,
// a regular file of that name with a single link (a fixed name under a lock,
// left by a run that was killed) is removed first; a link, a hard link or
// anything else in the way makes it fail without touching it. 0 and the
// descriptor, open for reading and writing (close-on-exec), or -1.
int createExclusive(const std::string& path, mode_t mode, int* fdOut, bool replaceStale = true);

// The registry the SIGTERM handler reads. registerTemporary copies the path
// (false when it does not fit: the caller then fails rather than leave a
// file behind); forgetTemporary drops it again.
bool registerTemporary(const std::string& path);
void forgetTemporary(const std::string& path);
// Unlinks every registered path. Async-signal-safe.
void removeRegisteredTemporaries();

// A file of one step: created by create() (through createExclusive, then
// registered) and removed, with its registration, when the step ends on any
// path. A ScratchFile that was never created removes nothing.
class ScratchFile {
 public:
  // Whether a plain file found under the name is a killed run's leftover
  // (true of fixed names that a lock guards) or must make create() fail.
  enum Existing { kReplaceStale, kNeverReplace };
  ScratchFile() = default;
  explicit ScratchFile(std::string path, Existing existing = kReplaceStale)
      : path_(std::move(path)), replaceStale_(existing == kReplaceStale) {}
  ~ScratchFile() { remove(); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // 0, or -1 when the file cannot be made afresh. The file is empty and
  // closed again, ready for a child to write into.
  int create(mode_t mode = 0600);
  // As create(), but keeps the descriptor open for the caller (fd()).
  int open(mode_t mode = 0600);
  int fd() const { return fd_.get(); }
  // What the file holds now, read through the descriptor from its start
  // (a child that wrote into the name wrote into this file, unless the name
  // was swapped meanwhile; then this reads what was created here). -1 when
  // there is no descriptor or the read fails.
  int readBack(std::string* text) const;
  // True while the name still leads to the file that open() made (no link
  // or other file put in its place since).
  bool stillOurs() const;
  // Closes the descriptor; -1 when close reports a write error.
  int closeFd();
  // The caller renamed the file away: it is no longer this step's to remove.
  void release();
  // Unlinks the file now when this object made it.
  void remove();

  bool created() const { return created_; }
  const std::string& path() const { return path_; }
  const char* c_str() const { return path_.c_str(); }

 private:
  std::string path_;
  bool replaceStale_ = true;
  UniqueFd fd_;
  bool created_ = false;
};

// "<prefix><pid>", e.g. "tmpmap_1234".
inline std::string pidName(const char* prefix) {
  return std::string(prefix) + std::to_string(getpid());
}

// Replaces a state file (a stamp, a cache) in one step: the content goes to
// "<path>.new", made by createExclusive, is synced and renamed over path, and
// the directory is synced. A reader sees the old file or the new one, never a
// part. The caller holds the lock that guards path, so the fixed name is its
// alone, and one that a killed run left is taken over rather than piling up.
// 0, or -1 (the old file is then untouched).
int replaceStateFile(const std::string& path, std::string_view content);
