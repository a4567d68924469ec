#include "core/shell_quote.h"

#include <cctype>

std::string quoteDoubleQuoted(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '"' || c == '$' || c == '`' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string quoteAwkString(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\'': out += "'\\''"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

namespace {
bool isBareSafe(unsigned char c) {
  return std::isalnum(c) || c == '/' || c == '.' || c == ',' || c == '-' || c == '_' || c == '@' ||
         c == '+' || c == ':' || c == '=' || c == '%';
}
}  // namespace

std::string quoteBareWord(std::string_view value) {
  bool safe = !value.empty();
  for (unsigned char c : value) safe = safe && isBareSafe(c);
  if (safe) return std::string(value);
  std::string out = "'";
  for (char c : value) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string escapeRegex(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '.': case '[': case ']': case '(': case ')': case '*': case '+': case '?':
      case '{': case '}': case '|': case '^': case '$': case '\\':
        out.push_back('\\');
        [[fallthrough]];
      default:
        out.push_back(c);
    }
  }
  return out;
}

bool isRecordSafe(std::string_view value) {
  return value.find_first_of(":\n\r") == std::string_view::npos;
}

bool isPasswordFieldSafe(std::string_view value) {
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7f) return false;
  return isRecordSafe(value);
}

std::string escapeBasicRegex(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '.' || c == '[' || c == ']' || c == '*' || c == '^' || c == '$' || c == '\\')
      out.push_back('\\');
    out.push_back(c);
  }
  return out;
}
