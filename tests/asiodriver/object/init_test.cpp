// init and what it sets up: devices, channels, rates and clock sources, for
// no device, one device, a device in firmware-update mode and two devices.
#include <cstring>
#include <string>
#include <vector>

#include "asio_machine.h"

namespace asiotest {
namespace {

std::string ChannelName(QZUsb2Asio *asio, bool input, LONG channel, LONG *field = nullptr) {
  ASIOChannelInfo info = {};
  info.channel = channel;
  info.isInput = input ? ASIOTrue : ASIOFalse;
  if (asio->getChannelInfo(&info) != ASE_OK) return "<refused>";
  if (field != nullptr) *field = info.channel;
  EXPECT_EQ(info.type, ASIOSTInt32LSB);
  EXPECT_EQ(info.isActive, ASIOFalse);
  return info.name;
}

std::vector<ASIOClockSource> Clocks(QZUsb2Asio *asio) {
  std::vector<ASIOClockSource> clocks(8);
  LONG count = static_cast<LONG>(clocks.size());
  EXPECT_EQ(asio->getClockSources(clocks.data(), &count), ASE_OK);
  clocks.resize(static_cast<size_t>(count));
  return clocks;
}

using AsioInit = AsioMachineTest;

TEST_F(AsioInit, NoDeviceFailsAndLeavesNothingToStream) {
  QZUsb2Asio *driver = NewDriver();
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);
  LONG inputs = -1, outputs = -1;
  EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);
  ASIOSampleRate rate = 1;
  EXPECT_EQ(driver->getSampleRate(&rate), ASE_NotPresent);
  EXPECT_EQ(rate, 0.0);
  EXPECT_EQ(driver->start(), ASE_InvalidMode);
  EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(AsioInit, DeviceInFirmwareUpdateModeFails) {
  PlugOptions dfu;
  dfu.edit = [](winsim::devices::DeviceDefinition &definition) {
    definition.descriptors.device[4] = 0xFE;
    definition.descriptors.device[5] = 0x01;
  };
  Plug("Alder", dfu);
  QZUsb2Asio *driver = NewDriver();
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);
  LONG inputs = -1, outputs = -1;
  EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);
}

TEST_F(AsioInit, OneDeviceShowsItsOwnNamesRatesAndClocks) {
  Plug("Larch", {u"Studio", false, {}});
  QZUsb2Asio *driver = NewDriver();
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  LONG inputs = 0, outputs = 0;
  ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
  EXPECT_EQ(inputs, 18);
  EXPECT_EQ(outputs, 20);
  LONG field = -1;
  EXPECT_EQ(ChannelName(driver, true, 0), "Analog 1") << "no device prefix with one device";
  EXPECT_EQ(ChannelName(driver, false, 19, &field), "ADAT 8");
  EXPECT_EQ(field, 19);

  for (double rate : {44100.0, 48000.0, 192000.0, 44100.7}) EXPECT_EQ(driver->canSampleRate(rate), ASE_OK) << rate;
  for (double rate : {32000.0, 0.0, -44100.0, 1e300}) EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;

  const std::vector<ASIOClockSource> clocks = Clocks(driver);
  ASSERT_EQ(clocks.size(), 3u) << "internal, S/PDIF and ADAT";
  int current = 0;
  for (size_t i = 0; i < clocks.size(); ++i) {
    EXPECT_EQ(clocks[i].index, static_cast<LONG>(i));
    EXPECT_EQ(clocks[i].associatedChannel, -1);
    EXPECT_NE(clocks[i].name[0], '\0');
    current += clocks[i].isCurrentSource ? 1 : 0;
  }
  EXPECT_EQ(current, 1);
  EXPECT_EQ(driver->setClockSource(3), ASE_NotPresent) << "index equal to the count";
  EXPECT_EQ(driver->setClockSource(-1), ASE_NotPresent);
}

TEST_F(AsioInit, TwoDevicesAggregateNamesChannelsRatesAndClock) {
  Plug("Alder", {u"Desk", false, {}});
  Plug("Larch", {u"Tessarin Larch Studio Box", false, {}});
  QZUsb2Asio *driver = NewDriver();
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  LONG inputs = 0, outputs = 0;
  ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
  EXPECT_EQ(inputs, 2 + 18);
  EXPECT_EQ(outputs, 2 + 20);

  // The list's order decides which device comes first.
  const bool alderFirst = ChannelName(driver, true, 0).rfind("Desk ", 0) == 0;
  const LONG larchInput = alderFirst ? 2 : 0;
  const LONG alderInput = alderFirst ? 0 : 18;
  LONG field = -1;
  EXPECT_EQ(ChannelName(driver, true, alderInput + 1, &field), "Desk In 2");
  EXPECT_EQ(field, 1);
  // "Tessarin Larch Studio Box Analog 3" cut to 31 characters.
  EXPECT_EQ(ChannelName(driver, true, larchInput + 2, &field), "Tessarin Larch Studio Box Analo");
  EXPECT_EQ(field, 2) << "the channel field counts within its device";
  const LONG larchOutput = alderFirst ? 2 : 0;
  EXPECT_EQ(ChannelName(driver, false, larchOutput + 19, &field), "Tessarin Larch Studio Box ADAT ");
  EXPECT_EQ(field, 19);
  EXPECT_EQ(ChannelName(driver, true, inputs), "<refused>");
  EXPECT_EQ(ChannelName(driver, false, -1), "<refused>");

  // Alder stops at 96 kHz, Larch goes to 192 kHz.
  for (double rate : {44100.0, 48000.0, 88200.0, 96000.0}) EXPECT_EQ(driver->canSampleRate(rate), ASE_OK) << rate;
  for (double rate : {176400.0, 192000.0}) EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;

  const std::vector<ASIOClockSource> clocks = Clocks(driver);
  ASSERT_EQ(clocks.size(), 1u);
  EXPECT_STREQ(clocks[0].name, "Aggregated devices");
  EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
  EXPECT_EQ(clocks[0].associatedGroup, -1);
  EXPECT_EQ(driver->setClockSource(0), ASE_OK);
  EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
}

TEST_F(AsioInit, ClockSourceListsNobodyCanHoldAreRefusedUntouched) {
  Plug("Larch");
  QZUsb2Asio *driver = NewDriver();
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  ASIOClockSource guard[2];
  std::memset(guard, 0x5A, sizeof guard);
  for (LONG count : {0, -1, -100}) {
    LONG given = count;
    EXPECT_EQ(driver->getClockSources(guard, &given), ASE_InvalidParameter) << count;
    EXPECT_EQ(given, count);
  }
  EXPECT_EQ(reinterpret_cast<unsigned char *>(guard)[0], 0x5A);
  LONG one = 1;
  EXPECT_EQ(driver->getClockSources(guard, &one), ASE_OK);
  EXPECT_EQ(one, 3) << "the count of clock sources, though only one was copied";
  EXPECT_EQ(reinterpret_cast<unsigned char *>(&guard[1])[0], 0x5A) << "nothing past the host's count";
}

TEST_F(AsioInit, FixedAnswers) {
  Plug("Alder");
  QZUsb2Asio *driver = NewDriver();
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  char name[32];
  std::memset(name, 'x', sizeof name);
  driver->getDriverName(name);
  EXPECT_STREQ(name, "Quorvin Tessarin ASIO");
  EXPECT_EQ(driver->getDriverVersion(), 1);
  char error[124];
  std::memset(error, 'x', sizeof error);
  driver->getErrorMessage(error);
  EXPECT_STREQ(error, "");
  EXPECT_EQ(driver->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
  EXPECT_EQ(driver->future(kAsioCanTimeCode, nullptr), ASE_NotPresent);
  EXPECT_EQ(driver->outputReady(), ASE_OK);
  LONG minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(minSize, 16);
  EXPECT_EQ(maxSize, 4096);
  EXPECT_EQ(preferred, 256);
  EXPECT_EQ(granularity, 1);
}

}  // namespace
}  // namespace asiotest
