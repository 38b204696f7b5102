// Counted-string helpers: lengths in bytes, bounded writes, upcased compares.
#include <gtest/gtest.h>
#include <wdm.h>

#include <algorithm>
#include <iterator>
#include <string>

namespace {

UNICODE_STRING View(const char16_t *s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

TEST(RtlStrings, InitCountsBytesWithoutAndWithTheTerminator) {
  UNICODE_STRING s = View(u"Qav");
  EXPECT_EQ(s.Length, 6);
  EXPECT_EQ(s.MaximumLength, 8);
  s = View(nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
  const std::u16string huge(40000, u'x');  // longer than a UNICODE_STRING can describe
  s = View(huge.c_str());
  EXPECT_EQ(s.Length, 0xFFFC);
  EXPECT_EQ(s.MaximumLength, 0xFFFE);
}

TEST(RtlStrings, CompareOrdersByCharacterThenLength) {
  const struct {
    const char16_t *a, *b;
    bool caseInsensitive;
    int sign;
  } cases[] = {
      {u"abc", u"abc", false, 0}, {u"abc", u"ABC", false, 1}, {u"abc", u"ABC", true, 0},
      {u"ab", u"abc", true, -1},  {u"abd", u"abc", true, 1},  {u"_x", u"ax", true, 1},  // '_' > 'A' upcased
      {u"", u"", false, 0},       {u"a", u"", true, 1},
  };
  for (const auto &c : cases) {
    UNICODE_STRING a = View(c.a), b = View(c.b);
    const LONG r = RtlCompareUnicodeString(&a, &b, c.caseInsensitive);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << std::string(c.a, c.a + a.Length / 2);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive), c.sign == 0 ? TRUE : FALSE);
  }
}

TEST(RtlStrings, CompareReadsOnlyLengthBytes) {
  UNICODE_STRING a = View(u"abcX"), b = View(u"abcY");
  a.Length = b.Length = 6;
  EXPECT_EQ(RtlCompareUnicodeString(&a, &b, FALSE), 0);
}

TEST(RtlStrings, CopyTruncatesToTheDestinationAndTerminatesWhenItCan) {
  WCHAR buffer[8];
  const struct {
    USHORT maximum;
    const char16_t *expected;
    bool terminated;
  } cases[] = {{16, u"Qav Au", true}, {12, u"Qav Au", false}, {6, u"Qav", false}};
  UNICODE_STRING source = View(u"Qav Au");
  for (const auto &c : cases) {
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING dest{0, c.maximum, buffer};
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(std::u16string(buffer, dest.Length / 2), c.expected);
    EXPECT_EQ(buffer[dest.Length / 2] == 0, c.terminated);
    for (size_t i = c.maximum / 2; i < 8; ++i) EXPECT_EQ(buffer[i], u'#') << "wrote past MaximumLength";
  }
  UNICODE_STRING dest{4, 16, buffer};
  RtlCopyUnicodeString(&dest, nullptr);
  EXPECT_EQ(dest.Length, 0);
}

TEST(RtlStrings, AppendFailsWithoutChangingTheDestinationWhenFull) {
  WCHAR buffer[6] = {};
  UNICODE_STRING dest{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"Qav"), STATUS_SUCCESS);
  UNICODE_STRING tail = View(u"Au");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &tail), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"QavAu");
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"di"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dest.Length, 10);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"d"), STATUS_SUCCESS);  // fills it exactly, no terminator
  EXPECT_EQ(std::u16string(buffer, 6), u"QavAud");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &tail), STATUS_BUFFER_TOO_SMALL);
}

}  // namespace
