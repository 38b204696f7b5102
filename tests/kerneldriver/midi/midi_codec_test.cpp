// The MIDI byte-stream parser, the packet encoder and the bulk IN decoder:
// the packets a render byte stream becomes, what the decoder takes from a
// payload, and a round trip checked against an independent reading.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kerneldriver/midi/midi_decode.h"
#include "kerneldriver/midi/midi_encode.h"
#include "tests/kerneldriver/midi/midi_reference.h"

namespace {

using midiref::Bytes;
using midiref::Packet;

// Encodes the whole stream for one cable, one message per call, with room
// for one packet at a time (as a nearly full transfer buffer gives).
std::vector<Packet> Encode(const Bytes &stream, UCHAR cable = 0) {
  MidiStreamParser parser;
  MidiStreamParserReset(&parser);
  std::vector<Packet> packets;
  size_t at = 0;
  for (size_t calls = 0; at < stream.size() && calls <= stream.size(); ++calls) {
    Packet packet{};
    MidiEncodeResult r =
        MidiEncodeOneMessage(&parser, cable, stream.data() + at, static_cast<ULONG>(stream.size() - at), packet.data(), 4);
    EXPECT_GT(r.consumed, 0u);
    at += r.consumed;
    if (r.written == 4) packets.push_back(packet);
  }
  EXPECT_EQ(at, stream.size());
  return packets;
}

struct EncodeCase {
  const char *name;
  Bytes stream;
  std::vector<Packet> packets;
};

TEST(MidiEncode, ByteStreamsBecomeThesePackets) {
  const EncodeCase cases[] = {
      {"running status", {0x90, 0x3C, 0x64, 0x3E, 0x64}, {{0x09, 0x90, 0x3C, 0x64}, {0x09, 0x90, 0x3E, 0x64}}},
      {"two-byte running status", {0xC0, 0x05, 0x06}, {{0x0C, 0xC0, 0x05, 0}, {0x0C, 0xC0, 0x06, 0}}},
      {"SysEx of six bytes", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {{0x04, 0xF0, 0x7E, 0x7F}, {0x07, 0x09, 0x01, 0xF7}}},
      {"SysEx ended by a status byte, which is dropped",
       {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x64},
       {{0x04, 0xF0, 0x01, 0x02}, {0x05, 0xF7, 0, 0}}},
      {"empty SysEx", {0xF0, 0xF7}, {{0x06, 0xF0, 0xF7, 0}}},
      {"SysEx ending after one data byte", {0xF0, 0x01, 0xF7}, {{0x07, 0xF0, 0x01, 0xF7}}},
      {"SysEx ending after a chunk and one byte",
       {0xF0, 0x01, 0x02, 0x03, 0xF7},
       {{0x04, 0xF0, 0x01, 0x02}, {0x06, 0x03, 0xF7, 0}}},
      {"real-time inside a message", {0x90, 0x3C, 0xF8, 0x64}, {{0x0F, 0xF8, 0, 0}, {0x09, 0x90, 0x3C, 0x64}}},
      {"real-time inside a SysEx",
       {0xF0, 0x01, 0xFE, 0x02, 0xF7},
       {{0x0F, 0xFE, 0, 0}, {0x04, 0xF0, 0x01, 0x02}, {0x05, 0xF7, 0, 0}}},
      {"system common of three, two and one bytes",
       {0xF2, 0x01, 0x02, 0xF1, 0x10, 0xF6},
       {{0x03, 0xF2, 0x01, 0x02}, {0x02, 0xF1, 0x10, 0}, {0x05, 0xF6, 0, 0}}},
      {"no running status after system common", {0xF3, 0x01, 0x02, 0x03}, {{0x02, 0xF3, 0x01, 0}}},
      {"SysEx cancels running status",
       {0x90, 0x3C, 0x64, 0xF0, 0xF7, 0x3E, 0x64},
       {{0x09, 0x90, 0x3C, 0x64}, {0x06, 0xF0, 0xF7, 0}}},
      {"stray data bytes", {0x3C, 0x64, 0x01}, {}},
      {"F4, F5 and F7 pass without effect", {0x90, 0x3C, 0xF5, 0xF4, 0xF7, 0x64}, {{0x09, 0x90, 0x3C, 0x64}}},
      {"a new status drops the half message", {0x90, 0x3C, 0x80, 0x3C, 0x00}, {{0x08, 0x80, 0x3C, 0x00}}},
      {"pitch bend", {0xE3, 0x00, 0x40}, {{0x0E, 0xE3, 0x00, 0x40}}},
  };
  for (const EncodeCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Encode(c.stream), c.packets);
  }
}

TEST(MidiEncode, CableNumberGoesIntoTheHighNibbleAndRoomIsRespected) {
  EXPECT_EQ(Encode({0x90, 0x3C, 0x64}, 5), (std::vector<Packet>{{0x59, 0x90, 0x3C, 0x64}}));
  MidiStreamParser parser;
  MidiStreamParserReset(&parser);
  const UCHAR bytes[] = {0xF8};
  UCHAR out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  MidiEncodeResult r = MidiEncodeOneMessage(&parser, 0, bytes, 1, out, 3);
  EXPECT_EQ(r.consumed, 0u);
  EXPECT_EQ(r.written, 0u);
  EXPECT_EQ(out[0], 0xAA);
}

// A message split over writes completes with the write that ends it.
TEST(MidiEncode, AMessageSplitOverWritesCompletesInTheLaterWrite) {
  MidiStreamParser parser;
  MidiStreamParserReset(&parser);
  UCHAR out[4] = {};
  const UCHAR first[] = {0x90, 0x3C};
  const UCHAR second[] = {0x64};
  MidiEncodeResult r = MidiEncodeOneMessage(&parser, 0, first, 2, out, 4);
  EXPECT_EQ(r.consumed, 2u);
  EXPECT_EQ(r.written, 0u);
  r = MidiEncodeOneMessage(&parser, 0, second, 1, out, 4);
  EXPECT_EQ(r.written, 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x09, 0x90, 0x3C, 0x64}));
}

struct Decoded {
  UCHAR cable;
  Bytes bytes;
  bool operator==(const Decoded &) const = default;
};

std::vector<Decoded> Decode(const Bytes &payload, ULONG length) {
  std::vector<Decoded> decoded;
  MidiDecodePackets(
      payload.data(), length,
      [](void *context, UCHAR cable, const UCHAR *bytes, ULONG count) {
        static_cast<std::vector<Decoded> *>(context)->push_back({cable, Bytes(bytes, bytes + count)});
      },
      &decoded);
  return decoded;
}

struct DecodeCase {
  const char *name;
  Bytes payload;
  std::vector<Decoded> decoded;
};

TEST(MidiDecode, PayloadsYieldTheseMessages) {
  const DecodeCase cases[] = {
      {"note-on on cable 1", {0x19, 0x90, 0x3C, 0x64}, {{1, {0x90, 0x3C, 0x64}}}},
      {"CIN 0 and 1 carry nothing", {0x10, 0x90, 0x3C, 0x64, 0x01, 0xF8, 0, 0}, {}},
      {"byte counts per CIN",
       {0x0C, 0xC0, 0x05, 0x77, 0x0F, 0xF8, 0x77, 0x77, 0x02, 0xF1, 0x10, 0x77, 0x07, 0x01, 0x02, 0xF7,
        0x05, 0xF7, 0x77, 0x77, 0xF6, 0x03, 0xF7, 0x77},
       {{0, {0xC0, 0x05}}, {0, {0xF8}}, {0, {0xF1, 0x10}}, {0, {0x01, 0x02, 0xF7}}, {0, {0xF7}}, {15, {0x03, 0xF7}}}},
      {"a trailing partial packet is ignored", {0x09, 0x90, 0x3C, 0x64, 0x09, 0x90, 0x3E}, {{0, {0x90, 0x3C, 0x64}}}},
      {"less than a packet", {0x09, 0x90, 0x3C}, {}},
      {"nothing", {}, {}},
  };
  for (const DecodeCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Decode(c.payload, static_cast<ULONG>(c.payload.size())), c.decoded);
  }
}

TEST(MidiDecode, ReadsNoFurtherThanTheLengthGiven) {
  Bytes payload = {0x09, 0x90, 0x3C, 0x64, 0x09, 0x90, 0x3E, 0x64};
  EXPECT_EQ(Decode(payload, 7).size(), 1u);
  EXPECT_EQ(Decode(payload, 0).size(), 0u);
}

// Packets a stream is encoded into, decoded and joined again, give the
// messages the reference reading finds; every packet obeys the CIN rules.
void ExpectRoundTrip(const Bytes &stream) {
  std::vector<Packet> packets = Encode(stream, 3);
  Bytes payload;
  for (const Packet &p : packets) {
    const uint8_t cin = p[0] & 15;
    EXPECT_GT(cin, 1);
    EXPECT_EQ(p[0] >> 4, 3);
    for (size_t i = 1 + midiref::CinBytes(cin); i < 4; ++i) EXPECT_EQ(p[i], 0) << "padding";
    payload.insert(payload.end(), p.begin(), p.end());
  }
  std::vector<Decoded> decoded = Decode(payload, static_cast<ULONG>(payload.size()));
  ASSERT_EQ(decoded.size(), packets.size());
  std::vector<Bytes> pieces;
  std::vector<uint8_t> cins;
  for (size_t i = 0; i < decoded.size(); ++i) {
    pieces.push_back(decoded[i].bytes);
    cins.push_back(packets[i][0] & 15);
  }
  EXPECT_EQ(midiref::JoinPackets(pieces, cins), midiref::ReadStream(stream));
}

TEST(MidiRoundTrip, EncodedAndDecodedStreamsMatchTheReferenceReading) {
  const Bytes streams[] = {
      {0x90, 0x3C, 0x64, 0x3E, 0x64, 0xF8, 0x40},
      {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0xB0, 0x07, 0x7F},
      {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x64, 0xC1, 0x02},
      {0xF0, 0x01, 0xF8, 0x02, 0x03, 0x04, 0xF0, 0x05, 0xF7},
      {0xF2, 0x01, 0x02, 0x03, 0xF6, 0xF3, 0x01, 0xD0, 0x40, 0x41},
  };
  for (const Bytes &s : streams) ExpectRoundTrip(s);
}

// Pseudo-random streams rich in status bytes.
TEST(MidiRoundTrip, GeneratedStreamsMatchTheReferenceReading) {
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<uint8_t>(state >> 16);
  };
  for (int round = 0; round < 200; ++round) {
    Bytes stream(next() % 64);
    for (uint8_t &b : stream) {
      const uint8_t r = next();
      b = r % 3 == 0 ? static_cast<uint8_t>(0x80 | next()) : static_cast<uint8_t>(next() & 0x7F);
    }
    SCOPED_TRACE(round);
    ExpectRoundTrip(stream);
  }
}

}  // namespace
