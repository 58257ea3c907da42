#include "common/grow_buffer.h"
#include "common/reason.h"
#include "common/text_format.h"
#include "common/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <string>
#include <vector>

namespace varnelo {
namespace {

// A query asked again with room for what it asked for, also when the text grows between the calls;
// a cutting query (one that fills the buffer instead of asking) gets twice the room; no answer,
// or an answer past the limit, is no text.
TEST(GrowingBuffers, AskAgainWithTheRoomAskedForUntilTheTextFits) {
  std::wstring value(300, L'x');
  int calls = 0;
  const auto growing = [&](wchar_t* buffer, std::size_t capacity) -> unsigned long {
    ++calls;
    if (calls == 2) value += L"yz";  // grew after it said how much room it needs
    if (value.size() + 1 > capacity) return static_cast<unsigned long>(value.size() + 1);
    value.copy(buffer, value.size());
    return static_cast<unsigned long>(value.size());
  };
  EXPECT_EQ(QueryGrowingString(growing), value);
  EXPECT_EQ(calls, 3);
  const std::wstring big(600, L'c');
  const auto cutting = [&](wchar_t* buffer, std::size_t capacity) -> unsigned long {
    const std::size_t written = std::min(capacity, big.size());
    big.copy(buffer, written);
    return static_cast<unsigned long>(written);
  };
  EXPECT_EQ(QueryGrowingString(cutting), big);
  EXPECT_EQ(QueryGrowingString([](wchar_t*, std::size_t) -> unsigned long { return 0; }), L"");
  EXPECT_EQ(QueryGrowingString(growing, 100), L"");

  std::vector<unsigned char> bytes;
  unsigned long needed = 40;
  bool grown = false;
  const auto two_calls = [&](unsigned char* buffer, unsigned long* size) {
    if (buffer == nullptr || *size < needed) {
      *size = needed;
      if (!grown) needed += 8;  // grew once between the calls
      grown = true;
      return false;
    }
    std::fill(buffer, buffer + needed, 7);
    *size = needed;
    return true;
  };
  EXPECT_TRUE(QueryGrowingBytes(two_calls, &bytes, 1024));
  EXPECT_EQ(bytes, std::vector<unsigned char>(48, 7));
  needed = 2000;
  EXPECT_FALSE(QueryGrowingBytes(two_calls, &bytes, 1024));
  EXPECT_FALSE(QueryGrowingBytes(
      [](unsigned char*, unsigned long* size) {
        *size = 0;
        return false;
      },
      &bytes, 1024));
}

// A reason keeps what fits, cut once where it is written and never inside a character.
TEST(Reason, CutToItsCapacityNeverInsideACharacter) {
  Reason reason;
  EXPECT_TRUE(reason.empty());
  reason.Set("%s rejected: %s", "config_path", "UNC");
  EXPECT_STREQ(reason.c_str(), "config_path rejected: UNC");
  const std::string chinese(200, 'a');
  reason.Set("%s%ls", chinese.c_str(),
             L"\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d"
             L"\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d");
  const std::string kept = reason.c_str();
  EXPECT_LE(kept.size(), Reason::kCapacity - 1);
  EXPECT_EQ(kept.size(), 200u + 3 * ((Reason::kCapacity - 1 - 200) / 3));
}

// FormatUtf8 without the compiler's check of the format, for formats written wrong on purpose.
std::string Unchecked(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatUtf8V(format, args);
  va_end(args);
  return text;
}

TEST(FormatUtf8, WideTextIsWrittenWholeAsUtf8) {
  // A Chinese path through "%ls" and "%S": every character, not only those before the first
  // non-ASCII one.
  EXPECT_EQ(FormatUtf8("image=%ls|%S", L"C:\\\u7a0b\u5e8f\\Varnelo\\", L"\u5f20\u4f0a"),
            "image=C:\\\xE7\xA8\x8B\xE5\xBA\x8F\\Varnelo\\|\xE5\xBC\xA0\xE4\xBC\x8A");
  EXPECT_EQ(FormatUtf8("[%ls] [%s]", static_cast<const wchar_t*>(nullptr), "x"), "[(null)] [x]");
  // Precision counts bytes and never ends inside a character; width pads.
  EXPECT_EQ(FormatUtf8("%.4ls|%-3s|%3s|%.*s", L"\u4e2d\u6587", "a", "b", 2, "xyz"),
            "\xE4\xB8\xAD|a  |  b|xy");
  // The other conversions are the C runtime's, their arguments taken at their sizes.
  EXPECT_EQ(Unchecked("%lu %ld %d %lX %016llx %02d %c %% %hs", 4294967295ul, -5l, -7, 0xABCul,
                      0x1234ull, 3, 'q', "n"),
            "4294967295 -5 -7 ABC 0000000000001234 03 q % n");
  EXPECT_EQ(FormatUtf8("%zu %lld %llu", static_cast<size_t>(12), -1ll, 18446744073709551615ull),
            "12 -1 18446744073709551615");
  EXPECT_EQ(Unchecked("%w then %d", 9), "%w then 9");  // unknown: as written, no argument taken
  EXPECT_EQ(Unchecked("end %"), "end %");

  char cut[5];
  EXPECT_EQ(CopyUtf8Cut("ab\xE4\xB8\xAD"
                        "c",
                        cut, sizeof(cut)),
            2u);  // the character would not fit whole
  EXPECT_STREQ(cut, "ab");
  EXPECT_EQ(CopyUtf8Cut("abcde", cut, sizeof(cut)), 4u);
  EXPECT_STREQ(cut, "abcd");
}

TEST(Utf8, ValidTextRoundTripsAtEveryLength) {
  // One, two, three and four bytes; the last one outside the BMP, as a surrogate pair in UTF-16.
  const std::string utf8 = "a\xC3\xA9\xE5\xBE\xAE\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
  const std::u16string utf16 = u"a\u00E9\u5FAE\U0001F600\U0010FFFF";
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_EQ(Utf8ToWide(utf8), L"a\u00E9\u5FAE\U0001F600\U0010FFFF");
  EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
  EXPECT_EQ(Utf8ToUtf16(std::string("k\0v", 3)), std::u16string(u"k\0v", 3));
  EXPECT_EQ(Utf8ToUtf16(""), u"");
}

TEST(Utf8, EachMaximalInvalidPartBecomesOneReplacement) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {"a\xC0\xAF"
       "b",
       u"a\uFFFD\uFFFDb"},                      // C0 never leads; AF is a stray continuation
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xF5\xFF", u"\uFFFD\uFFFD"},
      {"\xE4\xB8", u"\uFFFD"},  // cut short at the end
      {"\xE4\xB8"
       "a",
       u"\uFFFDa"},  // cut short before an ASCII byte
      {"\xF0\x9F\x98"
       "\xC3\xA9",
       u"\uFFFD\u00E9"},  // the next character survives
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << testing::PrintToString(c.in);
}

TEST(Utf8, LoneSurrogatesBecomeReplacements) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD83D')), "\xEF\xBF\xBD");  // high at the end
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xD83D"
                                       u"a")),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xDE00\xD83D")), "\xEF\xBF\xBD\xEF\xBF\xBD");  // reversed
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xD83D\xD83D\xDE00")), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
  // Where wchar_t holds code points, a surrogate or a value past U+10FFFF is refused alike.
  if (sizeof(wchar_t) == 4) {
    EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
  }
}

}  // namespace
}  // namespace varnelo
