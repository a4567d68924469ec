// gdbm databases as the shim opens them: block size 0, GDBM_WRCREAT, mode
// 0600, stores with GDBM_REPLACE. The handle closes itself; datums returned
// by gdbm are owned by a Datum that frees them.
#pragma once

#include <cstdlib>
#include <gdbm.h>
#include <utility>
#include <optional>
#include <string>
#include <string_view>

class DbmFile {
 public:
  DbmFile() = default;
  explicit DbmFile(GDBM_FILE handle) : handle_(handle) {}
  ~DbmFile() { close(); }
  DbmFile(const DbmFile&) = delete;
  DbmFile& operator=(const DbmFile&) = delete;
  DbmFile(DbmFile&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  DbmFile& operator=(DbmFile&& other) noexcept;

  // Opens (creating it empty when missing) read-write.
  static DbmFile open(const std::string& path);

  bool isOpen() const { return handle_ != nullptr; }
  GDBM_FILE get() const { return handle_; }
  void close();

  std::optional<std::string> fetch(std::string_view key) const;
  bool contains(std::string_view key) const;
  // gdbm_store's status: 0 on success.
  int store(std::string_view key, std::string_view value);
  int remove(std::string_view key);

 private:
  GDBM_FILE handle_ = nullptr;
};

// A datum that gdbm allocated, freed on scope exit.
struct Datum {
  datum d{nullptr, 0};
  Datum() = default;
  explicit Datum(datum value) : d(value) {}
  ~Datum() { std::free(d.dptr); }
  Datum(const Datum&) = delete;
  Datum& operator=(const Datum&) = delete;
  Datum(Datum&& o) noexcept : d(o.d) { o.d = {nullptr, 0}; }
  Datum& operator=(Datum&& o) noexcept {
    std::swap(d, o.d);
    return *this;
  }
  bool empty() const { return d.dptr == nullptr; }
  std::string text() const { return d.dptr ? std::string(d.dptr, d.dsize) : std::string(); }
};

inline datum asDatum(std::string_view text) {
  return datum{const_cast<char*>(text.data()), static_cast<int>(text.size())};
}
