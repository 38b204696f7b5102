// One run of configuration and model building over a device script: a
// script recorded from a catalog model replays to the same model, and the
// script's flags and handshakes reach the driver as the stack's answers.
#include <gtest/gtest.h>

#include "fuzz/model_run.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"

namespace {

using qavfuzz::DeviceScript;
using qavfuzz::ModelOutcome;
using qavfuzz::ModelRunner;

DeviceScript RecordModel(ModelRunner &runner, const winsim::devices::DeviceModel &model, ModelOutcome *outcome) {
  auto built = winsim::devices::BuildDevice(model);
  EXPECT_TRUE(built.Ok()) << model.name;
  winsim::devices::AudioDevice device(built.definition);
  DeviceScript script;
  qavfuzz::RecordingDevice recording(device, script);
  *outcome = runner.Run(recording, qavfuzz::StackOptions{});
  return script;
}

TEST(ModelRun, EveryCatalogModelReplaysToTheModelItWasRecordedFrom) {
  ModelRunner runner;
  for (const auto &model : winsim::devices::Catalog()) {
    ModelOutcome recorded;
    DeviceScript script = RecordModel(runner, model, &recorded);
    EXPECT_EQ(recorded.configured, STATUS_SUCCESS) << model.name;
    ModelOutcome replayed = runner.Run(script);
    EXPECT_EQ(replayed, recorded) << model.name << ": " << recorded.Describe() << " / " << replayed.Describe();
  }
}

TEST(ModelRun, LarchBuildsBothStreamsAndPreparesThem) {
  ModelRunner runner;
  ModelOutcome outcome;
  RecordModel(runner, *winsim::devices::FindModel("Larch"), &outcome);
  EXPECT_EQ(outcome.built, STATUS_SUCCESS);
  EXPECT_TRUE(outcome.audioControl);
  EXPECT_EQ(outcome.clocks, 3u);
  EXPECT_NE(outcome.rate, 0u);
  EXPECT_EQ(outcome.captureChannels, 18u);
  EXPECT_EQ(outcome.renderChannels, 20u);
  EXPECT_EQ(outcome.capturePrepared, STATUS_SUCCESS);
  EXPECT_EQ(outcome.renderPrepared, STATUS_SUCCESS);
}

// What the script says besides the descriptors reaches the driver.
TEST(ModelRun, FlagsAndHandshakesOfTheScriptShapeTheModel) {
  ModelRunner runner;
  ModelOutcome sound;
  const DeviceScript larch = RecordModel(runner, *winsim::devices::FindModel("Larch"), &sound);
  struct Case {
    const char *what;
    void (*edit)(DeviceScript &);
    bool streams;
    bool rates;
  };
  const Case cases[] = {
      {"as recorded", [](DeviceScript &) {}, true, true},
      {"complete inline", [](DeviceScript &s) { s.flags |= qavfuzz::kScriptCompleteInline; }, true, true},
      {"full speed", [](DeviceScript &s) { s.flags |= qavfuzz::kScriptFullSpeed; }, false, true},
      {"no bus interface",
       [](DeviceScript &s) {
         s.flags |= qavfuzz::kScriptNoBusInterfaceV0 | qavfuzz::kScriptNoBusInterfaceV1;
         s.flags |= qavfuzz::kScriptNoBusInterfaceV2;
       },
       false, true},
      {"bus interface version 0 only",
       [](DeviceScript &s) { s.flags |= qavfuzz::kScriptNoBusInterfaceV1 | qavfuzz::kScriptNoBusInterfaceV2; }, false,
       true},
      {"RANGE never answered",
       [](DeviceScript &s) {
         for (auto &record : s.records) {
           if (record.bmRequestType == 0xA1 && record.bRequest == 0x02) record.handshake = winsim::usb::Handshake::Nak;
         }
       },
       true, false},
  };
  for (const Case &c : cases) {
    DeviceScript script = larch;
    c.edit(script);
    ModelOutcome outcome = runner.Run(script);
    EXPECT_EQ(outcome.configured, STATUS_SUCCESS) << c.what;
    EXPECT_EQ(outcome.captureChannels != 0 && outcome.renderChannels != 0, c.streams) << c.what;
    EXPECT_EQ(outcome.rates != 0, c.rates) << c.what;
  }
}

}  // namespace
