// Moving clock names between WCHAR strings and ClockSourceInfo's fixed UTF-16
// field: truncation, termination, zero padding and untrusted records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "uac2common/uac2private.h"
#include "uac2common/wstr.h"

namespace {

static_assert(std::is_same_v<std::remove_cvref_t<decltype(QAV_W("Clock")[0])>, WCHAR>,
              "QAV_W yields WCHAR literals");
#define QAV_TEST_NARROW_NAME "Internal"
static_assert(sizeof(QAV_W(QAV_TEST_NARROW_NAME)) == 9 * sizeof(WCHAR), "QAV_W expands a macro argument first");

std::u16string StoredName(const ClockSourceInfo &info) {
  WCHAR out[UAC_CLOCK_NAME_CHARS + 1];
  ClockSourceInfoGetName(info, out, UAC_CLOCK_NAME_CHARS + 1);
  return std::u16string(out);
}

bool TailIsZero(const ClockSourceInfo &info, size_t from) {
  for (size_t i = from; i < UAC_CLOCK_NAME_CHARS; ++i) {
    if (info.Name[i] != 0) return false;
  }
  return true;
}

struct SetNameCase {
  const char *what;
  std::u16string source;  // may contain NULs; passed with its full length
  ULONG count;
  std::u16string stored;
};

void PrintTo(const SetNameCase &c, std::ostream *os) { *os << c.what; }

class ClockNameStore : public testing::TestWithParam<SetNameCase> {};

TEST_P(ClockNameStore, KeepsWhatFitsAndZeroesTheRestOfTheField) {
  const SetNameCase &c = GetParam();
  ClockSourceInfo info;
  std::memset(&info, 0xA5, sizeof(info));  // stale bytes from an earlier use
  ClockSourceInfoSetName(info, c.source.data(), c.count);
  EXPECT_EQ(StoredName(info), c.stored);
  EXPECT_TRUE(TailIsZero(info, c.stored.size()));
}

const std::u16string kLong = u"Internal programmable clock with a long name";  // 44 units

INSTANTIATE_TEST_SUITE_P(
    Cases, ClockNameStore,
    testing::Values(SetNameCase{"plain name", u"Internal", 8, u"Internal"},
                    SetNameCase{"counted string descriptor, no terminator", u"S/PDIF Coax", 6, u"S/PDIF"},
                    SetNameCase{"embedded NUL ends the name", std::u16string(u"AES\0EBU", 7), 7, u"AES"},
                    SetNameCase{"zero count stores an empty name", u"Word", 0, u""},
                    SetNameCase{"exactly 31 units is kept whole", kLong.substr(0, 31), 31, kLong.substr(0, 31)},
                    SetNameCase{"longer names are cut to 31 units", kLong, 44, kLong.substr(0, 31)},
                    SetNameCase{"non-ASCII code units pass unchanged", u"Horloge \u00e9 \u5185\u90e8", 12,
                                u"Horloge \u00e9 \u5185\u90e8"}));

TEST(ClockName, NullSourceClearsTheWholeField) {
  ClockSourceInfo info;
  std::memset(&info, 0xA5, sizeof(info));
  ClockSourceInfoSetName(info, nullptr, 12);
  EXPECT_TRUE(TailIsZero(info, 0));
}

TEST(ClockName, StoredNameIsLittleEndianUtf16AtOffsetFour) {
  ClockSourceInfo info{};
  ClockSourceInfoSetName(info, QAV_W("\u00c9x"), 2);
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&info);
  EXPECT_EQ(bytes[4], 0xC9);
  EXPECT_EQ(bytes[5], 0x00);
  EXPECT_EQ(bytes[6], 'x');
  EXPECT_EQ(bytes[7], 0x00);
  EXPECT_EQ(bytes[8], 0x00);
}

TEST(ClockName, ReadingIntoASmallBufferTruncatesAndTerminates) {
  ClockSourceInfo info{};
  ClockSourceInfoSetName(info, QAV_W("Internal"), 8);
  WCHAR out[4] = {u'?', u'?', u'?', u'?'};
  EXPECT_EQ(ClockSourceInfoGetName(info, out, 4), 3u);
  EXPECT_EQ(std::u16string(out), u"Int");
}

TEST(ClockName, ReadingIntoNoRoomWritesNothing) {
  ClockSourceInfo info{};
  ClockSourceInfoSetName(info, QAV_W("Internal"), 8);
  WCHAR out[1] = {u'?'};
  EXPECT_EQ(ClockSourceInfoGetName(info, out, 0), 0u);
  EXPECT_EQ(out[0], u'?');
  EXPECT_EQ(ClockSourceInfoGetName(info, nullptr, 8), 0u);
}

TEST(ClockName, UnterminatedFieldFromAPeerIsReadOnlyToTheFieldsEnd) {
  ClockSourceInfo info{};
  for (UINT16 &unit : info.Name) unit = u'Z';
  info.ClockId = 'X';  // the bytes after the field must not leak into the name
  WCHAR out[2 * UAC_CLOCK_NAME_CHARS];
  EXPECT_EQ(ClockSourceInfoGetName(info, out, 2 * UAC_CLOCK_NAME_CHARS), UAC_CLOCK_NAME_CHARS);
  EXPECT_EQ(std::u16string(out), std::u16string(UAC_CLOCK_NAME_CHARS, u'Z'));
}

}  // namespace
