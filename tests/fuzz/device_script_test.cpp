// Device scripts, the fast fuzz target's input: their byte layout and which
// answer a request gets.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fuzz/device_script.h"

namespace {

using qavfuzz::DeviceScript;
using qavfuzz::ScriptedDevice;
using qavfuzz::ScriptRecord;
using winsim::usb::Handshake;
using winsim::usb::SetupPacket;

constexpr SetupPacket kGetCur{0xA1, 0x01, 0x0100, 0x2800, 4};
constexpr SetupPacket kSetCur{0x21, 0x01, 0x0100, 0x2800, 4};
constexpr SetupPacket kGetString{0x80, 0x06, 0x0302, 0x0409, 64};
constexpr SetupPacket kGetConfiguration{0x80, 0x06, 0x0200, 0x0000, 9};

ScriptRecord Record(const SetupPacket &setup, Handshake handshake, std::vector<uint8_t> data) {
  return ScriptRecord{setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, handshake, std::move(data)};
}

struct Answer {
  Handshake handshake;
  std::vector<uint8_t> data;
};

Answer Ask(ScriptedDevice &device, const SetupPacket &setup) {
  std::vector<uint8_t> buffer(setup.wLength);
  winsim::usb::TransferOutcome outcome = device.Control(setup, buffer.data(), 0);
  if (outcome.handshake != Handshake::Ack || !(setup.bmRequestType & 0x80)) return {outcome.handshake, {}};
  buffer.resize(outcome.length);
  return {outcome.handshake, buffer};
}

TEST(DeviceScript, SerializesToTheLayoutItParses) {
  DeviceScript script;
  script.flags = qavfuzz::kScriptFullSpeed | qavfuzz::kScriptNoBusInterfaceV2;
  script.configuration = {0x09, 0x02, 0x09, 0x00, 0x00, 0x01, 0x00, 0x80, 0x32};
  script.records = {Record(kGetCur, Handshake::Ack, {0x80, 0xBB, 0x00, 0x00}), Record(kSetCur, Handshake::Stall, {})};
  std::vector<uint8_t> bytes = script.Serialize();
  const std::vector<uint8_t> expected = {0x11, 0x09, 0x00, 0x09, 0x02, 0x09, 0x00, 0x00, 0x01, 0x00, 0x80, 0x32,
                                         0xA1, 0x01, 0x00, 0x01, 0x00, 0x28, 0x00, 0x04, 0x80, 0xBB, 0x00, 0x00,
                                         0x21, 0x01, 0x00, 0x01, 0x00, 0x28, 0x02, 0x00};
  EXPECT_EQ(bytes, expected);
  DeviceScript parsed = DeviceScript::Parse(bytes);
  EXPECT_EQ(parsed.flags, script.flags);
  EXPECT_EQ(parsed.configuration, script.configuration);
  ASSERT_EQ(parsed.records.size(), 2u);
  EXPECT_EQ(parsed.records[0].data, script.records[0].data);
  EXPECT_EQ(parsed.records[1].handshake, Handshake::Stall);
}

TEST(DeviceScript, ReadsTruncatedInputAsFarAsItGoes) {
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
    size_t configuration;
    size_t records;
    size_t lastData;
  };
  const Case cases[] = {
      {"empty", {}, 0, 0, 0},
      {"configuration cut short", {0x00, 0x10, 0x00, 0x09, 0x02}, 2, 0, 0},
      {"record cut in its request", {0x00, 0x00, 0x00, 0xA1, 0x01}, 0, 1, 0},
      {"record data cut short", {0x00, 0x00, 0x00, 0xA1, 0x01, 0x00, 0x01, 0x00, 0x28, 0x00, 0x04, 0x80}, 0, 1, 1},
  };
  for (const Case &c : cases) {
    DeviceScript script = DeviceScript::Parse(c.bytes);
    EXPECT_EQ(script.configuration.size(), c.configuration) << c.what;
    ASSERT_EQ(script.records.size(), c.records) << c.what;
    if (c.records > 0) {
      EXPECT_EQ(script.records.back().data.size(), c.lastData) << c.what;
    }
  }
}

TEST(DeviceScript, HandshakeBytesWrapAroundTheFiveOutcomes) {
  for (uint8_t byte : {0, 1, 2, 3, 4, 5, 9, 255}) {
    std::vector<uint8_t> bytes = {0x00, 0x00, 0x00, 0xA1, 0x01, 0x00, 0x01, 0x00, 0x28, byte, 0x00};
    EXPECT_EQ(static_cast<int>(DeviceScript::Parse(bytes).records[0].handshake), byte % 5) << int(byte);
  }
}

TEST(ScriptedDevice, AnswersInRecordOrderThenRepeatsTheLastMatch) {
  DeviceScript script;
  script.records = {Record(kGetCur, Handshake::Ack, {1, 0, 0, 0}), Record(kGetString, Handshake::Ack, {4, 3, 'A', 0}),
                    Record(kGetCur, Handshake::Ack, {2, 0, 0, 0}), Record(kGetCur, Handshake::NoReply, {})};
  ScriptedDevice device(script);
  EXPECT_EQ(Ask(device, kGetCur).data, (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(Ask(device, kGetCur).data, (std::vector<uint8_t>{2, 0, 0, 0}));
  EXPECT_EQ(Ask(device, kGetCur).handshake, Handshake::NoReply);
  EXPECT_EQ(Ask(device, kGetCur).handshake, Handshake::NoReply);
  EXPECT_EQ(Ask(device, kGetString).data, (std::vector<uint8_t>{4, 3, 'A', 0}));
}

TEST(ScriptedDevice, StallsUnknownInRequestsAndAcceptsUnknownOutRequests) {
  DeviceScript script;
  ScriptedDevice device(script);
  EXPECT_EQ(Ask(device, kGetCur).handshake, Handshake::Stall);
  EXPECT_EQ(Ask(device, kSetCur).handshake, Handshake::Ack);
  EXPECT_EQ(Ask(device, SetupPacket{0x00, 0x09, 0x0001, 0x0000, 0}).handshake, Handshake::Ack);
}

TEST(ScriptedDevice, AnswersTheConfigurationFromItsRecordsOnceEachThenFromItsSection) {
  DeviceScript script;
  script.configuration.assign(40, 0x5A);
  script.records = {Record(kGetConfiguration, Handshake::Ack, std::vector<uint8_t>(9, 0x11)),
                    Record(kGetConfiguration, Handshake::Stall, {})};
  ScriptedDevice device(script);
  EXPECT_EQ(Ask(device, kGetConfiguration).data, std::vector<uint8_t>(9, 0x11));
  EXPECT_EQ(Ask(device, kGetConfiguration).handshake, Handshake::Stall);
  EXPECT_EQ(Ask(device, kGetConfiguration).data, std::vector<uint8_t>(9, 0x5A));
}

TEST(ScriptedDevice, ServesTheConfigurationUpToWhatIsAskedAndDataUpToWLength) {
  DeviceScript script;
  script.configuration.assign(40, 0x5A);
  script.records = {Record(kGetString, Handshake::Ack, std::vector<uint8_t>(100, 0x33))};
  ScriptedDevice device(script);
  EXPECT_EQ(Ask(device, kGetConfiguration).data.size(), 9u);
  SetupPacket whole = kGetConfiguration;
  whole.wLength = 255;
  EXPECT_EQ(Ask(device, whole).data.size(), 40u);
  EXPECT_EQ(Ask(device, kGetString).data.size(), 64u);
}

}  // namespace
