// Path strings and UTF-16 names (<bmpfun/paths.hpp>): every UTF-16 string has one string and
// comes back from it unit for unit; bytes that are not WTF-8 name nothing.
#include <bmpfun/paths.hpp>

#include <gtest/gtest.h>

#include <string>

namespace bmpfun {
namespace {

struct Spelling {
  const char* what;
  std::u16string units;
  std::string bytes;
};

const Spelling kSpellings[] = {
    {"empty", u"", ""},
    {"ASCII with both separators", u"C:\\a/b.bmp", "C:\\a/b.bmp"},
    {"two bytes", u"caf\u00E9", "caf\xC3\xA9"},
    {"three bytes", u"\u65E5\u672C.bmp", "\xE6\x97\xA5\xE6\x9C\xAC.bmp"},
    {"last of three bytes", u"\uFFFF", "\xEF\xBF\xBF"},
    {"surrogate pair: four bytes", u"\U0001F600", "\xF0\x9F\x98\x80"},
    {"highest pair", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
    {"lone high surrogate", std::u16string{u'a', char16_t(0xD800)}, "a\xED\xA0\x80"},
    {"lone low surrogate", std::u16string{char16_t(0xDFFF), u'b'}, "\xED\xBF\xBF" "b"},
    {"two high surrogates", std::u16string{char16_t(0xDBFF), char16_t(0xD800)}, "\xED\xAF\xBF\xED\xA0\x80"},
    {"low before high: two lone ones", std::u16string{char16_t(0xDC00), char16_t(0xD800)},
     "\xED\xB0\x80\xED\xA0\x80"},
    {"high, other unit, low", std::u16string{char16_t(0xD800), u'x', char16_t(0xDC00)},
     "\xED\xA0\x80x\xED\xB0\x80"},
};

TEST(Paths, EveryUtf16NameHasOneStringAndComesBack) {
  for (const Spelling& s : kSpellings) {
    EXPECT_EQ(pathFromUtf16(s.units), s.bytes) << s.what;
    std::u16string back;
    EXPECT_TRUE(utf16FromPath(s.bytes, back)) << s.what;
    EXPECT_EQ(back, s.units) << s.what;
  }
}

TEST(Paths, BytesThatAreNotWtf8NameNothing) {
  const struct {
    const char* what;
    std::string bytes;
  } refused[] = {
      {"overlong two bytes", "a\xC0\xAF"},
      {"overlong three bytes", "\xE0\x80\xAF"},
      {"overlong four bytes", "\xF0\x80\x80\xAF"},
      {"past U+10FFFF", "\xF4\x90\x80\x80"},
      {"a pair as two three-byte forms", "\xED\xA0\x80\xED\xB0\x80"},
      {"cut two-byte sequence", "ab\xC3"},
      {"cut three-byte sequence", "\xE6\x97"},
      {"stray continuation byte", "\x80" "abc"},
      {"continuation byte missing", "\xC3\x28"},
      {"byte never in UTF-8", "x\xFF"},
  };
  for (const auto& r : refused) {
    std::u16string out = u"left over";
    EXPECT_FALSE(utf16FromPath(r.bytes, out)) << r.what;
    EXPECT_TRUE(out.empty()) << r.what;
  }
}

}  // namespace
}  // namespace bmpfun
