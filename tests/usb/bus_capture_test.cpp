// The bus capture: a short session through the whole stack (enumeration,
// configuration, class requests, isochronous and bulk transfers) written as
// a usbmon pcap that tshark decodes without error or malformed items. tshark
// is required (Debian package tshark); without it the decode test fails.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "usb_stack_fixture.h"
#include "winsim/usb/usb_bus.h"

using namespace usbtest;
using winsim::usb::PcapStatus;

namespace {

std::string RunTshark(const std::string &capture, int *exitCode) {
  std::string command = "timeout 120 tshark -r '" + capture + "' -V -z expert 2>&1";
  std::string text;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
  int status = pclose(pipe);
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return text;
}

class BusCaptureTest : public UsbStackTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(access("/usr/bin/tshark", X_OK), 0) << "install the Debian package tshark";
    path = ::testing::TempDir() + "qav_usb_session_" + std::to_string(getpid()) + ".pcap";
    // Started before the device arrives, so its enumeration is in the capture.
    ASSERT_EQ(machine.CaptureBus(path), PcapStatus::Ok);
    UsbStackTest::SetUp();
  }
  void TearDown() override {
    UsbStackTest::TearDown();
    std::remove(path.c_str());
  }

  void Session() {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
    ASSERT_EQ(SelectInterface(2, 1), STATUS_SUCCESS);
    uint8_t rate[4];
    UrbBuffer getRate = ClassInterfaceUrb(true, 0x01, 0x0100, 0x2900, rate, sizeof rate);
    ASSERT_EQ(stack->SubmitUrb(getRate.get()), STATUS_SUCCESS);
    std::vector<uint8_t> render(2 * 8 * 48, 0x11), capture(2 * 8 * 1800);
    UrbBuffer out = IsochUrb(Pipe(0x01), false, render.data(), 2, 48, std::nullopt);
    UrbBuffer in = IsochUrb(Pipe(0x81), true, capture.data(), 2, 1800, std::nullopt);
    device->SetIsoInLength([](uint8_t, uint64_t microframe, uint32_t) { return microframe % 2 ? 48u : 40u; });
    AsyncUrb sendAudio(stack->Top(), out.get()), receiveAudio(stack->Top(), in.get());
    ASSERT_EQ(sendAudio.Send(), STATUS_PENDING);
    ASSERT_EQ(receiveAudio.Send(), STATUS_PENDING);
    ASSERT_TRUE(RunUntilDone(sendAudio) && RunUntilDone(receiveAudio));
    uint8_t noteOn[4] = {0x09, 0x90, 0x3C, 0x64}, midiIn[64];
    UrbBuffer midiOut = BulkUrb(Pipe(0x02), false, noteOn, sizeof noteOn);
    ASSERT_EQ(stack->SubmitUrb(midiOut.get()), STATUS_SUCCESS);
    device->QueueBulkIn(0x82, {0x19, 0x80, 0x3C, 0x00});
    UrbBuffer midiRead = BulkUrb(Pipe(0x82), true, midiIn, sizeof midiIn, USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(stack->SubmitUrb(midiRead.get()), STATUS_SUCCESS);
  }

  std::string path;
};

TEST_F(BusCaptureTest, ShortSessionDecodesAsUsbAudioWithoutErrorOrMalformedItems) {
  Session();
  ASSERT_EQ(machine.StopBusCapture(), PcapStatus::Ok);
  int exitCode = -1;
  std::string decoded = RunTshark(path, &exitCode);
  ASSERT_EQ(exitCode, 0) << decoded.substr(0, 2000);
  size_t summary = decoded.rfind("Errors (");
  EXPECT_EQ(summary, std::string::npos) << decoded.substr(summary == std::string::npos ? 0 : summary, 1500);
  EXPECT_EQ(decoded.find("Malformed"), std::string::npos);
  for (const char *expected : {"URB_CONTROL", "Subtype: Clock source descriptor (0x0a)", "URB_ISOCHRONOUS",
                               "USB isodesc 15 [Success] (48 bytes)", "URB_BULK", "URB bus id: 1"}) {
    EXPECT_NE(decoded.find(expected), std::string::npos) << expected;
  }
  EXPECT_NE(decoded.find("bString: " + device->Definition().model.product), std::string::npos);
}

}  // namespace
