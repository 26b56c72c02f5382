#include "drfl/utf.hpp"

#include <gtest/gtest.h>

namespace foundation::core::text {
namespace {

TEST(Utf, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(Utf, MalformedInputBecomesReplacementCharacters) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"lone continuation", "\x80x", u"\uFFFDx"},
      {"truncated sequence", "\xE2\x82", u"\uFFFD\uFFFD"},
      {"overlong", "\xC0\xAFx", u"\uFFFDx"},
      {"surrogate encoded", "\xED\xA0\x80", u"\uFFFD"},
      {"bad lead", "\xFF", u"\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80x", u"\uFFFDx"},
      {"largest four-byte form", "\xF7\xBF\xBF\xBF", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
  }
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace foundation::core::text
