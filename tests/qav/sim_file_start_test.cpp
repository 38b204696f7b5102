// `qav --sim FILE start` on hand-written lsusb dumps of shapes the catalog
// lacks: each starts or is refused as the driver decides, and the reason
// comes from the driver's own traces.
#include <gtest/gtest.h>

#include <cstdio>

#include "tools/qav/host_commands.h"

namespace {

// Descriptor texts as lsusb prints them; the numbers are each one's bytes.
const char *kDevice = R"(Bus 001 Device 009: ID 2b5a:8fff Quorvin Handmade
Device Descriptor:
  bLength                18
  bDescriptorType         1
  bcdUSB               2.00
  bDeviceClass          239 Miscellaneous Device
  bDeviceSubClass         2
  bDeviceProtocol         1 Interface Association
  bMaxPacketSize0        64
  idVendor           0x%04x
  idProduct          0x8fff
  bcdDevice            1.00
  iManufacturer           1 Quorvin
  iProduct                2 Handmade
  iSerial                 0
  bNumConfigurations      1
  Configuration Descriptor:
    bLength                 9
    bDescriptorType         2
    wTotalLength       0x%04x
    bNumInterfaces          %u
    bConfigurationValue     1
    iConfiguration          0
    bmAttributes         0x80
      (Bus Powered)
    MaxPower              100mA
)";

struct Piece {
  size_t bytes;
  const char *text;
};

const Piece kVendorInterface = {9, R"(    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        7
      bAlternateSetting       0
      bNumEndpoints           0
      bInterfaceClass       255 Vendor Specific Class
      bInterfaceSubClass      0
      bInterfaceProtocol      0
      iInterface              0
)"};

const Piece kAssociation = {8, R"(    Interface Association:
      bLength                 8
      bDescriptorType        11
      bFirstInterface         0
      bInterfaceCount         2
      bFunctionClass          1 Audio
      bFunctionSubClass       0
      bFunctionProtocol      32
      iFunction               0
)"};

const Piece kControlInterface = {9, R"(    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        0
      bAlternateSetting       0
      bNumEndpoints           0
      bInterfaceClass         1 Audio
      bInterfaceSubClass      1 Control Device
      bInterfaceProtocol     32
      iInterface              0
)"};

// The class-specific AudioControl descriptors after the header: a fixed
// clock without controls and a USB-streaming to speaker path.
const Piece kOneClock = {37, R"(      AudioControl Interface Descriptor:
        bLength                 8
        bDescriptorType        36
        bDescriptorSubtype     10 (CLOCK_SOURCE)
        bClockID               16
        bmAttributes            1 Internal fixed clock
        bmControls           0x00
        bAssocTerminal          0
        iClockSource            0
      AudioControl Interface Descriptor:
        bLength                17
        bDescriptorType        36
        bDescriptorSubtype      2 (INPUT_TERMINAL)
        bTerminalID             1
        wTerminalType      0x0101 USB Streaming
        bAssocTerminal          0
        bCSourceID             16
        bNrChannels             2
        bmChannelConfig    0x00000003
          Front Left (FL)
          Front Right (FR)
        iChannelNames           0
        bmControls         0x0000
        iTerminal               0
      AudioControl Interface Descriptor:
        bLength                12
        bDescriptorType        36
        bDescriptorSubtype      3 (OUTPUT_TERMINAL)
        bTerminalID             2
        wTerminalType      0x0301 Speaker
        bAssocTerminal          0
        bSourceID               1
        bCSourceID             16
        bmControls         0x0000
        iTerminal               0
)"};

// Three clock domains: an internal clock, two external ones, a selector.
const Piece kThreeClocks = {26, R"(      AudioControl Interface Descriptor:
        bLength                 8
        bDescriptorType        36
        bDescriptorSubtype     10 (CLOCK_SOURCE)
        bClockID               17
        bmAttributes            0 External
        bmControls           0x05
        bAssocTerminal          0
        iClockSource            0
      AudioControl Interface Descriptor:
        bLength                 8
        bDescriptorType        36
        bDescriptorSubtype     10 (CLOCK_SOURCE)
        bClockID               18
        bmAttributes            0 External
        bmControls           0x05
        bAssocTerminal          0
        iClockSource            0
      AudioControl Interface Descriptor:
        bLength                10
        bDescriptorType        36
        bDescriptorSubtype     11 (CLOCK_SELECTOR)
        bClockID               32
        bNrInPins               3
        baCSourceID( 0)        16
        baCSourceID( 1)        17
        baCSourceID( 2)        18
        bmControls           0x03
        iClockSelector          0
)"};

const Piece kStreaming = {55, R"(    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        1
      bAlternateSetting       0
      bNumEndpoints           0
      bInterfaceClass         1 Audio
      bInterfaceSubClass      2 Streaming
      bInterfaceProtocol     32
      iInterface              0
    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        1
      bAlternateSetting       1
      bNumEndpoints           1
      bInterfaceClass         1 Audio
      bInterfaceSubClass      2 Streaming
      bInterfaceProtocol     32
      iInterface              0
      AudioStreaming Interface Descriptor:
        bLength                16
        bDescriptorType        36
        bDescriptorSubtype      1 (AS_GENERAL)
        bTerminalLink           1
        bmControls           0x00
        bFormatType             1
        bmFormats          0x00000001
          PCM
        bNrChannels             2
        bmChannelConfig    0x00000003
          Front Left (FL)
          Front Right (FR)
        iChannelNames           0
      AudioStreaming Interface Descriptor:
        bLength                 6
        bDescriptorType        36
        bDescriptorSubtype      2 (FORMAT_TYPE)
        bFormatType             1 (FORMAT_TYPE_I)
        bSubslotSize            3
        bBitResolution         24
      Endpoint Descriptor:
        bLength                 7
        bDescriptorType         5
        bEndpointAddress     0x01  EP 1 OUT
        bmAttributes            5
          Transfer Type            Isochronous
          Synch Type               Asynchronous
          Usage Type               Data
        wMaxPacketSize     0x0120  1x 288 bytes
        bInterval               1
        AudioStreaming Endpoint Descriptor:
          bLength                 8
          bDescriptorType        37
          bDescriptorSubtype      1 (EP_GENERAL)
          bmAttributes         0x00
          bmControls           0x00
          bLockDelayUnits         0 Undefined
          wLockDelay         0x0000
)"};

// A class 1.0 AudioControl interface with an empty collection.
const Piece kClassOneControl = {17, R"(    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        2
      bAlternateSetting       0
      bNumEndpoints           0
      bInterfaceClass         1 Audio
      bInterfaceSubClass      1 Control Device
      bInterfaceProtocol      0
      iInterface              0
      AudioControl Interface Descriptor:
        bLength                 8
        bDescriptorType        36
        bDescriptorSubtype      1 (HEADER)
        bcdADC               1.00
        wTotalLength       0x0008
        bInCollection           0
)"};

const Piece kMidi = {36, R"(    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        3
      bAlternateSetting       0
      bNumEndpoints           1
      bInterfaceClass         1 Audio
      bInterfaceSubClass      3 MIDI Streaming
      bInterfaceProtocol      0
      iInterface              0
      MIDIStreaming Interface Descriptor:
        bLength                 7
        bDescriptorType        36
        bDescriptorSubtype      1 (HEADER)
        bcdADC               1.00
        wTotalLength       0x001b
      MIDIStreaming Interface Descriptor:
        bLength                 6
        bDescriptorType        36
        bDescriptorSubtype      2 (MIDI_IN_JACK)
        bJackType               1 Embedded
        bJackID                 1
        iJack                   0
      Endpoint Descriptor:
        bLength                 9
        bDescriptorType         5
        bEndpointAddress     0x02  EP 2 OUT
        bmAttributes            2
          Transfer Type            Bulk
          Synch Type               None
          Usage Type               Data
        wMaxPacketSize     0x0200  1x 512 bytes
        bInterval               0
        bRefresh                0
        bSynchAddress           0
        MIDIStreaming Endpoint Descriptor:
          bLength                 5
          bDescriptorType        37
          bDescriptorSubtype      1 (GENERAL)
          bNumEmbMIDIJack         1
          baAssocJackID( 0)       1
)"};

std::string Header(size_t classSpecific) {
  char text[400];
  std::snprintf(text, sizeof text, R"(      AudioControl Interface Descriptor:
        bLength                 9
        bDescriptorType        36
        bDescriptorSubtype      1 (HEADER)
        bcdADC               2.00
        bCategory               8
        wTotalLength       0x%04zx
        bmControls           0x00
)",
                classSpecific);
  return text;
}

// The dump of a device whose configuration holds `pieces` in order; the
// AudioControl header is written before the first class-specific piece.
std::string Dump(const std::vector<Piece> &pieces, unsigned interfaces, unsigned vendor = 0x2b5a) {
  size_t total = 9, classSpecific = 9;
  for (const Piece &p : pieces) {
    total += p.bytes;
    if (p.text == kOneClock.text || p.text == kThreeClocks.text) classSpecific += p.bytes;
  }
  total += 9;  // the header
  char head[2048];
  std::snprintf(head, sizeof head, kDevice, vendor, static_cast<unsigned>(total), interfaces);
  std::string text = head;
  bool headerWritten = false;
  for (const Piece &p : pieces) {
    if (!headerWritten && (p.text == kOneClock.text || p.text == kThreeClocks.text)) {
      text += Header(classSpecific);
      headerWritten = true;
    }
    text += p.text;
  }
  return text + "Device Status:     0x0000\n  (Bus Powered)\n";
}

TEST(SimFileStart, HandWrittenShapesStartOrAreRefusedAsTheDriverDecides) {
  struct Case {
    const char *shape;
    std::string dump;
    bool started;
    const char *reason;  // part of the verdict
  };
  const Case cases[] = {
      {"fixed clock without controls", Dump({kAssociation, kControlInterface, kOneClock, kStreaming}, 2), true,
       "render stream: interface 1"},
      {"vendor interface before the audio function",
       Dump({kVendorInterface, kAssociation, kControlInterface, kOneClock, kStreaming}, 3), true,
       "render stream: interface 2"},
      {"class 1.0 AudioControl beside the function",
       Dump({kAssociation, kControlInterface, kOneClock, kStreaming, kClassOneControl}, 3), true, "render stream"},
      {"MIDI outside the association",
       Dump({kAssociation, kControlInterface, kOneClock, kStreaming, kMidi}, 3), true, "render stream"},
      {"three clock domains",
       Dump({kAssociation, kControlInterface, kOneClock, kThreeClocks, kStreaming}, 2), true, "render stream"},
      {"vendor interface between AudioControl and AudioStreaming",
       Dump({kAssociation, kControlInterface, kOneClock, kVendorInterface, kStreaming}, 3), false,
       "no AudioStreaming interface follows the AudioControl interface at position 0"},
      {"foreign vendor", Dump({kAssociation, kControlInterface, kOneClock, kStreaming}, 2, 0x0d8c), false,
       "no driver: the INF's hardware ids name vendors 2B5A and 1A2C, the device carries 0D8C"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.shape);
    qav::SimDevice sim = qav::SimDeviceFromText("handmade.txt", c.dump, false);
    ASSERT_TRUE(sim.ok) << sim.error << "\n" << c.dump;
    qav::StartReport report = qav::StartDevice(sim.definition, false);
    ASSERT_TRUE(report.plugged);
    EXPECT_EQ(report.verdict.started, c.started) << report.verdict.reason;
    EXPECT_NE(report.verdict.reason.find(c.reason), std::string::npos) << report.verdict.reason;
  }
}

TEST(SimFileStart, AsFamilyServesAForeignVendorAndSaysSo) {
  std::string dump = Dump({kAssociation, kControlInterface, kOneClock, kStreaming}, 2, 0x0d8c);
  qav::SimDevice sim = qav::SimDeviceFromText("handmade.txt", dump, true);
  ASSERT_TRUE(sim.ok) << sim.error;
  ASSERT_FALSE(sim.notes.empty());
  EXPECT_NE(sim.notes.back().find("vendor id 2B5A instead of its own 0D8C"), std::string::npos) << sim.notes.back();
  qav::StartReport report = qav::StartDevice(sim.definition, false);
  EXPECT_TRUE(report.verdict.started) << report.verdict.reason;
}

TEST(SimFileStart, FilesThatAreNotWhatTheyClaimGiveOneLine) {
  const struct {
    std::string text;
    const char *error;
  } cases[] = {
      {"device 12 01 zz\n", "bad.txt: line 1: not a hexadecimal byte: zz"},
      {Dump({kAssociation, kControlInterface, kOneClock, kStreaming}, 2).substr(0, 3000),
       "bad.txt: line "},
  };
  for (const auto &c : cases) {
    qav::SimDevice sim = qav::SimDeviceFromText("bad.txt", c.text, false);
    EXPECT_FALSE(sim.ok);
    EXPECT_EQ(sim.error.find('\n'), std::string::npos) << sim.error;
    EXPECT_EQ(sim.error.rfind("bad.txt: line ", 0), 0u) << sim.error;
  }
}

}  // namespace
