// Every catalog model, at high and full speed, enumerates with descriptors
// that hold together as USB Audio Class 2.0 and USB MIDI 1.0 require: checked
// here with the tests' own reader, not winsim's walker.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "devices/descriptor_reader.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"

namespace {

using namespace winsim::devices;
using devices_test::Desc;

struct Case {
  std::string label;
  DeviceModel model;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.label; }

std::vector<Case> BuildableModels() {
  std::vector<Case> cases;
  for (const DeviceModel &model : Catalog()) {
    cases.push_back({model.name, model});
    DeviceModel full = FullSpeedVariant(model);
    if (BuildDevice(full).Ok()) cases.push_back({model.name + "FullSpeed", full});
  }
  return cases;
}

class DescriptorConsistency : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    const BuildResult result = BuildDevice(GetParam().model);
    ASSERT_TRUE(result.Ok()) << BuildErrorName(result.error) << ": " << result.detail;
    m_set = result.definition.descriptors;
    m_split = devices_test::SplitDescriptors(m_set.configuration);
    ASSERT_TRUE(m_split.clean) << "descriptors do not tile the configuration";
  }

  const DeviceModel &Model() const { return GetParam().model; }
  std::vector<const Desc *> Where(bool (*pick)(const Desc &)) const {
    std::vector<const Desc *> out;
    for (const Desc &d : m_split.all) {
      if (pick(d)) out.push_back(&d);
    }
    return out;
  }
  // Class-specific AudioControl descriptors with a given subtype.
  std::vector<const Desc *> Control(uint8_t subtype) const {
    std::vector<const Desc *> out;
    for (const Desc &d : m_split.all) {
      if (d.InAudio(1) && d.Is(0x24, subtype)) out.push_back(&d);
    }
    return out;
  }
  void ExpectString(uint8_t index, const char *what) const {
    if (index != 0) {
      EXPECT_NE(m_set.String(index), nullptr) << what << " names missing string " << int(index);
    }
  }

  DescriptorSet m_set;
  devices_test::Split m_split;
};

TEST_P(DescriptorConsistency, DeviceDescriptorIsAnIadCompositeWithTheModelsIdentity) {
  const std::vector<uint8_t> &d = m_set.device;
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(d[2] | d[3] << 8, 0x0200);
  EXPECT_EQ(d[4], 0xEF);
  EXPECT_EQ(d[5], 0x02);
  EXPECT_EQ(d[6], 0x01);
  EXPECT_EQ(d[7], 64);
  EXPECT_EQ(d[8] | d[9] << 8, Model().vendorId);
  EXPECT_EQ(d[10] | d[11] << 8, Model().productId);
  EXPECT_EQ(d[17], 1);
  ExpectString(d[14], "iManufacturer");
  ExpectString(d[15], "iProduct");
  ExpectString(d[16], "iSerialNumber");
  ASSERT_NE(m_set.String(d[15]), nullptr);
  EXPECT_EQ(devices_test::AsciiOfString(*m_set.String(d[15])), Model().product);
}

TEST_P(DescriptorConsistency, LengthsAddUpToTotalLengthAndInterfacesAreNumberedFromZero) {
  const Desc &config = m_split.all.front();
  EXPECT_EQ(config.type(), 2);
  EXPECT_EQ(config.u16(2), m_set.configuration.size());
  EXPECT_EQ(m_split.bytesCovered, m_set.configuration.size());
  std::set<int> numbers;
  for (const Desc &d : m_split.all) {
    if (d.type() == 4) numbers.insert(d.u8(2));
  }
  EXPECT_EQ(numbers.size(), config.u8(4));
  EXPECT_EQ(*numbers.begin(), 0);
  EXPECT_EQ(*numbers.rbegin(), static_cast<int>(numbers.size()) - 1);
}

TEST_P(DescriptorConsistency, OneAssociationCoversEveryAudioInterfaceStartingWithAudioControl) {
  const auto iads = Where([](const Desc &d) { return d.type() == 0x0B; });
  ASSERT_EQ(iads.size(), 1u);
  const Desc &iad = *iads.front();
  EXPECT_EQ(iad.len(), 8);
  EXPECT_EQ(iad.itf, -1) << "the association must precede its interfaces";
  EXPECT_EQ(iad.u8(4), 1);
  EXPECT_EQ(iad.u8(6), 0x20);
  std::set<int> audio;
  for (const Desc &d : m_split.all) {
    if (d.type() == 4 && d.u8(5) == 1) audio.insert(d.u8(2));
  }
  EXPECT_EQ(iad.u8(2), *audio.begin());
  EXPECT_EQ(iad.u8(3), audio.size());
  const auto first = Where([](const Desc &d) { return d.type() == 4; });
  EXPECT_EQ(first.front()->subclass, 1) << "AudioControl comes first";
  EXPECT_EQ(first.front()->u8(7), 0x20);
  ExpectString(iad.u8(7), "iFunction");
}

TEST_P(DescriptorConsistency, AudioControlHeaderCountsItsClassSpecificPart) {
  const auto headers = Control(0x01);
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers.front()->len(), 9);
  EXPECT_EQ(headers.front()->u16(3), 0x0200);
  size_t classSpecific = 0;
  for (const Desc &d : m_split.all) {
    if (d.InAudio(1) && d.type() == 0x24) classSpecific += d.len();
  }
  EXPECT_EQ(headers.front()->u16(6), classSpecific);
}

TEST_P(DescriptorConsistency, EveryEntityReferenceResolvesAndFeatureUnitsMatchTheirSourceChannels) {
  std::map<uint8_t, const Desc *> entities;
  for (const Desc &d : m_split.all) {
    if (d.InAudio(1) && d.type() == 0x24 && d.subtype() >= 0x02) {
      EXPECT_TRUE(entities.emplace(d.u8(3), &d).second) << "entity id used twice: " << int(d.u8(3));
    }
  }
  auto kind = [&](uint8_t id) { return entities.count(id) ? entities[id]->subtype() : 0; };
  auto isClock = [&](uint8_t id) { return kind(id) == 0x0A || kind(id) == 0x0B; };
  auto isTerminal = [&](uint8_t id) { return kind(id) == 0x02 || kind(id) == 0x03; };
  // Channels leaving an entity: an input terminal's cluster, passed on by units.
  std::function<int(uint8_t, int)> channels = [&](uint8_t id, int depth) -> int {
    if (depth > 16 || !entities.count(id)) return -1;
    const Desc &e = *entities[id];
    if (e.subtype() == 0x02) return e.u8(8);
    if (e.subtype() == 0x06) return channels(e.u8(4), depth + 1);
    return -1;
  };
  for (const auto &[id, e] : entities) {
    SCOPED_TRACE("entity " + std::to_string(id));
    switch (e->subtype()) {
      case 0x0A:
        EXPECT_EQ(e->len(), 8);
        if (e->u8(6)) {
          EXPECT_TRUE(isTerminal(e->u8(6)));
        }
        ExpectString(e->u8(7), "iClockSource");
        break;
      case 0x0B:
        EXPECT_EQ(e->len(), 7 + e->u8(4));
        for (int pin = 0; pin < e->u8(4); ++pin) {
          EXPECT_EQ(kind(e->u8(5 + pin)), 0x0A) << "selector input " << pin;
        }
        ExpectString(e->u8(e->len() - 1), "iClockSelector");
        break;
      case 0x02:
        EXPECT_EQ(e->len(), 17);
        EXPECT_TRUE(isClock(e->u8(7)));
        for (int ch = 0; e->u8(13) && ch < e->u8(8); ++ch) {
          ExpectString(e->u8(13) + ch, "iChannelNames");
        }
        break;
      case 0x03:
        EXPECT_EQ(e->len(), 12);
        EXPECT_TRUE(kind(e->u8(7)) == 0x02 || kind(e->u8(7)) == 0x06) << "bSourceID " << int(e->u8(7));
        EXPECT_TRUE(isClock(e->u8(8)));
        break;
      case 0x06:
        EXPECT_EQ(e->len(), 6 + (channels(id, 0) + 1) * 4);
        EXPECT_TRUE(kind(e->u8(4)) == 0x02 || kind(e->u8(4)) == 0x06) << "bSourceID " << int(e->u8(4));
        break;
      default: ADD_FAILURE() << "unexpected AudioControl subtype " << int(e->subtype());
    }
  }
  EXPECT_EQ(Control(0x0A).size(), Model().clocks.size());
}

TEST_P(DescriptorConsistency, StatusInterruptEndpointIsPresentExactlyWhenModelled) {
  const auto endpoints = Where([](const Desc &d) { return d.InAudio(1) && d.type() == 5; });
  const auto itf = Where([](const Desc &d) { return d.InAudio(1) && d.type() == 4; });
  ASSERT_EQ(itf.size(), 1u);
  EXPECT_EQ(itf.front()->u8(4), endpoints.size());
  if (!Model().statusInterrupt) {
    EXPECT_TRUE(endpoints.empty());
    return;
  }
  ASSERT_EQ(endpoints.size(), 1u);
  EXPECT_EQ(endpoints.front()->u8(3) & 3, 3);
  EXPECT_TRUE(endpoints.front()->u8(2) & 0x80);
  EXPECT_GE(endpoints.front()->u16(4), 6);
}

struct AltSetting {
  const Desc *itf = nullptr;
  std::vector<const Desc *> body;
};

TEST_P(DescriptorConsistency, StreamingAlternateSettingsCarryOneFormatAndPacketsSizedForTheHighestRate) {
  std::map<std::pair<int, int>, AltSetting> alts;
  for (const Desc &d : m_split.all) {
    if (!d.InAudio(2)) continue;
    AltSetting &a = alts[{d.itf, d.alt}];
    if (d.type() == 4) {
      a.itf = &d;
    } else {
      a.body.push_back(&d);
    }
  }
  const bool high = Model().speed == UsbSpeed::High;
  size_t formats = 0;
  for (const auto &[key, a] : alts) {
    SCOPED_TRACE("interface " + std::to_string(key.first) + " alternate " + std::to_string(key.second));
    ASSERT_NE(a.itf, nullptr);
    if (key.second == 0) {
      EXPECT_EQ(a.itf->u8(4), 0);
      EXPECT_TRUE(a.body.empty());
      continue;
    }
    ++formats;
    const Desc *general = nullptr, *format = nullptr, *data = nullptr, *feedback = nullptr;
    size_t endpoints = 0;
    for (const Desc *d : a.body) {
      if (d->Is(0x24, 0x01)) general = d;
      if (d->Is(0x24, 0x02)) format = d;
      if (d->type() != 5) continue;
      ++endpoints;
      if ((d->u8(3) & 0x30) == 0x10) {
        feedback = d;
      } else {
        data = d;
      }
    }
    ASSERT_TRUE(general && format && data);
    EXPECT_EQ(endpoints, a.itf->u8(4));
    EXPECT_EQ(general->len(), 16);
    EXPECT_EQ(general->u32(6), 1u) << "PCM";
    const unsigned channels = general->u8(10);
    const unsigned subslot = format->u8(4);
    EXPECT_TRUE(subslot >= 2 && subslot <= 4);
    EXPECT_LE(format->u8(5), subslot * 8);
    EXPECT_EQ(data->u8(3) & 0x0F, 0x05) << "asynchronous isochronous";
    // The highest rate this setting runs at, from the model's clocks and the
    // format's own limit.
    uint32_t rate = 0;
    for (const ClockSource &c : Model().clocks) {
      for (uint32_t r : c.rates) rate = std::max(rate, r);
    }
    if (format->len() >= 10) rate = std::min(rate, format->u32(6));
    const uint32_t perInterval = high ? 8000 : 1000;
    const uint32_t frame = channels * subslot;
    const uint32_t needed = (rate + perInterval - 1) / perInterval * frame;
    const uint16_t w = data->u16(4);
    const uint32_t transactions = 1 + ((w >> 11) & 3);
    const uint32_t capacity = (w & 0x7FF) * transactions;
    EXPECT_GE(capacity, needed);
    EXPECT_LE(capacity, needed + frame + transactions) << "more than one sample of headroom";
    EXPECT_LE(w & 0x7FF, high ? 1024 : 1023);
    if (!high) {
      EXPECT_EQ(transactions, 1u);
    }
    for (unsigned ch = 0; general->u8(15) && ch < channels; ++ch) {
      ExpectString(general->u8(15) + ch, "iChannelNames");
    }
    // The terminal link is the USB streaming terminal on the data's side.
    const uint8_t wantSubtype = (data->u8(2) & 0x80) ? 0x03 : 0x02;
    bool linked = false;
    for (const Desc *t : Control(wantSubtype)) linked |= t->u8(3) == general->u8(3) && t->u16(4) == 0x0101;
    EXPECT_TRUE(linked) << "bTerminalLink " << int(general->u8(3));
    if (feedback) {
      EXPECT_TRUE(feedback->u8(2) & 0x80);
      EXPECT_EQ(feedback->u16(4), high ? 4 : 3);
      EXPECT_EQ(feedback->u8(3), 0x11);
    }
  }
  size_t modelled = 0;
  for (const StreamingInterface &s : Model().streams) modelled += s.formats.size();
  EXPECT_EQ(formats, modelled);
}

TEST_P(DescriptorConsistency, FeedbackFollowsTheModelExplicitEndpointOrImplicitCaptureReference) {
  const StreamingInterface *render = FindStream(Model(), StreamDirection::Render);
  bool feedbackEndpoint = false, implicitUsage = false;
  for (const Desc &d : m_split.all) {
    if (!d.InAudio(2) || d.type() != 5) continue;
    feedbackEndpoint |= (d.u8(3) & 0x30) == 0x10;
    implicitUsage |= (d.u8(3) & 0x30) == 0x20;
  }
  EXPECT_EQ(feedbackEndpoint, render && render->feedback == FeedbackKind::Explicit);
  EXPECT_EQ(implicitUsage, render && render->feedback == FeedbackKind::Implicit);
}

TEST_P(DescriptorConsistency, MidiEndpointsNameTheEmbeddedJacksOfTheirDirection) {
  const auto ms = Where([](const Desc &d) { return d.InAudio(3); });
  if (!Model().midi) {
    EXPECT_TRUE(ms.empty());
    return;
  }
  ASSERT_FALSE(ms.empty());
  std::map<uint8_t, const Desc *> jacks;
  size_t classSpecific = 0;
  for (const Desc *d : ms) {
    if (d->type() != 0x24) continue;
    classSpecific += d->len();
    if (d->subtype() == 0x02 || d->subtype() == 0x03) {
      EXPECT_TRUE(jacks.emplace(d->u8(4), d).second);
    }
  }
  const Desc *header = ms[1];
  ASSERT_TRUE(header->Is(0x24, 0x01));
  EXPECT_EQ(header->u16(5), classSpecific);
  for (const auto &[id, jack] : jacks) {
    if (jack->subtype() != 0x03) continue;
    EXPECT_EQ(jack->len(), 7 + 2 * jack->u8(5));
    for (int pin = 0; pin < jack->u8(5); ++pin) {
      EXPECT_TRUE(jacks.count(jack->u8(6 + 2 * pin)));
    }
  }
  size_t endpoints = 0;
  for (size_t i = 0; i < ms.size(); ++i) {
    if (ms[i]->type() != 5) continue;
    ++endpoints;
    ASSERT_LT(i + 1, ms.size());
    const Desc &cs = *ms[i + 1];
    ASSERT_TRUE(cs.Is(0x25, 0x01)) << "class-specific endpoint must follow directly";
    EXPECT_EQ(cs.len(), 4 + cs.u8(3));
    EXPECT_EQ(cs.u8(3), Model().midi->cables);
    // Host OUT data enters embedded IN jacks; embedded OUT jacks feed the IN endpoint.
    const uint8_t wanted = (ms[i]->u8(2) & 0x80) ? 0x03 : 0x02;
    for (int j = 0; j < cs.u8(3); ++j) {
      const uint8_t id = cs.u8(4 + j);
      ASSERT_TRUE(jacks.count(id));
      EXPECT_EQ(jacks[id]->subtype(), wanted);
      EXPECT_EQ(jacks[id]->u8(3), 1) << "embedded";
    }
  }
  EXPECT_EQ(endpoints, 2u);
}

TEST_P(DescriptorConsistency, StringZeroListsEnglishAndChannelNamesReadInOrder) {
  ASSERT_NE(m_set.String(0), nullptr);
  EXPECT_EQ(*m_set.String(0), (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  for (const Desc &d : m_split.all) {
    if (!d.InAudio(2) || !d.Is(0x24, 0x01) || d.u8(15) == 0) continue;
    const StreamingInterface &stream = Model().streams.at(static_cast<size_t>(d.itf - 1));
    for (size_t ch = 0; ch < stream.channelNames.size(); ++ch) {
      const std::vector<uint8_t> *s = m_set.String(static_cast<uint8_t>(d.u8(15) + ch));
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(devices_test::AsciiOfString(*s), stream.channelNames[ch]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Catalog, DescriptorConsistency, ::testing::ValuesIn(BuildableModels()),
                         [](const auto &info) { return info.param.label; });

TEST(FirmwareUpdateDevice, EnumeratesAsOneDfuInterfaceWithTheSameIds) {
  for (const DeviceModel &model : Catalog()) {
    SCOPED_TRACE(model.name);
    const BuildResult result = BuildDevice(FirmwareUpdateVariant(model));
    ASSERT_TRUE(result.Ok());
    const DescriptorSet &set = result.definition.descriptors;
    EXPECT_EQ(set.device[4], 0xFE);
    EXPECT_EQ(set.device[5], 0x01);
    EXPECT_EQ(set.device[10] | set.device[11] << 8, model.productId);
    const auto split = devices_test::SplitDescriptors(set.configuration);
    ASSERT_TRUE(split.clean);
    EXPECT_EQ(split.all.front().u8(4), 1);
    size_t interfaces = 0;
    for (const Desc &d : split.all) {
      if (d.type() != 4) continue;
      ++interfaces;
      EXPECT_EQ(d.u8(5), 0xFE);
      EXPECT_EQ(d.u8(6), 0x01);
      EXPECT_EQ(d.u8(4), 0);
    }
    EXPECT_EQ(interfaces, 1u);
  }
}

TEST(FullSpeedVariant, KeepsOnlyRatesWhosePacketsFitOneFrame) {
  const DeviceModel full = FullSpeedVariant(*FindModel("Maple"));
  ASSERT_TRUE(BuildDevice(full).Ok());
  // 2 channels x 4 bytes: 1023 bytes hold 127 samples per 1 ms frame.
  EXPECT_EQ(full.clocks.front().rates, (std::vector<uint32_t>{44100, 48000, 88200, 96000}));
}

}  // namespace
