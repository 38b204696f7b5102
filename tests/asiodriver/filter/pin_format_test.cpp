// The ASIO pin format's derived fields, including sizes a wave format cannot
// carry.
#include <gtest/gtest.h>

#include "uac2common/asiodriver/filter/pin_format.h"

namespace asiofiltertest {
namespace {

struct FormatCase {
  WORD channels;
  ULONG rate;
  WORD blockAlign;
  DWORD bytesPerSecond;
};

TEST(AsioPinFormat, DerivedFieldsFitOrStayZero) {
  const FormatCase cases[] = {
      {2, 44100, 8, 352800},
      {20, 192000, 80, 15360000},
      {1, 8000, 4, 32000},
      {0x4000, 48000, 0, 0},      // a block of 64 KiB does not fit nBlockAlign
      {0x3FFF, 0x7FFFFFFF, 0xFFFC, 0},  // nor does this byte rate fit 32 bits
  };
  for (const FormatCase &c : cases) {
    SCOPED_TRACE(::testing::Message() << c.channels << " x " << c.rate);
    const WAVEFORMATEXTENSIBLE format = MakeAsioPinFormat(c.channels, c.rate);
    EXPECT_EQ(format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(format.Format.nChannels, c.channels);
    EXPECT_EQ(format.Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(format.Format.nBlockAlign, c.blockAlign);
    EXPECT_EQ(format.Format.nAvgBytesPerSec, c.bytesPerSecond);
    EXPECT_EQ(format.Format.wBitsPerSample, 32);
    EXPECT_EQ(format.Format.cbSize, 22);
    EXPECT_EQ(format.Samples.wValidBitsPerSample, 24);
  }
}

TEST(AsioPinFormat, NoPinHasNoChannels) { EXPECT_EQ(GetPinMaxChannels(nullptr), 0); }

}  // namespace
}  // namespace asiofiltertest
