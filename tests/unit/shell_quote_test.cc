#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/shell_quote.h"
#include "support/shell_output.h"

namespace {

std::string everyByte() {
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  return all;
}

const char* const kHostile[] = {
    "$(touch /tmp/kdl2nis-canary)", "`touch /tmp/kdl2nis-canary`", "a\"b", "a'b", "back\\slash",
    "semi;colon", "pipe|line", "new\nline", "\\\"; echo pwned; \"", "'$(id)'", "trailing\\",
};

TEST(ShellQuote, OrdinaryValuesPassUnchanged) {
  const std::string ordinary = "Jo Doe/home/jo.x,y-z_w@h+1 ABCxyz0189";
  EXPECT_EQ(ordinary, quoteDoubleQuoted(ordinary));
  EXPECT_EQ(ordinary, quoteAwkString(ordinary));
  EXPECT_EQ("jo.doe-1_x@h+/bin/sh", quoteBareWord("jo.doe-1_x@h+/bin/sh"));
}

TEST(ShellQuote, DoubleQuotedWordRoundTripsEveryByte) {
  std::string all = everyByte();
  EXPECT_EQ(all, shellOutput("printf '%s' \"" + quoteDoubleQuoted(all) + "\""));
  for (const char* v : kHostile)
    EXPECT_EQ(v, shellOutput("printf '%s' \"" + quoteDoubleQuoted(v) + "\"")) << v;
}

TEST(ShellQuote, AwkStringInsideSingleQuotesRoundTripsEveryByte) {
  std::string all = everyByte();
  EXPECT_EQ(all, shellOutput("awk 'BEGIN { printf \"%s\", \"" + quoteAwkString(all) + "\" }'"));
  for (const char* v : kHostile)
    EXPECT_EQ(v, shellOutput("awk 'BEGIN { printf \"%s\", \"" + quoteAwkString(v) + "\" }'")) << v;
}

TEST(ShellQuote, BareWordRoundTripsEveryByteAsOneWord) {
  std::string all = everyByte();
  EXPECT_EQ("[" + all + "]", shellOutput("printf '[%s]' " + quoteBareWord(all)));
  EXPECT_EQ("[]", shellOutput("printf '[%s]' " + quoteBareWord("")));
  EXPECT_EQ("[a b]", shellOutput("printf '[%s]' " + quoteBareWord("a b")));
  EXPECT_EQ("[~root]", shellOutput("printf '[%s]' " + quoteBareWord("~root")));
  for (const char* v : kHostile)
    EXPECT_EQ(std::string("[") + v + "]", shellOutput("printf '[%s]' " + quoteBareWord(v))) << v;
}

TEST(ShellQuote, EscapedRegexMatchesOnlyItselfInAwkAndGrep) {
  const char* values[] = {"a.b", "a*", "x[1]", "(g)", "p+q?", "^s$", "b\\s", "{2}", "a|b"};
  for (const char* v : values) {
    std::string re = escapeRegex(v);
    std::string awk = "printf '%s\\n%s\\n' " + quoteBareWord(v) + " " + quoteBareWord(std::string(v) + "x") +
                      " | awk '$0 ~ \"^" + quoteAwkString(re) + "$\"'";
    EXPECT_EQ(std::string(v) + "\n", shellOutput(awk)) << v;
    std::string grep = "printf '%s\\n%s\\n' " + quoteBareWord(v) + " axb | grep -E -x -- " + quoteBareWord(re) +
                       " 2>&1";
    EXPECT_EQ(std::string(v) + "\n", shellOutput(grep)) << v;
  }
}

TEST(ShellQuote, RecordSafetyRefusesSeparatorsAndLineBreaks) {
  EXPECT_TRUE(isRecordSafe("$1$abc$def/ghi."));
  EXPECT_FALSE(isRecordSafe("a:b"));
  EXPECT_FALSE(isRecordSafe("a\nb"));
  EXPECT_FALSE(isRecordSafe("a\rb"));
}

}  // namespace
