// Every catalog model starts under the driver, and what the driver learned
// (configuration, clocks, rate list, selector, streams, filter pins) is what
// the model's descriptors and the device's own state say.
#include <string>

#include "driver_harness.h"
#include "winsim/devices/raw_model.h"
#include "winsim/kernel/pnp_keys.h"

namespace dstest {
namespace {

std::u16string ClockName(const ClockSourceInfo &info) {
  WCHAR name[UAC_CLOCK_NAME_CHARS];
  ULONG used = ClockSourceInfoGetName(info, name, UAC_CLOCK_NAME_CHARS);
  return std::u16string(name, name + used);
}

std::u16string Wide(const std::string &text) { return std::u16string(text.begin(), text.end()); }

std::vector<uint32_t> Rates(const UsbAudioControl &control) {
  std::vector<uint32_t> rates;
  for (ULONG rate : control.rates) {
    if (rate == 0) break;
    rates.push_back(rate);
  }
  return rates;
}

class CatalogStart : public DriverStartTest {
 protected:
  void ExpectClocks(const DeviceModel &model) {
    const UsbAudioControl &control = *Ctx().audioControl;
    ASSERT_EQ(control.clockCount, model.clocks.size());
    for (size_t i = 0; i < model.clocks.size(); ++i) {
      const ClockSourceInfo &info = control.clocks[i];
      EXPECT_EQ(info.Number, i);
      EXPECT_EQ(info.ClockId, model.clocks[i].id);
      EXPECT_EQ(info.Attributes & UAC_CLOCK_TYPE_MASK, static_cast<ULONG>(model.clocks[i].type));
      EXPECT_EQ(ClockName(info), Wide(model.clocks[i].name));
    }
    // Only the first clock's validity is read at start.
    EXPECT_EQ((control.clocks[0].Attributes & UAC_CLOCK_VALID) != 0, device->ClockValid(model.clocks[0].id));
    EXPECT_EQ(control.selectorId, model.selector ? model.selector->id : 0);
    if (model.selector) {
      EXPECT_EQ(control.selectorInput, device->SelectorInput());
    }
    EXPECT_EQ(control.currentClockId, device->ActiveClock());
    const auto *active = winsim::devices::FindClock(model, device->ActiveClock());
    ASSERT_NE(active, nullptr);
    EXPECT_EQ(Rates(control), active->rates);
  }

  void ExpectStream(const UsbAudioStream *stream, const winsim::devices::StreamingInterface &expected) {
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->channels, expected.channels);
    EXPECT_EQ(stream->dataEndpoint, expected.endpoint);
    uint8_t feedback = expected.feedback == winsim::devices::FeedbackKind::Explicit ? expected.feedbackEndpoint : 0;
    EXPECT_EQ(stream->feedbackEndpoint, feedback);
    EXPECT_EQ(stream->nominalRate, Ctx().sampleRate);
    EXPECT_EQ(stream->samplesPerMicroframe, static_cast<ULONG>((uint64_t{Ctx().sampleRate} << 16) / 8000));
  }
};

TEST_F(CatalogStart, EveryServedModelStartsAsItsDescriptorsSay) {
  for (const DeviceModel &model : winsim::devices::Catalog()) {
    if (model.vendorId == winsim::devices::kForeignVendorId) continue;
    SCOPED_TRACE(model.name);
    Plug(Build(model));
    installed = false;  // the next model has other hardware ids
    EXPECT_EQ(Node().state, winsim::DeviceNodeState::Started);
    EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
    EXPECT_EQ(device->Configuration(), 1);
    UsbAudioDevice &context = Ctx();
    EXPECT_EQ(context.config.interfaceCount, 1 + model.streams.size() + (model.midi ? 1 : 0));
    ASSERT_NE(context.audioControl, nullptr);
    ExpectClocks(model);
    EXPECT_EQ(context.sampleRate, device->ActiveRate());
    const auto *render = winsim::devices::FindStream(model, winsim::devices::StreamDirection::Render);
    const auto *capture = winsim::devices::FindStream(model, winsim::devices::StreamDirection::Capture);
    if (render != nullptr) {
      ExpectStream(context.renderStream, *render);
    } else {
      EXPECT_EQ(context.renderStream, nullptr);
    }
    if (capture != nullptr) {
      ExpectStream(context.captureStream, *capture);
    } else {
      EXPECT_EQ(context.captureStream, nullptr);
    }
    // Each MIDI cable has a pin pair on the OUT and on the IN endpoint, after the audio pins.
    EXPECT_EQ(context.filterDescriptor->filter.PinDescriptorsCount,
              2 * model.streams.size() + (model.midi ? 4u * model.midi->cables : 0u));
    EXPECT_NE(context.filterFactory, nullptr);
    EXPECT_EQ(context.urbSize, 3u);
    Unplug();
  }
}

TEST_F(CatalogStart, TheFilterFactoryIsRegisteredUnderThePrivateCategoryWithTheProductNameAsFriendlyName) {
  Plug("Larch");
  auto interfaces = machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].referenceString, u"GLOBAL");
  // The factory's symbolic link is that of its first category, KSCATEGORY_AUDIO.
  auto audio = machine.Pnp().Interfaces(&KSCATEGORY_AUDIO, true);
  ASSERT_EQ(audio.size(), 1u);
  std::u16string path = audio[0].registryKey + u"\\Device Parameters";
  UNICODE_STRING keyName;
  RtlInitUnicodeString(&keyName, reinterpret_cast<PCWSTR>(path.c_str()));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, reinterpret_cast<PCWSTR>(u"FriendlyName"));
  uint8_t buffer[128] = {};
  ULONG needed = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
            STATUS_SUCCESS);
  ZwClose(key);
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
  const std::u16string product = u"Tessarin Larch";
  ASSERT_EQ(info->DataLength, (product.size() + 1) * 2) << "the terminator is stored too";
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(info->Data)), product);
}

// The product string only names the filter: without one (iProduct 0, or an
// index the device has no string for) the device starts all the same and the
// filter keeps the FriendlyName its installation gave it.
TEST_F(CatalogStart, ADeviceWithoutAReadableProductStringStarts) {
  for (uint8_t iProduct : {uint8_t{0}, uint8_t{0x7E}}) {
    SCOPED_TRACE(int{iProduct});
    const winsim::devices::BuildResult built = winsim::devices::BuildDevice(Model("Larch"));
    winsim::devices::RawDescriptors raw{built.definition.descriptors.device,
                                        built.definition.descriptors.configuration,
                                        built.definition.descriptors.strings};
    raw.device[15] = iProduct;
    const auto parsed = winsim::devices::ParseRawDevice(raw, {"Larch", Model("Larch").clocks.front().rates});
    ASSERT_TRUE(parsed.Ok()) << parsed.detail;
    Plug(parsed.definition);
    installed = false;
    EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
    EXPECT_NE(Ctx().filterFactory, nullptr);
    EXPECT_NE(Ctx().renderStream, nullptr);
    EXPECT_EQ(Ctx().productName[0], 0);
    auto audio = machine.Pnp().Interfaces(&KSCATEGORY_AUDIO, true);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(winsim::pnp::ReadString(audio[0].registryKey + u"\\Device Parameters", u"FriendlyName"),
              u"Quorvin Tessarin USB Audio");
    Unplug();
  }
}

}  // namespace
}  // namespace dstest
