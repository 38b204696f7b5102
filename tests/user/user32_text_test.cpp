// CharToOemBuffW: code page 437 as a United States installation has it, and
// the refusal of null buffers.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CharToOem, ConvertsEveryUnitToCodePage437) {
  const std::u16string source(u"Aa 1~\u00e9\u00c4\u00df\u2591\u00a0\u20ac\0z", 13);
  char out[13];
  ASSERT_TRUE(CharToOemBuffW(source.data(), out, 13));
  EXPECT_EQ(std::string(out, 13), std::string("Aa 1~\x82\x8e\xe1\xb0\xff?\0z", 13))
      << "ASCII stays, Latin and box characters map, others become '?', a NUL is converted like any unit";
}

TEST(CharToOem, RefusesNullBuffers) {
  char out[4] = {'x', 'x', 'x', 'x'};
  SetLastError(0);
  EXPECT_FALSE(CharToOemBuffW(nullptr, out, 4));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(out[0], 'x');
  EXPECT_FALSE(CharToOemBuffW(u"ab", nullptr, 2));
  EXPECT_TRUE(CharToOemBuffW(u"ab", out, 0)) << "nothing to convert";
  EXPECT_EQ(out[0], 'x');
}

}  // namespace
