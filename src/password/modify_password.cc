#include "password/modify_password.h"

#include <crypt.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "core/answer_output.h"
#include "core/result.h"
#include "core/run_directory.h"
#include "core/scratch_file.h"
#include "core/secret.h"
#include "core/trace.h"
#include "password/hash.h"
#include "password/pending_password_store.h"
#include "password/token.h"

namespace {

// false when what was answered so far did not go out in full.
bool flushStandardOutput() {
  std::cout.flush();
  return flushAnswer() == kOk;
}

// Standard output sent into another file until restored.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) {
    if (!flushStandardOutput()) return;
    // Close-on-exec: the query's tools must not hold the engine's pipe.
    saved_.reset(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    active_ = saved_.valid() && dup2(fd, STDOUT_FILENO) >= 0;
  }
  ~StdoutRedirect() { restore(); }
  bool active() const { return active_; }
  // true when the query's answer reached the file in full and standard
  // output is back.
  bool restore() {
    if (!saved_.valid()) return false;
    // What the handler buffered belongs in the query file.
    bool written = flushStandardOutput();
    bool back = active_ && dup2(saved_.get(), STDOUT_FILENO) >= 0;
    saved_.reset();
    active_ = false;
    return written && back;
  }

 private:
  UniqueFd saved_;
  bool active_ = false;
};

// Which ":"-piece after the name holds the stored hash. The NIS+ answer
// always has the hash in the passwd column (its shadow column holds only the
// aging values).
std::size_t hashPiece(const EventRecord& record) {
  return record.noShadow || record.backend == kNisplus ? 1 : 7;
}

}  // namespace

// Runs the backend's user query into "query_<pid>" and takes the stored hash
// from the line of the event's user. 0, -1 (query file), -6 (no such user),
// or the query's own failure when it failed without naming the user: a store
// that cannot be read must not pass for an unknown user, nor an answer that
// could not be taken or written whole (-1) for one without the user.
int lookupStoredHash(EventRecord& record, UserQuery userQuery, std::string& storedHash) {
  RunScratchFile answer(pidName("query_"));
  if (answer.open() != kOk) return kErrOpen;
  int ran = kOk;
  {
    StdoutRedirect redirect(answer.fd());
    if (!redirect.active()) return kErrOpen;
    EventRecord query(record);
    ran = userQuery(query);  // its lines count where it found the user
    if (!redirect.restore()) return kErrOpen;
  }
  SecretString text;
  if (answer.readBack(&text.text) != kOk) return kErrOpen;

  const std::string& name = record.field(kName);
  std::vector<std::string> lines = splitFields(text.text, '\n');
  int result = kErrNoSuchAccount;
  for (std::string& line : lines) {
    if (result == kOk || line.size() < 2) continue;
    auto afterTag = line.find(':');
    if (afterTag == std::string::npos) continue;
    SecretString rest{line.substr(afterTag + 1)};
    std::vector<std::string> pieces = splitFields(rest.text, ':');
    if (pieces[0] == name) {
      const std::size_t index = hashPiece(record);
      storedHash = index < pieces.size() ? pieces[index] : std::string();
      result = kOk;
    }
    for (auto& piece : pieces) wipeString(piece);
  }
  for (auto& line : lines) wipeString(line);
  if (result == kErrNoSuchAccount && ran != kOk && ran != kErrNoSuchAccount) return ran;
  return result;
}

// True when the clear password hashes to the stored hash: "$1$" with the
// MD5 crypt, any other "$id$" scheme with the host's crypt(3), everything else
// with DES crypt and the hash's first two characters as salt.
bool verifyCurrentPassword(const std::string& clear, const std::string& storedHash) {
  SecretString computed;
  if (storedHash.rfind("$1$", 0) == 0) {
    computed.text = md5Crypt(clear.c_str(), storedHash.c_str());
  } else if (storedHash.size() > 2 && storedHash[0] == '$' && storedHash.find('$', 1) != std::string::npos) {
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r(clear.c_str(), storedHash.c_str(), data.get());
    if (hash != nullptr && hash[0] != '*') computed.text = hash;
    explicit_bzero(data.get(), sizeof(crypt_data));
  } else {
    computed.text = desCrypt(clear.c_str(), storedHash.substr(0, 2).c_str());
  }
  return !computed.text.empty() && computed.text.size() == storedHash.size() &&
         CRYPTO_memcmp(computed.text.data(), storedHash.data(), storedHash.size()) == 0;
}

int modifyPassword(EventRecord& record, UserQuery userQuery) {
  if (setuid(geteuid()) != 0) {
    // Not checked: the shim runs as root already in every supported setting.
  }
  if (record.backend == kNis && !record.mapDir) return failAt("modifyPassword", kErrOther);

  // Tokens may come wrapped; they are kept and published on one line.
  const std::string& tokens = record.field(kPasswd);
  const std::size_t comma = tokens.find(',');
  const std::string oldToken = compactToken(tokens.substr(0, comma));
  const std::string newToken = comma == std::string::npos ? std::string() : compactToken(tokens.substr(comma + 1));
  if (record.fields[kPasswd]) wipeString(*record.fields[kPasswd]);

  if (!answerText("\n")) return failAt("modifyPassword", kErrOpen);

  SecretString storedHash;
  int found = lookupStoredHash(record, userQuery, storedHash.text);
  if (found == kErrNoSuchAccount) return kOk;
  if (found != kOk) return failAt("modifyPassword", found);
  SecretString clear;
  if (decryptToken(newToken, clear.text) != 0) return kOk;
  if (!flushStandardOutput()) return failAt("modifyPassword", kErrOpen);
  if (!verifyCurrentPassword(clear.text, storedHash.text)) return kOk;
  return storePendingPassword(record.backend, record.field(kName), oldToken, newToken);
}
