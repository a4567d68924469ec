// The event parser and its tokenizer on any event data: every field lands
// where the layout of its command puts it, empty fields are kept, nothing
// reads or writes outside the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/event_record.h"
#include "core/result.h"
#include "core/trace.h"
#include "fuzz_support.h"

namespace {

std::vector<std::string> layout(const std::string& text, char separator, std::size_t count) {
  std::vector<std::string> parts = splitFields(text, separator);
  parts.resize(count);
  return parts;
}

void expectField(const EventRecord& record, int index, const std::string* expected) {
  if (expected == nullptr) {
    if (record.has(index)) fuzzFail(("field " + std::to_string(index) + " present").c_str(), "", record.field(index));
    return;
  }
  if (!record.has(index) || record.field(index) != *expected)
    fuzzFail(("field " + std::to_string(index)).c_str(), *expected, record.field(index));
}

void checkParse(int command, const std::string& data) {
  EventRecord record;
  int result = parseEventData(&record, data.c_str(), command);
  if (command < kAddUser || command > kQueryGroup) {
    if (result != kErrArgument) fuzzFail("command out of range", "-3", std::to_string(result));
    resetErrorTrace();
    return;
  }
  if (result != kOk) fuzzFail("parse", "0", std::to_string(result));

  std::vector<const std::string*> expected(kFieldCount, nullptr);
  std::vector<std::string> parts;
  static const std::string empty;
  switch (command) {
    case kAddUser:
    case kModifyUser:
    case kQueryUser:
      parts = layout(data, ':', kFlag + 1);
      for (int i = 0; i <= kFlag; ++i) expected[i] = &parts[i];
      break;
    case kModifyPassword:
      parts = layout(data, ':', 2);
      expected[kName] = &parts[0];
      expected[kPasswd] = &parts[1];
      for (int i = kUid; i <= kFlag; ++i) expected[i] = &empty;
      break;
    case kDeleteUser:
    case kDeleteGroup:
      expected[kName] = &data;
      break;
    case kRenameUser:
    case kRenameGroup:
      parts = layout(data, ',', 2);
      expected[kName] = &parts[0];
      expected[kNewName] = &parts[1];
      break;
    default:
      parts = layout(data, ':', 4);
      expected[kName] = &parts[0];
      expected[kPasswd] = &parts[1];
      expected[kGid] = &parts[2];
      expected[kMembers] = &parts[3];
  }
  for (int i = 0; i < kFieldCount; ++i) expectField(record, i, expected[i]);

  // A second parse into the same record leaves nothing of the first behind.
  if (parseEventData(&record, "", command) != kOk) fuzzFail("second parse", "0", "failed");
  for (int i = 0; i < kFieldCount; ++i)
    if (record.has(i) && !record.field(i).empty()) fuzzFail("stale field after reparse", "", record.field(i));
  releaseRecord(record);
  for (int i = 0; i < kFieldCount; ++i)
    if (record.has(i)) fuzzFail("field present after release", "", record.field(i));
}

// The tokenizer gives every piece between separators, then "" for ever.
void checkTokens(const std::string& data, const char* separators) {
  std::string text = data;
  std::vector<std::string> pieces;
  std::string rest = data;
  for (;;) {
    auto at = rest.find_first_of(separators);
    pieces.push_back(rest.substr(0, at));
    if (at == std::string::npos) break;
    rest.erase(0, at + 1);
  }
  std::string got = nextToken(text.data(), separators);
  for (std::size_t i = 0;; ++i) {
    if (got != pieces[i]) fuzzFail("token", pieces[i], got);
    if (i + 1 == pieces.size()) break;
    got = nextToken(nullptr, separators);
  }
  for (int extra = 0; extra < 3; ++extra) {
    got = nextToken(nullptr, separators);
    if (!got.empty()) fuzzFail("token after the end", "", got);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the command (some codes out of range), the rest up
  // to a zero byte is the event data, as a command line can carry it.
  int command = static_cast<int>(data[0] % 14) - 1;
  std::string text = splitAtZeros(data + 1, size - 1)[0];
  checkParse(command, text);
  checkTokens(text, ":");
  checkTokens(text, ",:");
  return 0;
}
