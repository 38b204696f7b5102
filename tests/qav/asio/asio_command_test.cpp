// `qav asio` run as a user runs it: the driver found through the registry
// of a machine on which its module registered itself, its channel names,
// a round trip measured sample-exact against what the device and the
// driver add up to, and the options' errors.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "../commands/command_run.h"
#include "tools/qav/loopback_report.h"
#include "uac2common/asiodriver/asio_latency.h"
#include "winsim/devices/catalog.h"

#ifdef QAV_TOOL_PATH

namespace {

struct QavRun {
  int code = -1;
  std::string out, err;
};

QavRun Qav(const qavtest::CStateFolder &state, const std::string &args) {
  const std::string out = state.Path() + ".out", err = state.Path() + ".err";
  const std::string line =
      std::string(QAV_TOOL_PATH) + " --state " + state.Path() + " " + args + " >" + out + " 2>" + err;
  const int status = std::system(line.c_str());
  QavRun run;
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = qavtest::ReadFile(out);
  run.err = qavtest::ReadFile(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

const winsim::devices::DeviceModel &DefaultModel() {
  return *winsim::devices::FindModel(winsim::devices::DefaultModelName());
}

TEST(AsioCommand, InfoShowsTheDefaultInterfacesChannelsByName) {
  qavtest::CStateFolder state;
  const QavRun run = Qav(state, "asio info");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.rfind("driver: Quorvin Tessarin ASIO (registered as 'Quorvin Tessarin ASIO'), version 1\n", 0), 0u);
  for (const auto &stream : DefaultModel().streams) {
    const bool input = stream.direction == winsim::devices::StreamDirection::Capture;
    const std::string heading = std::string(input ? "input" : "output") + " channels: " +
                                std::to_string(stream.channelNames.size()) + "\n";
    const size_t at = run.out.find(heading);
    ASSERT_NE(at, std::string::npos) << heading;
    size_t from = at;
    for (const std::string &name : stream.channelNames) {
      from = run.out.find("  " + name + " ", from);
      EXPECT_NE(from, std::string::npos) << name;
      if (from == std::string::npos) break;
    }
  }
  EXPECT_NE(run.out.find("buffer sizes: min 16, max 4096, preferred 256, granularity 1"), std::string::npos);
  EXPECT_NE(run.out.find("latencies at 256 samples: input "), std::string::npos);
  EXPECT_EQ(Qav(state, "asio info").out, run.out) << "the second run finds the registration the first one left";
}

// A machine whose registration names a module that is no longer there, as
// after the driver moved: the installation replaces it and hosts find the
// driver again.
TEST(AsioCommand, ARegistrationOfAnotherCopyIsReplaced) {
  qavtest::CStateFolder state;
  ASSERT_EQ(Qav(state, "asio info").code, 0);
  std::string registry = qavtest::ReadFile(state.RegistryFile());
  const size_t at = registry.find("qavasio.so");
  ASSERT_NE(at, std::string::npos) << "the module registered itself under its lower-case path";
  const size_t start = registry.rfind('"', at) + 1;
  registry.replace(start, at - start, "/nowhere/");
  FILE *file = std::fopen(state.RegistryFile().c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(registry.data(), 1, registry.size(), file);
  std::fclose(file);

  const QavRun run = Qav(state, "asio info");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(qavtest::ReadFile(state.RegistryFile()).find("/nowhere/"), std::string::npos);
}

std::vector<std::string> Fields(const std::string &line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

// The round trip a host sees on a loopback cable: the request sets in
// flight and the buffer being processed, one USB transfer filling, 2 ms of
// transfers scheduled ahead, the device's render FIFO at its start level and
// both converters. The DAC starts with the packet that reached the start
// level, and a capture packet carries the samples of the microframe before
// its own: up to one microframe's frames more.
TEST(AsioCommand, LoopbackMeasuresWhatTheDeviceAndDriverImply) {
  qavtest::CStateFolder state;
  const std::string csv = state.Path() + ".csv";
  const QavRun run = Qav(state, "asio loopback --rate 48000,96000 --mode balanced --buffer 64,256 --seconds 0.5 --csv " + csv);
  ASSERT_EQ(run.code, 0) << run.err;
  const std::string text = qavtest::ReadFile(csv);
  std::remove(csv.c_str());
  std::stringstream lines(text);
  std::string line;
  std::getline(lines, line);
  const auto &behaviour = DefaultModel().behaviour;
  // The DAC starts at fifoStartFrames, else at fifoStartMicroseconds of the
  // stream's rate in whole frames, else at half the FIFO.
  auto fifoStart = [&behaviour](uint64_t rate) -> uint64_t {
    if (behaviour.fifoStartFrames != 0) return behaviour.fifoStartFrames;
    if (behaviour.fifoStartMicroseconds != 0) return (rate * behaviour.fifoStartMicroseconds + 999'999) / 1'000'000;
    return behaviour.fifoDepthFrames / 2;
  };
  size_t rows = 0;
  while (std::getline(lines, line)) {
    SCOPED_TRACE(line);
    const std::vector<std::string> f = Fields(line);
    ASSERT_GE(f.size(), 18u);
    ++rows;
    const uint64_t rate = std::stoul(f[0]), urb = std::stoul(f[2]), buffer = std::stoul(f[3]);
    EXPECT_EQ(f[4], "yes");
    const uint64_t transfer = (urb * rate + 999) / 1000;
    const uint64_t sets = qavasio::RequestSetCount(static_cast<uint32_t>(transfer), static_cast<uint32_t>(buffer));
    const uint64_t implied = (sets + 1) * buffer + transfer + (2 * rate + 999) / 1000 + fifoStart(rate) +
                             behaviour.loopbackDelaySamples;
    const int64_t measured = std::stoll(f[5]);
    EXPECT_GE(measured, static_cast<int64_t>(implied));
    EXPECT_LE(measured, static_cast<int64_t>(implied + rate / 8000));
    EXPECT_EQ(std::stoll(f[9]), 2 * std::stoll(f[7])) << "input and output latency are reported alike";
    EXPECT_EQ(f[15], "0") << "no overloads";
    EXPECT_EQ(f[16], "0") << "no underruns";
    EXPECT_EQ(f[17], "0") << "no overruns";
  }
  EXPECT_EQ(rows, 4u);
  EXPECT_EQ(Qav(state, "mode").out.rfind("mode: balanced", 0), 0u) << "the sweep leaves the mode as it was";
}

struct UsageCase {
  const char *args;
  const char *err;  // the start of stderr
};

TEST(AsioCommand, BadArgumentsAreUsageErrors) {
  const UsageCase cases[] = {
      {"asio", "qav: choose info or loopback"},
      {"asio play", "qav: choose info or loopback"},
      {"asio info extra", "qav: qav asio info takes no arguments"},
      {"asio loopback --rate", "qav: option '--rate' needs a value"},
      {"asio loopback --rate 48k", "qav: '48k' is not a sample rate in Hz"},
      {"asio loopback --rate 48000,", "qav: '48000,' is not a sample rate in Hz"},
      {"asio loopback --mode fast", "qav: 'fast' is not a mode"},
      {"asio loopback --buffer 8", "qav: '8' is not a buffer size from 16 to 4096"},
      {"asio loopback --seconds 0.1", "qav: '0.1' is not a number of seconds"},
      {"asio loopback --seconds 1.25", "qav: '1.25' is not a number of seconds"},
      {"asio loopback --loud", "qav: unknown loopback option '--loud'"},
  };
  qavtest::CStateFolder state;
  for (const UsageCase &c : cases) {
    SCOPED_TRACE(c.args);
    const QavRun run = Qav(state, c.args);
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one error line";
  }
}

TEST(AsioCommand, RowsThatMeasureNothingFailTheRun) {
  // The reference board's clock is fixed at 48 kHz: no round trip at 96 kHz.
  qavtest::CStateFolder state;
  const QavRun run = Qav(state, "--sim Hazel asio loopback --rate 96000 --mode mixing --buffer 512 --seconds 0.5");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("the driver does not take this rate"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("1 of 1 rows did not measure a round trip"), std::string::npos) << run.err;
}

}  // namespace

#endif
