// Percent-encoding of user names and passwords for service URLs, and its inverse.
#include <gtest/gtest.h>

#include <string>

#include "core/common/url.h"

using mosswork::core::quote;
using mosswork::core::unquote;

TEST(Quote, KeepsUnreservedCharactersAndSlash) {
  EXPECT_EQ(quote("AZaz09_.-~"), "AZaz09_.-~");
  EXPECT_EQ(quote("team/kb"), "team/kb");
  EXPECT_EQ(quote(""), "");
}

TEST(Quote, EscapesDelimitersWithUpperCaseHex) {
  EXPECT_EQ(quote("a b@c"), "a%20b%40c");
  EXPECT_EQ(quote("p:w%d+?#&=;,[]'\"!$*()"),
            "p%3Aw%25d%2B%3F%23%26%3D%3B%2C%5B%5D%27%22%21%24%2A%28%29");
  EXPECT_EQ(quote(std::string("\0\x1f\x7f", 3)), "%00%1F%7F");
}

TEST(Quote, EscapesEachUtf8ByteOfNonAsciiCharacters) {
  EXPECT_EQ(quote("é"), "%C3%A9");
  EXPECT_EQ(quote("pässwörd€"), "p%C3%A4ssw%C3%B6rd%E2%82%AC");
  EXPECT_EQ(quote("\xF0\x9F\x90\x87"), "%F0%9F%90%87");  // a four-byte character
  EXPECT_EQ(quote("\xFF"), "%FF");                       // not UTF-8, still one escape a byte
}

TEST(Quote, SafeSetReplacesTheSlash) {
  EXPECT_EQ(quote("a/b c", ""), "a%2Fb%20c");
  EXPECT_EQ(quote("a/b:c", "/:"), "a/b:c");
  // Only ASCII can be safe: a UTF-8 byte listed as safe is still escaped.
  EXPECT_EQ(quote("é", "\xC3\xA9"), "%C3%A9");
}

TEST(Unquote, DecodesValidEscapesAndKeepsTheRest) {
  EXPECT_EQ(unquote("a%20b%40c"), "a b@c");
  EXPECT_EQ(unquote("%2f%2F"), "//");
  EXPECT_EQ(unquote("%C3%A9"), "é");
  EXPECT_EQ(unquote("100%"), "100%");
  EXPECT_EQ(unquote("%4"), "%4");
  EXPECT_EQ(unquote("%zz%4g"), "%zz%4g");
  EXPECT_EQ(unquote("%%41"), "%A");
  EXPECT_EQ(unquote("%00"), std::string(1, '\0'));
}

TEST(Unquote, InvertsQuoteForEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  EXPECT_EQ(unquote(quote(all)), all);
  EXPECT_EQ(unquote(quote(all, "")), all);
  // Only unreserved bytes and "/" remain literal.
  const std::string quoted = quote(all);
  EXPECT_EQ(quoted.size(), 67 + 189 * 3u);
}
