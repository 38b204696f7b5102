// Writes the KS request fuzzer's seeds into the folder given: each valid
// request of the private interface on its own, and sequences a client would
// send (performance mode and rate changes heard by two filters, clock
// sources listed to the gap, descriptors read, a surprise removal with
// events enabled, pins created and streaming with good and odd frames).
#include <cstdio>
#include <string>
#include <vector>

#include "ks_request_script.h"

using ksfuzz::CWriter;
using ksfuzz::Op;

namespace {

constexpr uint8_t kModels = 6;

std::vector<uint8_t> Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

void Property(CWriter &w, uint16_t id, uint32_t flags, std::vector<uint8_t> tail, uint32_t length,
              std::vector<uint8_t> fill = {}) {
  w.Request(Op::Property, 0, ksfuzz::kSetPrivateProperties, id, flags, tail, length, fill);
}

std::vector<std::vector<uint8_t>> Seeds(uint8_t model) {
  std::vector<std::vector<uint8_t>> seeds;
  const uint16_t u32Properties[] = {KSPROPERTY_UAC_URB_SIZE, KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE,
                                    KSPROPERTY_UAC_SAMPLE_RATE, KSPROPERTY_UAC_CLOCK_SOURCE,
                                    KSPROPERTY_UAC_MIN_URB_SIZE, KSPROPERTY_UAC_RENDER_CLIENTS,
                                    KSPROPERTY_UAC_PRODUCT_ID};
  for (uint16_t id : u32Properties) {
    CWriter w(model, 1);
    Property(w, id, KSPROPERTY_TYPE_GET, {}, 4);
    seeds.push_back(w.Bytes());
  }
  CWriter rates(model, 1);
  Property(rates, KSPROPERTY_UAC_SAMPLE_RATES, KSPROPERTY_TYPE_GET, {}, 0);
  Property(rates, KSPROPERTY_UAC_SAMPLE_RATES, KSPROPERTY_TYPE_GET, {}, 4);
  Property(rates, KSPROPERTY_UAC_SAMPLE_RATES, KSPROPERTY_TYPE_GET, {}, 64);
  seeds.push_back(rates.Bytes());

  CWriter modes(model, 2);
  modes.EnableEvent(0, ksfuzz::kSetPrivateEvents, KSEVENT_UAC_URB_SIZE_CHANGED);
  modes.EnableEvent(1, ksfuzz::kSetPrivateEvents, KSEVENT_UAC_URB_SIZE_CHANGED);
  modes.EnableEvent(1, ksfuzz::kSetPrivateEvents2, KSEVENT_UAC_URB_SIZE_CHANGED);
  for (uint32_t size : {UAC_URB_SIZE_RECORDING, UAC_URB_SIZE_BALANCED, UAC_URB_SIZE_MIXING}) {
    Property(modes, KSPROPERTY_UAC_URB_SIZE, KSPROPERTY_TYPE_SET, {}, 4, Le32(size));
  }
  modes.Simple(Op::DisableEvents, {0, 0});
  seeds.push_back(modes.Bytes());

  CWriter rate(model, 1);
  rate.EnableEvent(0, ksfuzz::kSetPrivateEvents, KSEVENT_UAC_SAMPLE_RATE_CHANGED);
  Property(rate, KSPROPERTY_UAC_SAMPLE_RATE, KSPROPERTY_TYPE_SET, {}, 4, Le32(96000));
  Property(rate, KSPROPERTY_UAC_SAMPLE_RATE, KSPROPERTY_TYPE_GET, {}, 4);
  seeds.push_back(rate.Bytes());

  CWriter clocks(model, 1);
  for (uint8_t index = 0; index < 4; ++index) {
    Property(clocks, KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_GET, {index, 0, 0, 0, 0, 0, 0, 0},
             sizeof(ClockSourceInfo));
  }
  Property(clocks, KSPROPERTY_UAC_CLOCK_SOURCE, KSPROPERTY_TYPE_SET, {}, 4, Le32(1));
  seeds.push_back(clocks.Bytes());

  CWriter classRequest(model, 1);
  Property(classRequest, KSPROPERTY_UAC_CLASS_REQUEST, KSPROPERTY_TYPE_GET, {0x29, 0x01, 0x01, 0x00, 0, 0, 0, 0}, 4);
  Property(classRequest, KSPROPERTY_UAC_CLASS_REQUEST, KSPROPERTY_TYPE_SET, {0x29, 0x01, 0x01, 0x00, 0, 0, 0, 0}, 4,
           Le32(48000));
  seeds.push_back(classRequest.Bytes());

  CWriter descriptors(model, 1);
  for (uint32_t length : {0u, 9u, 4096u}) {
    descriptors.Request(Op::Method, 0, ksfuzz::kSetUsbMethods, KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND,
                        {2, 1, 0, 0, 0, 0, 0, 0}, length);
  }
  descriptors.Request(Op::Method, 0, ksfuzz::kSetUsbMethods, KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND,
                      {1, 0, 0, 0, 0, 0, 0, 0}, 18);
  descriptors.Request(Op::Method, 0, ksfuzz::kSetUsbMethods, KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND,
                      {3, 2, 0x09, 0x04, 0, 0, 0, 0}, 68);
  seeds.push_back(descriptors.Bytes());

  CWriter transfer(model, 1);
  std::vector<uint8_t> tail = Le32(0);
  for (uint8_t b : Le32(UAC_TRANSFER_DIRECTION_IN | UAC_TRANSFER_DEFAULT_PIPE)) tail.push_back(b);
  for (uint8_t b : {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}) tail.push_back(b);
  transfer.Request(Op::Method, 0, ksfuzz::kSetUsbMethods, KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY, tail,
                   18);
  seeds.push_back(transfer.Bytes());

  CWriter removal(model, 2);
  for (uint8_t handle : {0, 1}) {
    for (uint16_t id = 0; id < KSEVENT_UAC_COUNT; ++id) removal.EnableEvent(handle, ksfuzz::kSetPrivateEvents, id);
  }
  removal.Simple(Op::RunTime, {20});
  removal.Simple(Op::SurpriseRemove);
  Property(removal, KSPROPERTY_UAC_URB_SIZE, KSPROPERTY_TYPE_GET, {}, 4);
  seeds.push_back(removal.Bytes());

  // The streaming pins' ids differ by model: every low id is tried.
  for (uint8_t pinId = 0; pinId < 4; ++pinId) {
    for (bool remove : {false, true}) {
      CWriter streaming(model, 1);
      streaming.CreatePin(0, pinId, 2, 48000, 16, 16, 0);
      streaming.CreatePin(1, pinId, 2, 48000, 32, 24, 1);
      streaming.CreatePin(2, pinId, 2, 48000, 16, 16, 0, ksfuzz::kDamageSubFormat);
      streaming.CreatePin(3, pinId, 2, 48000, 16, 16, 0, 0, 1);
      streaming.PinState(0, KSSTATE_RUN);
      streaming.PinState(1, KSSTATE_PAUSE);
      for (uint8_t slot : {0, 1}) {
        streaming.Stream(slot, ksfuzz::kStreamWrite, 1920, 1920);
        streaming.Stream(slot, 0, 1920, 0);
      }
      streaming.Stream(0, ksfuzz::kStreamWrite, 1920, 4000);
      streaming.Stream(0, ksfuzz::kStreamWrite, 7, 7, 0, 2);
      streaming.Stream(0, 0, 1921, 0, -8);
      streaming.Request(Op::Property, ksfuzz::kToPin, ksfuzz::kSetPrivateProperties, KSPROPERTY_UAC_URB_TIMING,
                        KSPROPERTY_TYPE_GET, {}, sizeof(UrbTimingInfo));
      streaming.Simple(Op::RunTime, {30});
      if (remove) streaming.Simple(Op::SurpriseRemove);
      streaming.Stream(1, ksfuzz::kStreamWrite, 1920, 1920);
      streaming.PinState(1, KSSTATE_STOP);
      seeds.push_back(streaming.Bytes());
    }
  }
  return seeds;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  unsigned written = 0;
  for (uint8_t model = 0; model < kModels; ++model) {
    for (const std::vector<uint8_t> &seed : Seeds(model)) {
      const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(model) + "-" + std::to_string(written);
      FILE *file = std::fopen(path.c_str(), "wb");
      if (file == nullptr) return 1;
      std::fwrite(seed.data(), 1, seed.size(), file);
      std::fclose(file);
      ++written;
    }
  }
  std::printf("%u seeds\n", written);
  return 0;
}
