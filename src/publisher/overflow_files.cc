#include "publisher/overflow_files.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/directory_entries.h"
#include "core/event_record.h"
#include "core/file_io.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/unique_fd.h"
#include "publisher/snapshot_store.h"

namespace {

constexpr int kOverflowIndexes = 128;
// A poll with many long groups may use the names of the following seconds
// once those of the current one are taken.
constexpr int kOverflowSeconds = 1024;

constexpr std::string_view kReferencePrefix = "file://./d.overflow/";

bool isOverflowNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

OverflowRead readWhole(UniqueFd fd, std::string* record) {
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return OverflowRead::kCannotOpen;
  std::string text;
  if (readFromStart(fd.get(), &text) != kOk) return OverflowRead::kCannotRead;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return OverflowRead::kCannotRead;
  *record = std::move(text);
  return OverflowRead::kOk;
}

constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// The directory itself, without the trailing slash, which would make even
// lstat and O_NOFOLLOW follow a link of that name.
constexpr const char* kOverflowDirectoryItself = "./d.overflow";

}  // namespace

bool isOverflowReference(std::string_view value) {
  if (!value.starts_with(kReferencePrefix)) return false;
  std::string_view name = value.substr(kReferencePrefix.size());
  if (name.empty() || name.front() == '.') return false;
  for (char c : name)
    if (!isOverflowNameChar(c)) return false;
  return true;
}

std::string overflowPath(std::string_view value) {
  return std::string(value.substr(kOverflowPrefix.size()));
}

std::string overflowName(std::string_view value) {
  return std::string(value.substr(kReferencePrefix.size()));
}

std::string overflowReference(const std::string& name) {
  return std::string(kOverflowPrefix) + kOverflowDirectory + name;
}

std::string markedInlineValue(std::string value) {
  if (value.starts_with(kOverflowPrefix)) value.insert(0, kInlineMark);
  return value;
}

int OverflowDirectory::open(bool create) {
  if (fd_.valid()) return kOk;
  struct stat st;
  if (create && lstat(kOverflowDirectoryItself, &st) != 0) {
    if (errno != ENOENT || (mkdir(kOverflowDirectoryItself, 0755) != 0 && errno != EEXIST)) return kErrNotFound;
  }
  int fd = ::open(kOverflowDirectoryItself, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return kErrNotFound;
  // The mode the umask took away, set on the directory opened, never on a
  // link's target.
  if (create && fstat(fd, &st) == 0 && (st.st_mode & 07777) != 0755) fchmod(fd, 0755);
  fd_.reset(fd);
  return kOk;
}

OverflowRead OverflowDirectory::read(const std::string& name, std::string* record) const {
  if (!fd_.valid()) return OverflowRead::kCannotOpen;
  return readWhole(UniqueFd(openat(fd_.get(), name.c_str(), kReadFlags)), record);
}

int OverflowDirectory::createFile(const std::string& name, mode_t mode) const {
  if (!fd_.valid()) return -1;
  return openat(fd_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool OverflowDirectory::remove(const std::string& name) const {
  return fd_.valid() && unlinkat(fd_.get(), name.c_str(), 0) == 0;
}

int writeOverflowFile(const OverflowDirectory& directory, const std::string& value, std::string* name) {
  long now = static_cast<long>(std::time(nullptr));
  for (int second = 0; second < kOverflowSeconds; ++second) {
    for (int index = 0; index < kOverflowIndexes; ++index) {
      std::string candidate = std::to_string(now + second) + std::to_string(index);
      std::string path = kOverflowDirectory + candidate;
      int fd = directory.createFile(candidate, 0644);
      if (fd < 0 && errno == EEXIST) continue;
      debugLog("cD: fname:%s:", path.c_str());
      if (fd < 0) {
        errorLog("cD: can't open %s", path.c_str());
        return kErrNotFound;
      }
      UniqueFd file(fd);
      std::size_t written = 0;
      int wrote = writeAll(file.get(), value, &written);
      bool closed = file.close() == kOk;
      if (wrote != kOk || !closed) {
        errorLog("cD: bytesout should be %d, actual %d", static_cast<int>(value.size()), static_cast<int>(written));
        directory.remove(candidate);
        return kErrNotFound;
      }
      *name = candidate;
      return kOk;
    }
  }
  errorLog("cD: Too many overflow files");
  return kErrNotFound;
}

int overflowNames(GDBM_FILE db, std::set<std::string>* names) {
  int fetched = kOk;
  int walked = walkMapKeys(db, [&](const Datum& key) {
    std::optional<std::string> value;
    if ((fetched = fetchValue(db, key.text(), &value)) != kOk) return false;
    if (value && isOverflowReference(*value)) names->insert(overflowName(*value));
    return true;
  });
  return walked != kOk ? walked : fetched;
}

void sweepOrphanOverflowFiles() {
  OverflowDirectory directory;
  if (directory.open(false) != kOk) return;
  std::set<std::string> referenced;
  for (const char* snapshot : {"group.log", "group.log.tmp"}) {
    struct stat st;
    if (lstat(snapshot, &st) != 0) continue;
    DbmFile db = openCommittedSnapshot(snapshot);
    // Not sure what is referenced: keep everything.
    if (!db.isOpen() || overflowNames(db.get(), &referenced) != kOk) return;
  }
  std::vector<std::string> orphans;
  bool listed = forEachEntry(directory.fd(), [&](const char* name) {
    if (!referenced.count(name)) orphans.push_back(name);
  });
  if (!listed) return;
  for (const auto& name : orphans) {
    debugLog("sOO: ofname:%s%s:", kOverflowDirectory, name.c_str());
    directory.remove(name);
  }
}

int resolveSnapshotValue(std::string& value, int backend, SnapshotValue which) {
  if (backend == kNis) return kOk;
  if (value.starts_with(kInlineMark)) {
    value.erase(0, kInlineMark.size());
    return kOk;
  }
  if (!isOverflowReference(value)) return kOk;
  std::string path = overflowPath(value);
  OverflowDirectory directory;
  OverflowRead read = directory.open(false) == kOk ? directory.read(overflowName(value), &value)
                                                   : OverflowRead::kCannotOpen;
  switch (read) {
    case OverflowRead::kOk: return kOk;
    case OverflowRead::kCannotOpen: errorLog("%d: can't open %s", static_cast<int>(which), path.c_str()); break;
    case OverflowRead::kCannotRead: errorLog("%d: can't read %s", static_cast<int>(which), path.c_str()); break;
  }
  return kErrNotFound;
}
