// The MIDI codec on arbitrary input. The first byte picks the mode:
// - even: the rest is a render byte stream for one cable, packed message by
//   message into buffers of an input-chosen size. Every packet must have a
//   CIN above 1, its cable, zero padding past the CIN's byte count; decoded
//   back and joined, the packets must be exactly the complete messages the
//   reference reading of the stream finds.
// - odd: the rest is a bulk IN payload, decoded with an input-chosen length
//   (beyond the payload only when the payload is padded to it): no read
//   beyond it (ASan), and the packets handed on are the whole packets within
//   the length whose CIN carries bytes, with those bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "kerneldriver/midi/midi_decode.h"
#include "kerneldriver/midi/midi_encode.h"
#include "tests/kerneldriver/midi/midi_reference.h"

namespace {

using midiref::Bytes;

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Piece {
  UCHAR cable;
  Bytes bytes;
};

std::vector<Piece> DecodeAll(const UCHAR *payload, ULONG length) {
  std::vector<Piece> pieces;
  MidiDecodePackets(
      payload, length,
      [](void *context, UCHAR cable, const UCHAR *bytes, ULONG count) {
        static_cast<std::vector<Piece> *>(context)->push_back({cable, Bytes(bytes, bytes + count)});
      },
      &pieces);
  return pieces;
}

void RenderStream(const uint8_t *data, size_t size) {
  if (size < 2) return;
  const UCHAR cable = data[0] & 0x0F;
  const ULONG room = 4 + (data[1] % 64);  // one to 16 packets, not always a multiple of 4
  const Bytes stream(data + 2, data + size);
  MidiStreamParser parser;
  MidiStreamParserReset(&parser);
  Bytes payload;
  std::vector<uint8_t> cins;
  size_t at = 0;
  while (at < stream.size()) {
    std::vector<UCHAR> buffer(room, 0xEE);
    ULONG fill = 0;
    while (at < stream.size() && fill + 4 <= room) {
      MidiEncodeResult r = MidiEncodeOneMessage(&parser, cable, stream.data() + at,
                                                static_cast<ULONG>(stream.size() - at), buffer.data() + fill, room - fill);
      Check(r.consumed > 0 && r.consumed <= stream.size() - at);
      Check(r.written == 0 || r.written == 4);
      if (r.written == 4) {
        const UCHAR *p = buffer.data() + fill;
        const uint8_t cin = p[0] & 0x0F;
        Check(cin > 1 && (p[0] >> 4) == cable);
        for (size_t i = 1 + midiref::CinBytes(cin); i < 4; ++i) Check(p[i] == 0);
        cins.push_back(cin);
      }
      at += r.consumed;
      fill += r.written;
    }
    for (ULONG i = fill; i < room; ++i) Check(buffer[i] == 0xEE);
    payload.insert(payload.end(), buffer.begin(), buffer.begin() + fill);
  }
  std::vector<Piece> decoded = DecodeAll(payload.data(), static_cast<ULONG>(payload.size()));
  Check(decoded.size() == cins.size());
  std::vector<Bytes> pieces;
  for (const Piece &p : decoded) {
    Check(p.cable == cable);
    pieces.push_back(p.bytes);
  }
  Check(midiref::JoinPackets(pieces, cins) == midiref::ReadStream(stream));
}

void BulkPayload(const uint8_t *data, size_t size) {
  if (size < 1) return;
  const size_t length = data[0] % 128 < size - 1 ? data[0] % 128 : size - 1;
  // An exact-size copy, so ASan sees any read past the length.
  std::vector<UCHAR> payload(data + 1, data + 1 + length);
  std::vector<Piece> decoded = DecodeAll(payload.data(), static_cast<ULONG>(payload.size()));
  size_t expected = 0;
  for (size_t at = 0; at + 4 <= length; at += 4) {
    const size_t n = midiref::CinBytes(payload[at]);
    if (n == 0) continue;
    Check(expected < decoded.size());
    Check(decoded[expected].cable == payload[at] >> 4);
    Check(decoded[expected].bytes == Bytes(payload.begin() + static_cast<std::ptrdiff_t>(at + 1),
                                           payload.begin() + static_cast<std::ptrdiff_t>(at + 1 + n)));
    ++expected;
  }
  Check(decoded.size() == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    RenderStream(data + 1, size - 1);
  } else {
    BulkPayload(data + 1, size - 1);
  }
  return 0;
}
