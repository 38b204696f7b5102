#include "winsim/devices/catalog.h"

#include <cctype>
#include <cstdio>

namespace winsim::devices {
namespace {

using namespace usb_const;

const std::vector<uint32_t> kRates44To96 = {44100, 48000, 88200, 96000};
const std::vector<uint32_t> kRates44To192 = {44100, 48000, 88200, 96000, 176400, 192000};

constexpr uint8_t kInternalClockId = 0x28;
constexpr uint8_t kSpdifClockId = 0x29;
constexpr uint8_t kAdatClockId = 0x2A;
constexpr uint8_t kSelectorId = 0x30;

std::vector<std::string> Numbered(const char *prefix, unsigned first, unsigned count) {
  std::vector<std::string> names;
  for (unsigned i = 0; i < count; ++i) names.push_back(prefix + std::to_string(first + i));
  return names;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

DeviceModel Family(const char *name, uint16_t productId, uint16_t bcdDevice) {
  DeviceModel model;
  model.name = name;
  model.vendorId = kQavVendorId;
  model.productId = productId;
  model.bcdDevice = bcdDevice;
  model.manufacturer = "Quorvin";
  model.product = std::string("Tessarin ") + name;
  char serial[32];
  std::snprintf(serial, sizeof serial, "QV%04X%06u", productId, 1000u + productId % 1000u);
  model.serial = serial;
  return model;
}

ClockSource Clock(uint8_t id, ClockType type, const char *name, std::vector<uint32_t> rates) {
  ClockSource clock;
  clock.id = id;
  clock.type = type;
  clock.name = name;
  clock.rates = std::move(rates);
  return clock;
}

StreamingInterface Stream(StreamDirection direction, std::vector<std::string> names, uint8_t endpoint,
                          std::vector<StreamFormat> formats) {
  StreamingInterface stream;
  stream.direction = direction;
  stream.channels = static_cast<uint8_t>(names.size());
  stream.channelNames = std::move(names);
  stream.endpoint = endpoint;
  stream.formats = std::move(formats);
  return stream;
}

StreamFormat Format(uint8_t subslot, uint8_t bits, uint32_t maxRate = 0, uint8_t channels = 0) {
  return StreamFormat{subslot, bits, maxRate, channels};
}

// Desktop 2x2: one programmable clock up to 96 kHz, render paced by capture.
DeviceModel Alder() {
  DeviceModel m = Family("Alder", 0x8000, 0x0112);
  m.clocks = {Clock(kInternalClockId, ClockType::InternalProgrammable, "Internal", kRates44To96)};
  m.streams = {Stream(StreamDirection::Render, {"Out 1", "Out 2"}, 0x01, {Format(3, 24), Format(2, 16)}),
               Stream(StreamDirection::Capture, {"In 1", "In 2"}, 0x81, {Format(3, 24), Format(2, 16)})};
  m.streams[0].feedback = FeedbackKind::Implicit;
  AddStreamingTopology(m);
  m.behaviour = {35, 29, 256, 48000};
  return m;
}

// 4x4 with S/PDIF: selector, status interrupt for lock changes, explicit feedback.
DeviceModel Birch() {
  DeviceModel m = Family("Birch", 0x800C, 0x0203);
  m.category = kCategoryProAudio;
  m.clocks = {Clock(kInternalClockId, ClockType::InternalProgrammable, "Internal", kRates44To192),
              Clock(kSpdifClockId, ClockType::External, "S/PDIF", kRates44To192)};
  m.clocks[1].validAtStart = false;
  m.clocks[1].driftPpm = 25;  // the S/PDIF sender's crystal
  m.selector = ClockSelector{kSelectorId, {kInternalClockId, kSpdifClockId}, "Clock Source"};
  m.streams = {
      Stream(StreamDirection::Render, Concat({Numbered("Line Out ", 1, 2), {"S/PDIF Out L", "S/PDIF Out R"}}), 0x02,
             {Format(4, 24)}),
      Stream(StreamDirection::Capture, Concat({Numbered("Line In ", 1, 2), {"S/PDIF In L", "S/PDIF In R"}}), 0x82,
             {Format(4, 24)})};
  m.streams[0].feedback = FeedbackKind::Explicit;
  m.streams[0].feedbackEndpoint = 0x83;
  m.statusInterrupt = StatusInterrupt{0x84, 6, 4};
  AddStreamingTopology(m);
  m.clocks[1].assocTerminal = m.inputTerminals.back().id;
  m.behaviour = {-20, 41, 512, 48000};
  return m;
}

// 8-channel capture box; 4-byte samples only up to 48 kHz (the format
// descriptor says so), 3-byte samples at any rate.
DeviceModel Cedar() {
  DeviceModel m = Family("Cedar", 0x8004, 0x0100);
  m.clocks = {Clock(kInternalClockId, ClockType::InternalVariable, "Internal", kRates44To96)};
  m.streams = {Stream(StreamDirection::Capture, Numbered("Mic ", 1, 8), 0x81, {Format(4, 24, 48000), Format(3, 24)})};
  AddStreamingTopology(m, kTerminalLineConnector, kTerminalMicrophone);
  m.behaviour = {-8, 33, 512, 48000};
  return m;
}

// 18 in x 20 out: analog, S/PDIF and ADAT with their clocks behind a
// selector, two MIDI cables, status interrupt. At 192 kHz the 4-byte format
// needs two transactions per microframe.
DeviceModel Larch() {
  DeviceModel m = Family("Larch", 0x8014, 0x0310);
  m.category = kCategoryProAudio;
  m.clocks = {Clock(kInternalClockId, ClockType::InternalProgrammable, "Internal", kRates44To192),
              Clock(kSpdifClockId, ClockType::External, "S/PDIF", kRates44To192),
              Clock(kAdatClockId, ClockType::External, "ADAT", {44100, 48000, 88200, 96000})};
  m.clocks[1].driftPpm = 25;  // the senders' crystals
  m.clocks[2].driftPpm = -15;
  m.selector = ClockSelector{kSelectorId, {kInternalClockId, kSpdifClockId, kAdatClockId}, "Clock Selector"};
  const auto render = Concat({Numbered("Analog ", 1, 8), {"Phones L", "Phones R", "S/PDIF L", "S/PDIF R"},
                              Numbered("ADAT ", 1, 8)});
  const auto capture = Concat({Numbered("Analog ", 1, 8), {"S/PDIF L", "S/PDIF R"}, Numbered("ADAT ", 1, 8)});
  m.streams = {Stream(StreamDirection::Render, render, 0x01, {Format(4, 24), Format(3, 24)}),
               Stream(StreamDirection::Capture, capture, 0x81, {Format(4, 24), Format(3, 24)})};
  m.streams[0].feedback = FeedbackKind::Implicit;
  m.statusInterrupt = StatusInterrupt{0x83, 6, 4};
  m.midi = MidiInterface{2, 0x02, 0x82, {"MIDI 1", "MIDI 2"}};
  AddStreamingTopology(m);
  m.clocks[1].assocTerminal = m.inputTerminals.back().id;
  m.clocks[2].assocTerminal = m.inputTerminals.back().id;
  m.behaviour = {12, 38, 512, 48000};
  return m;
}

// Render-only headphone converter with explicit feedback.
DeviceModel Maple() {
  DeviceModel m = Family("Maple", 0x8012, 0x0101);
  m.clocks = {Clock(kInternalClockId, ClockType::InternalProgrammable, "Internal", kRates44To192)};
  m.streams = {Stream(StreamDirection::Render, {"Left", "Right"}, 0x01, {Format(4, 32), Format(2, 16)})};
  m.streams[0].feedback = FeedbackKind::Explicit;
  m.streams[0].feedbackEndpoint = 0x81;
  AddStreamingTopology(m, kTerminalHeadphones);
  m.behaviour = {-50, 0, 384, 44100};
  // No ADC: the whole converter delay is the DAC's.
  m.behaviour.loopbackDelaySamples = 24;
  m.behaviour.dacDelayFrames = 24;
  return m;
}

// 8 in x 6 out with one MIDI cable and a status interrupt; 3-byte samples.
DeviceModel Rowan() {
  DeviceModel m = Family("Rowan", 0x8002, 0x0205);
  m.clocks = {Clock(kInternalClockId, ClockType::InternalProgrammable, "Internal", kRates44To192)};
  m.streams = {Stream(StreamDirection::Render, Numbered("Output ", 1, 6), 0x01, {Format(3, 24)}),
               Stream(StreamDirection::Capture, Numbered("Input ", 1, 8), 0x81, {Format(3, 24)})};
  m.streams[0].feedback = FeedbackKind::Implicit;
  m.statusInterrupt = StatusInterrupt{0x85, 6, 4};
  m.midi = MidiInterface{1, 0x03, 0x83, {}};
  AddStreamingTopology(m);
  m.behaviour = {0, 25, 512, 48000};
  return m;
}

// The controller supplier's reference board: fixed 48 kHz clock, 16-bit.
DeviceModel Hazel() {
  DeviceModel m;
  m.name = "Hazel";
  m.vendorId = kControllerVendorId;
  m.productId = 0x0200;
  m.bcdDevice = 0x0100;
  m.manufacturer = "Reference Audio Controller";
  m.product = "UAC2 Reference Board";
  m.clocks = {Clock(kInternalClockId, ClockType::InternalFixed, "Crystal", {48000})};
  m.streams = {Stream(StreamDirection::Render, {"Out L", "Out R"}, 0x01, {Format(2, 16)}),
               Stream(StreamDirection::Capture, {"In L", "In R"}, 0x81, {Format(2, 16)})};
  m.streams[0].feedback = FeedbackKind::Implicit;
  AddStreamingTopology(m);
  return m;
}

// A USB Audio Class 2.0 interface of another vendor.
DeviceModel Ivy() {
  DeviceModel m;
  m.name = "Ivy";
  m.vendorId = kForeignVendorId;
  m.productId = 0x0014;
  m.manufacturer = "Other Vendor";
  m.product = "USB Audio Device";
  m.clocks = {Clock(0x05, ClockType::InternalProgrammable, "", {44100, 48000, 96000})};
  m.streams = {Stream(StreamDirection::Render, {}, 0x01, {Format(2, 16)}),
               Stream(StreamDirection::Capture, {}, 0x82, {Format(2, 16)})};
  m.streams[0].channels = m.streams[1].channels = 2;
  m.streams[0].channelConfig = m.streams[1].channelConfig = 0x3;  // front left, front right
  m.streams[0].feedback = FeedbackKind::Implicit;
  AddStreamingTopology(m, kTerminalSpeaker, kTerminalMicrophone);
  return m;
}

// Variants: catalog models changed in one respect for a driver test, each
// with its own name and product id. They share a shape with their model,
// so they stay out of the catalog proper.
DeviceModel Variant(DeviceModel m, const char *name, uint16_t productId) {
  const DeviceModel family = Family(name, productId, m.bcdDevice);
  m.name = family.name;
  m.productId = family.productId;
  m.product = family.product;
  m.serial = family.serial;
  return m;
}

// Maple whose feedback endpoint reports every microframe (bInterval 1).
DeviceModel Aspen() {
  DeviceModel m = Variant(Maple(), "Aspen", 0x8016);
  m.streams[0].feedbackInterval = 1;
  return m;
}

// Maple whose feedback endpoint reports every fourth microframe (bInterval 3).
DeviceModel Elm() {
  DeviceModel m = Variant(Maple(), "Elm", 0x8018);
  m.streams[0].feedbackInterval = 3;
  return m;
}

// Alder whose render data endpoint is served once per frame (bInterval 4),
// a packet carrying a millisecond of audio.
DeviceModel Yew() {
  DeviceModel m = Variant(Alder(), "Yew", 0x801A);
  m.streams[0].interval = 4;
  return m;
}

// Alder whose clock answers RANGE with seventeen subranges: a continuous
// low-rate range third, and its standard rates listed again one by one after
// the high rates, as firmware that builds its list from two tables does.
DeviceModel Willow() {
  DeviceModel m = Variant(Alder(), "Willow", 0x801C);
  ClockSource &clock = m.clocks[0];
  clock.rates.clear();
  clock.subranges = {{44100, 44100, 0}, {48000, 48000, 0}, {8000, 24000, 1}};
  for (uint32_t rate : {32000u, 64000u, 88200u, 96000u, 176400u, 192000u, 352800u, 384000u, 8000u, 11025u, 12000u,
                        16000u, 22050u, 24000u}) {
    clock.subranges.push_back({rate, rate, 0});
  }
  return m;
}

// Larch whose settings trade ADAT channels for rate: every channel up to
// 48 kHz, four ADAT channels up to 96 kHz, none above (render 20/16/12,
// capture 18/14/10). Each setting carries the first channels of the stream.
DeviceModel Linden() {
  DeviceModel m = Variant(Larch(), "Linden", 0x801E);
  for (StreamingInterface &stream : m.streams) {
    const auto all = stream.channels;
    stream.formats = {Format(4, 24, 48000), Format(4, 24, 96000, static_cast<uint8_t>(all - 4)),
                      Format(4, 24, 0, static_cast<uint8_t>(all - 8))};
  }
  return m;
}

// An ADAT port in and out: eight channels up to 48 kHz, four (S/MUX2) up
// to 96 kHz, two (S/MUX4) up to 192 kHz.
DeviceModel Poplar() {
  DeviceModel m = Family("Poplar", 0x8020, 0x0100);
  m.clocks = {Clock(kInternalClockId, ClockType::InternalProgrammable, "Internal", kRates44To192)};
  const std::vector<StreamFormat> smux = {Format(3, 24, 48000), Format(3, 24, 96000, 4), Format(3, 24, 0, 2)};
  m.streams = {Stream(StreamDirection::Render, Numbered("ADAT Out ", 1, 8), 0x01, smux),
               Stream(StreamDirection::Capture, Numbered("ADAT In ", 1, 8), 0x81, smux)};
  m.streams[0].feedback = FeedbackKind::Implicit;
  AddStreamingTopology(m, kTerminalAdat, kTerminalAdat);
  m.behaviour = {0, 25, 512, 48000};
  return m;
}

// Rowan with a vendor interface and a run-time DFU interface after the
// audio function, outside its association.
DeviceModel Holly() {
  DeviceModel m = Variant(Rowan(), "Holly", 0x8022);
  m.extraInterfaces = {ExtraInterface::VendorSpecific, ExtraInterface::DfuRuntime};
  return m;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

const std::vector<DeviceModel> &Catalog() {
  static const std::vector<DeviceModel> models = {Alder(), Birch(), Cedar(), Larch(), Maple(), Rowan(), Hazel(), Ivy()};
  return models;
}

const std::vector<DeviceModel> &Variants() {
  static const std::vector<DeviceModel> models = {Aspen(), Elm(), Yew(), Willow(), Linden(), Poplar(), Holly()};
  return models;
}

const DeviceModel *FindModel(std::string_view name) {
  for (const auto *models : {&Catalog(), &Variants()}) {
    for (const DeviceModel &model : *models) {
      if (EqualsIgnoringCase(model.name, name)) return &model;
    }
  }
  return nullptr;
}

std::string_view DefaultModelName() { return "Larch"; }

}  // namespace winsim::devices
