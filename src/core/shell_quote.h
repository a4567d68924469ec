// The one quoting facility for values placed into shell command lines. Each
// function fits one context of the command texts the shim builds; ordinary
// values (letters, digits, blanks, / . , - _ @ +) come out unchanged, so the
// command lines stay exactly as documented, and no value can ever run as code.
#pragma once

#include <string>
#include <string_view>

// For a value inside a double-quoted shell word ("..."): escapes " $ ` \.
std::string quoteDoubleQuoted(std::string_view value);

// For a value inside an awk string literal ("...") that itself sits inside a
// single-quoted shell word ('...'): escapes for awk (\ " newline CR), then
// writes each ' as '\''. The awk string's value is the original text.
std::string quoteAwkString(std::string_view value);

// For a value that stands as a word of its own: unchanged when it is made of
// safe characters only, otherwise single-quoted ('' for an empty value).
std::string quoteBareWord(std::string_view value);

// Escapes the metacharacters of an extended regular expression so that the
// pattern matches the text literally (for awk ~ and grep -E).
std::string escapeRegex(std::string_view value);

// True for values free of bytes that would split or add a line in a
// colon-separated account file (":", newline, carriage return).
bool isRecordSafe(std::string_view value);
// A password field: record-safe and free of control characters, which no
// hash holds and which the host's account tools refuse to write back.
bool isPasswordFieldSafe(std::string_view value);

// Escapes the metacharacters of a basic regular expression (plain grep), and
// only those: in GNU's basic syntax a backslash before + ? | ( ) { } would
// make them operators.
std::string escapeBasicRegex(std::string_view value);
