// Choosing a stream's alternate setting for a rate from its AudioStreaming
// interface: the first setting with a data endpoint, a general descriptor and
// a Type I format that may carry the rate.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config_builder.h"
#include "kerneldriver/stream/audio_stream.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"

namespace {

using kdtest::ConfigBuilder;

// A stream over configuration bytes, without a device: format selection
// only reads descriptors.
class StreamOver {
 public:
  StreamOver(std::vector<uint8_t> bytes, uint8_t interfaceNumber) : m_bytes(std::move(bytes)) {
    std::memset(&m_config, 0, sizeof(m_config));
    std::memset(&m_interface, 0, sizeof(m_interface));
    std::memset(&m_stream, 0, sizeof(m_stream));
    m_config.configDescriptor = m_bytes.data();
    m_config.configLength = static_cast<ULONG>(m_bytes.size());
    m_interface.owner = &m_config;
    m_interface.interfaceNumber = interfaceNumber;
    m_stream.usbInterface = &m_interface;
  }
  UsbAudioStream &operator*() { return m_stream; }
  UsbAudioStream *operator->() { return &m_stream; }

 private:
  std::vector<uint8_t> m_bytes;
  UsbDeviceConfig m_config;
  UsbInterface m_interface;
  UsbAudioStream m_stream;
};

std::vector<uint8_t> Catalog(const char *name) {
  auto built = winsim::devices::BuildDevice(*winsim::devices::FindModel(name));
  EXPECT_TRUE(built.Ok());
  return built.definition.descriptors.configuration;
}

struct RateCase {
  uint32_t rate;
  uint8_t altSetting;
  uint32_t subslot;
};

TEST(StreamFormat, SkipsASettingWhoseFormatLimitIsBelowTheRate) {
  // Cedar's capture interface (1): setting 1 is 4-byte up to 48 kHz, setting 2 3-byte at any rate.
  for (const RateCase &c : {RateCase{0, 1, 4}, RateCase{44100, 1, 4}, RateCase{48000, 1, 4}, RateCase{96000, 2, 3}}) {
    StreamOver stream(Catalog("Cedar"), 1);
    ASSERT_EQ(UsbAudioStreamSelectFormat(&*stream, c.rate), STATUS_SUCCESS) << c.rate;
    EXPECT_EQ(stream->altSetting, c.altSetting) << c.rate;
    EXPECT_EQ(stream->subslot, c.subslot) << c.rate;
    EXPECT_EQ(stream->channels, 8u);
    EXPECT_EQ(stream->bytesPerFrame, 8u * c.subslot);
    EXPECT_EQ(stream->dataEndpoint, 0x81);
  }
}

TEST(StreamFormat, RecordsDataAndExplicitFeedbackEndpoints) {
  StreamOver render(Catalog("Birch"), 1);
  ASSERT_EQ(UsbAudioStreamSelectFormat(&*render, 48000), STATUS_SUCCESS);
  EXPECT_EQ(render->dataEndpoint, 0x02);
  EXPECT_EQ(render->feedbackEndpoint, 0x83);
  EXPECT_EQ(render->channels, 4u);
  ASSERT_NE(render->generalDescriptor, nullptr);
  EXPECT_EQ(render->generalDescriptor[2], 0x01);
}

TEST(StreamFormat, NeverChoosesASettingWithoutADataEndpoint) {
  auto bytes = ConfigBuilder()
                   .Interface(1, 0, 0, 1, 2)
                   .AsGeneral(2)
                   .FormatType(2, 16)  // setting 0: no endpoint at all
                   .Interface(1, 1, 1, 1, 2)
                   .AsGeneral(2)
                   .FormatType(4, 24)
                   .Endpoint(0x81, 0x11)  // setting 1: a feedback endpoint only
                   .Interface(1, 2, 1, 1, 2)
                   .AsGeneral(6)
                   .FormatType(3, 24)
                   .Endpoint(0x01, 0x05)
                   .Bytes();
  StreamOver stream(bytes, 1);
  ASSERT_EQ(UsbAudioStreamSelectFormat(&*stream, 48000), STATUS_SUCCESS);
  EXPECT_EQ(stream->altSetting, 2);
  EXPECT_EQ(stream->channels, 6u);
  EXPECT_EQ(stream->feedbackEndpoint, 0);
}

TEST(StreamFormat, KeepsTheEarlierChoiceWhenNoSettingCarriesTheRate) {
  auto bytes = ConfigBuilder()
                   .Interface(1, 0, 0, 1, 2)
                   .Interface(1, 1, 1, 1, 2)
                   .AsGeneral(2)
                   .FormatTypeWithMaxRate(4, 24, 48000)
                   .Endpoint(0x01, 0x05)
                   .Bytes();
  StreamOver stream(bytes, 1);
  ASSERT_EQ(UsbAudioStreamSelectFormat(&*stream, 48000), STATUS_SUCCESS);
  ASSERT_EQ(stream->altSetting, 1);
  EXPECT_EQ(UsbAudioStreamSelectFormat(&*stream, 192000), STATUS_SUCCESS);
  EXPECT_EQ(stream->altSetting, 1);
  EXPECT_EQ(stream->subslot, 4u);
}

// A setting with no channels or zero-byte subslots is passed over, also
// when it is the only one that claims the rate: the stream keeps a setting
// that carries audio.
TEST(StreamFormat, NeverChoosesASettingWithoutChannelsOrSubslotSize) {
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
    uint32_t rate;
    uint8_t altSetting;
  };
  const Case cases[] = {
      {"no channels, any rate",
       ConfigBuilder()
           .Interface(1, 0, 0, 1, 2)
           .Interface(1, 1, 1, 1, 2)
           .AsGeneral(0)
           .FormatType(3, 24)
           .Endpoint(0x81, 0x05)
           .Interface(1, 2, 1, 1, 2)
           .AsGeneral(8)
           .FormatType(4, 24)
           .Endpoint(0x81, 0x05)
           .Bytes(),
       48000, 2},
      {"zero-byte subslots", ConfigBuilder()
                                 .Interface(1, 0, 0, 1, 2)
                                 .Interface(1, 1, 1, 1, 2)
                                 .AsGeneral(2)
                                 .FormatType(0, 24)
                                 .Endpoint(0x81, 0x05)
                                 .Interface(1, 2, 1, 1, 2)
                                 .AsGeneral(2)
                                 .FormatType(3, 24)
                                 .Endpoint(0x81, 0x05)
                                 .Bytes(),
       48000, 2},
      {"only a setting without channels claims the rate",
       ConfigBuilder()
           .Interface(1, 0, 0, 1, 2)
           .Interface(1, 1, 1, 1, 2)
           .AsGeneral(8)
           .FormatTypeWithMaxRate(4, 24, 48000)
           .Endpoint(0x81, 0x05)
           .Interface(1, 2, 1, 1, 2)
           .AsGeneral(0)
           .FormatType(3, 24)
           .Endpoint(0x81, 0x05)
           .Bytes(),
       66052, 1},
  };
  for (const Case &c : cases) {
    StreamOver stream(c.bytes, 1);
    ASSERT_EQ(UsbAudioStreamSelectFormat(&*stream, 0), STATUS_SUCCESS) << c.what;
    ASSERT_EQ(UsbAudioStreamSelectFormat(&*stream, c.rate), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(stream->altSetting, c.altSetting) << c.what;
    EXPECT_NE(stream->channels, 0u) << c.what;
    EXPECT_NE(stream->subslot, 0u) << c.what;
  }
}

TEST(StreamFormat, FailsWhenNoGeneralDescriptorWasEverSeen) {
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"no general descriptor",
       ConfigBuilder().Interface(1, 1, 1, 1, 2).FormatType(4, 24).Endpoint(0x01, 0x05).Bytes()},
      {"a general descriptor too short to hold iChannelNames",
       ConfigBuilder()
           .Interface(1, 1, 1, 1, 2)
           .Raw({11, 0x24, 0x01, 0, 0, 1, 0, 0, 0, 0, 2})
           .FormatType(4, 24)
           .Endpoint(0x01, 0x05)
           .Bytes()},
      {"only a format type other than I",
       ConfigBuilder().Interface(1, 1, 1, 1, 2).Raw({6, 0x24, 0x02, 0x02, 4, 24}).Endpoint(0x01, 0x05).Bytes()},
      {"another interface number", ConfigBuilder()
                                       .Interface(2, 1, 1, 1, 2)
                                       .AsGeneral(2)
                                       .FormatType(4, 24)
                                       .Endpoint(0x01, 0x05)
                                       .Bytes()},
  };
  for (const auto &c : cases) {
    StreamOver stream(c.bytes, 1);
    EXPECT_FALSE(NT_SUCCESS(UsbAudioStreamSelectFormat(&*stream, 0))) << c.what;
    EXPECT_EQ(stream->altSetting, 0) << c.what;
  }
}

}  // namespace
