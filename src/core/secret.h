// Holders for passwords and hashes: the text is zeroed when the holder goes
// out of scope, on every return path, so that no early return leaves a copy.
#pragma once

#include <string>

#include "core/event_record.h"

// A password, hash or line carrying one, owned here.
struct SecretString {
  std::string text;
  ~SecretString() { wipeString(text); }
};

// A secret owned elsewhere, wiped when this scope ends.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& text) : text_(text) {}
  ~WipeOnExit() { wipeString(text_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& text_;
};
