// Overflow files: a group line longer than a snapshot value may be is kept
// in a file of its own in "./d.overflow/", and the snapshot holds a
// reference to it. Their names, the references, reading and writing them,
// and the sweep of those no snapshot refers to any more.
#pragma once

#include <gdbm.h>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "core/unique_fd.h"

// Values longer than this go to an overflow file.
constexpr std::size_t kInlineValueLimit = 1000;
constexpr std::string_view kOverflowPrefix = "file://";
constexpr const char* kOverflowDirectory = "./d.overflow/";

// Overflow references exist only in the snapshots the files poll builds, and
// only in the one shape it writes: "file://./d.overflow/<name>", the name one
// path component of letters, digits, "_", "-" and "." that does not begin
// with ".". No other value is a reference, whatever it begins with.
bool isOverflowReference(std::string_view value);
// The path a reference names ("./d.overflow/<name>"), and the name alone.
std::string overflowPath(std::string_view value);
std::string overflowName(std::string_view value);
// The reference to the overflow file of that name.
std::string overflowReference(const std::string& name);

// An account line that begins like a reference is stored behind this mark,
// so that no account data can ever be read as one. A value that begins with
// the mark loses it when it is read back.
constexpr std::string_view kInlineMark = "file://=";
std::string markedInlineValue(std::string value);

// Reading an overflow file gives the record it holds: its whole content, a
// trailing line break dropped. An empty file, or anything but a regular file
// (a link is not followed), cannot be read.
enum class OverflowRead { kOk, kCannotOpen, kCannotRead };

// "./d.overflow/" itself, never through a link: opened as a directory of its
// own, and every file in it reached through that descriptor, so that a link
// planted in its place never lets a read, a write or a deletion reach
// another directory.
class OverflowDirectory {
 public:
  OverflowDirectory() = default;
  OverflowDirectory(const OverflowDirectory&) = delete;
  OverflowDirectory& operator=(const OverflowDirectory&) = delete;

  // 0, or -2 when it is missing (and create is false), is not a directory of
  // its own, or cannot be made. Made with mode 0755.
  int open(bool create);
  bool isOpen() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  OverflowRead read(const std::string& name, std::string* record) const;
  // O_CREAT|O_EXCL|O_NOFOLLOW; -1 with errno set when it fails.
  int createFile(const std::string& name, mode_t mode) const;
  bool remove(const std::string& name) const;

 private:
  UniqueFd fd_;
};

// Writes the value to the first free overflow name; 0 and the name, or -2.
int writeOverflowFile(const OverflowDirectory& directory, const std::string& value, std::string* name);

// The names of the overflow files a snapshot refers to, added to names.
// 0, or kErrOpen when the snapshot cannot be read whole.
int overflowNames(GDBM_FILE db, std::set<std::string>* names);

// Overflow files that no snapshot refers to any more: left by a poll that
// was stopped, or by an earlier generation. Deleted so that they cannot
// pile up; only ever inside the overflow directory itself.
void sweepOrphanOverflowFiles();

// Which value a snapshot value is resolved for. Its error-log messages
// begin with the number, as they always have.
enum class SnapshotValue { kNew = 1, kCommitted = 2, kFirstPoll = 3 };

// The record a snapshot value stands for. In a files snapshot (backend 0)
// an overflow reference is read from its file and a marked inline value
// loses its mark; a NIS snapshot is a copy of a map, whose values are
// account lines as they are. 0 or -2.
int resolveSnapshotValue(std::string& value, int backend, SnapshotValue which);
