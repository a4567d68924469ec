#include "password/pass_cache.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "core/event_record.h"
#include "core/result.h"
#include "core/scratch_file.h"

const char* passCacheName(int backend) {
  switch (backend) {
    case kFiles: return ".nis_files_pass";
    case kNis: return ".nis_yp_pass";
    default: return ".nisplus__pass";
  }
}

std::string passCachePath(int backend) { return std::string(kStateDirectory) + passCacheName(backend); }

namespace {

// A missing (or empty) cache is made whole under another name and then
// moved in: gdbm leaves a file with a cut header when its creation fails or
// is cut short, and no later open gets past that header.
int createPassCache(const std::string& path) {
  ScratchFile fresh(path + ".new");
  if (fresh.create() != kOk) return kErrOpen;
  GDBM_FILE made = gdbm_open(fresh.c_str(), 0, GDBM_WRCREAT, 0600, nullptr);
  if (made == nullptr) return kErrOpen;
  const bool synced = gdbm_sync(made) == 0;
  if (gdbm_close(made) != 0 || !synced || std::rename(fresh.c_str(), path.c_str()) != 0) return kErrOpen;
  fresh.release();
  return kOk;
}

}  // namespace

DbmFile openPassCache(int backend) {
  const std::string path = passCachePath(backend);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 ? errno == ENOENT : st.st_size == 0) {
    if (createPassCache(path) != kOk) return DbmFile();
  }
  return DbmFile::open(path);
}
