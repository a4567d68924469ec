// Shared by the fuzz targets: splitting an input into texts, running a host
// program on it, and failing loudly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The input cut at its zero bytes (a trailing piece without one included).
std::vector<std::string> splitAtZeros(const std::uint8_t* data, std::size_t size);

struct Ran {
  int status = -1;  // exit status, or -1 when the child died by a signal
  std::string out;
};
// Runs the program (argv[0] is its path) with its standard output captured,
// standard input and error left as they are, extra "NAME=value" entries
// added to the environment.
Ran runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});

// A fresh directory under /tmp for this fuzzer process, made the working
// directory; removed again when the process ends.
std::string enterScratchDirectory(const char* tag);

// Prints what went wrong and what was expected, then aborts (a finding).
[[noreturn]] void fuzzFail(const char* what, const std::string& expected, const std::string& actual);

// The text with every byte outside printable ASCII shown as \xNN.
std::string visible(const std::string& text);
