// Whole text files and their lines, for a test's set-up and checks.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The file's bytes; "" when it cannot be read.
inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Splits a text into lines (without their newlines; no trailing empty line).
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}
