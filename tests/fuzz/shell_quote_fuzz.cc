// The quoting facility, judged by the shell and awk themselves: a quoted
// value always reads back as exactly the original bytes, and an escaped
// pattern matches its own text and nothing else.
//
// Each input is one value and a second text to match against, separated by
// a zero byte (no command line can carry a zero byte).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/shell_quote.h"
#include "fuzz_support.h"

namespace {

bool anyNewline(const std::string& a, const std::string& b) {
  return a.find('\n') != std::string::npos || b.find('\n') != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> texts = splitAtZeros(data, size);
  texts.resize(2);
  const std::string& v = texts[0];
  const std::string& w = texts[1];

  // One shell run: the value as a double-quoted word and as a bare word
  // (printf repeats its format), then as an awk string, then the extended
  // pattern matched by awk against the value and the other text, as the
  // shim's awk programs and command lines use them.
  std::string script = "printf '%s' \"" + quoteDoubleQuoted(v) + "\" " + quoteBareWord(v) +
                       "; /usr/bin/awk 'BEGIN { v = \"" + quoteAwkString(v) + "\"; w = \"" +
                       quoteAwkString(w) + "\"; re = \"^\" \"" + quoteAwkString(escapeRegex(v)) +
                       "\" \"$\"; printf \"%s|%d%d\", v, (v ~ re), (w ~ re) }'";
  std::string expected = v + v + v + "|1" + (w == v ? "1" : "0");
  // The basic pattern goes to grep inside a double-quoted word; grep works
  // line by line, so only single-line texts are asked.
  if (!anyNewline(v, w)) {
    const std::string pattern = "\"^" + quoteDoubleQuoted(escapeBasicRegex(v)) + "$\"";
    for (const std::string* line : {&v, &w})
      script += "; if printf '%s\\n' \"" + quoteDoubleQuoted(*line) + "\" | /usr/bin/grep " + pattern +
                " > /dev/null; then printf Y; else printf N; fi";
    expected += std::string("Y") + (w == v ? "Y" : "N");
  }
  Ran ran = runProgram({"/bin/sh", "-c", script});
  if (ran.status != 0 || ran.out != expected) fuzzFail(("quoted value read back, status " + std::to_string(ran.status)).c_str(), expected, ran.out);
  return 0;
}
