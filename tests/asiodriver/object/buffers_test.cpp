// createBuffers, disposeBuffers, start and stop in the orders hosts call
// them, and the host records createBuffers must refuse.
#include <vector>

#include "asio_machine.h"
#include "host_recorder.h"

namespace asiotest {
namespace {

enum class Op { Create, Dispose, Start, Stop, CreateTooMany, CreateUnknownInput, CreateUnknownOutput, CreateNoSamples };

struct Step {
  Op op;
  ASIOError expected;
};

struct OrderCase {
  const char *name;
  std::vector<Step> steps;
};

const OrderCase kOrders[] = {
    {"host order", {{Op::Create, ASE_OK}, {Op::Start, ASE_OK}, {Op::Stop, ASE_OK}, {Op::Dispose, ASE_OK}}},
    {"start without buffers", {{Op::Start, ASE_InvalidMode}, {Op::Stop, ASE_OK}}},
    {"buffers twice", {{Op::Create, ASE_OK}, {Op::Create, ASE_InvalidParameter}, {Op::Dispose, ASE_OK}}},
    {"buffers again after dispose",
     {{Op::Create, ASE_OK}, {Op::Dispose, ASE_OK}, {Op::Create, ASE_OK}, {Op::Start, ASE_OK}, {Op::Stop, ASE_OK}}},
    {"start and stop twice",
     {{Op::Create, ASE_OK}, {Op::Start, ASE_OK}, {Op::Start, ASE_OK}, {Op::Stop, ASE_OK}, {Op::Stop, ASE_OK}}},
    {"restart", {{Op::Create, ASE_OK}, {Op::Start, ASE_OK}, {Op::Stop, ASE_OK}, {Op::Start, ASE_OK}}},
    {"dispose while running ends the stream first",
     {{Op::Create, ASE_OK}, {Op::Start, ASE_OK}, {Op::Dispose, ASE_OK}, {Op::Start, ASE_InvalidMode}}},
    {"buffers under a running stream", {{Op::Create, ASE_OK}, {Op::Start, ASE_OK}, {Op::Create, ASE_InvalidParameter}}},
    {"dispose without buffers", {{Op::Dispose, ASE_OK}, {Op::Create, ASE_OK}}},
    {"more channels than exist", {{Op::CreateTooMany, ASE_InvalidMode}, {Op::Create, ASE_OK}}},
    {"unknown input channel", {{Op::CreateUnknownInput, ASE_InvalidParameter}, {Op::Create, ASE_OK}}},
    {"unknown output channel", {{Op::CreateUnknownOutput, ASE_InvalidParameter}, {Op::Create, ASE_OK}}},
    {"no samples per buffer", {{Op::CreateNoSamples, ASE_InvalidMode}, {Op::Create, ASE_OK}}},
};

class AsioBufferOrder : public AsioMachineTest {
 protected:
  ASIOError Run(Op op) {
    std::vector<ASIOBufferInfo> infos;
    for (LONG c = 0; c < 2; ++c) infos.push_back({ASIOTrue, c, {nullptr, nullptr}});
    for (LONG c = 0; c < 2; ++c) infos.push_back({ASIOFalse, c, {nullptr, nullptr}});
    LONG size = 128;
    switch (op) {
      case Op::Create:
        break;
      case Op::Dispose:
        return asio->disposeBuffers();
      case Op::Start:
        return asio->start();
      case Op::Stop:
        return asio->stop();
      case Op::CreateTooMany:
        infos.push_back({ASIOFalse, 0, {nullptr, nullptr}});
        break;
      case Op::CreateUnknownInput:
        infos[1].channelNum = 2;
        break;
      case Op::CreateUnknownOutput:
        infos[3].channelNum = -1;
        break;
      case Op::CreateNoSamples:
        size = 0;
        break;
    }
    const ASIOError result = asio->createBuffers(infos.data(), static_cast<LONG>(infos.size()), size, host.Callbacks());
    if (result == ASE_OK) {
      for (const ASIOBufferInfo &info : infos) {
        EXPECT_NE(info.buffers[0], nullptr);
        EXPECT_NE(info.buffers[1], nullptr);
        EXPECT_NE(info.buffers[0], info.buffers[1]);
      }
    } else {
      for (const ASIOBufferInfo &info : infos) EXPECT_EQ(info.buffers[0], nullptr) << "refused: nothing handed out";
    }
    return result;
  }

  HostRecorder host;
};

TEST_F(AsioBufferOrder, HostCallOrders) {
  Plug("Alder");
  for (const OrderCase &c : kOrders) {
    SCOPED_TRACE(c.name);
    NewDriver();
    ASSERT_EQ(asio->init(nullptr), ASIOTrue);
    for (size_t i = 0; i < c.steps.size(); ++i) EXPECT_EQ(Run(c.steps[i].op), c.steps[i].expected) << "step " << i;
    Sleep(20);
    ReleaseDriver();
  }
}

TEST_F(AsioBufferOrder, ActiveChannelsAreTheOnesTheHostAskedFor) {
  Plug("Larch");
  NewDriver();
  ASSERT_EQ(asio->init(nullptr), ASIOTrue);
  ASIOBufferInfo infos[] = {{ASIOTrue, 17, {nullptr, nullptr}}, {ASIOFalse, 3, {nullptr, nullptr}}};
  ASSERT_EQ(asio->createBuffers(infos, 2, 64, host.Callbacks()), ASE_OK);
  for (LONG c = 0; c < 18; ++c) {
    ASIOChannelInfo info = {};
    info.channel = c;
    info.isInput = ASIOTrue;
    ASSERT_EQ(asio->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, c == 17 ? ASIOTrue : ASIOFalse) << c;
  }
  ASIOChannelInfo output = {};
  output.channel = 3;
  ASSERT_EQ(asio->getChannelInfo(&output), ASE_OK);
  EXPECT_EQ(output.isActive, ASIOTrue);
  EXPECT_EQ(host.Messages(kAsioSupportsTimeInfo), 1u);
}

}  // namespace
}  // namespace asiotest
