#include "core/dbm_file.h"

#include <cstdlib>

DbmFile& DbmFile::operator=(DbmFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

DbmFile DbmFile::open(const std::string& path) {
  return DbmFile(gdbm_open(path.c_str(), 0, GDBM_WRCREAT, 0600, nullptr));
}

void DbmFile::close() {
  if (handle_ != nullptr) gdbm_close(handle_);
  handle_ = nullptr;
}

std::optional<std::string> DbmFile::fetch(std::string_view key) const {
  if (handle_ == nullptr) return std::nullopt;
  Datum value(gdbm_fetch(handle_, asDatum(key)));
  if (value.empty()) return std::nullopt;
  return value.text();
}

bool DbmFile::contains(std::string_view key) const {
  return handle_ != nullptr && gdbm_exists(handle_, asDatum(key));
}

int DbmFile::store(std::string_view key, std::string_view value) {
  if (handle_ == nullptr) return -1;
  return gdbm_store(handle_, asDatum(key), asDatum(value), GDBM_REPLACE);
}

int DbmFile::remove(std::string_view key) {
  if (handle_ == nullptr) return -1;
  return gdbm_delete(handle_, asDatum(key));
}
