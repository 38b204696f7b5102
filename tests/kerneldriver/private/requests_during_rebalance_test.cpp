// A client keeps asking while the device is stopped and started again for a
// resource rebalance: the stop releases the AudioControl object, the streams
// and the cached configuration that the handlers read. Every request is
// answered or refused; none may touch what the stop freed (run under
// AddressSanitizer and in parallel mode to catch it).
#include <atomic>

#include "private_client.h"

namespace privtest {
namespace {

using RequestsDuringRebalance = PrivateTest;

struct Shared {
  CPrivateClient *client;
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
};

// Sleeps a millisecond per round so virtual time can pass for the rebalance.
DWORD WINAPI AskAgainAndAgain(LPVOID context) {
  auto *shared = static_cast<Shared *>(context);
  while (!shared->stop.load()) {
    shared->client->Property(KSPROPERTY_UAC_SAMPLE_RATES, KSPROPERTY_TYPE_GET, std::vector<uint8_t>(64));
    shared->client->Method(KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND, {2, 0, 0, 0, 0, 0, 0, 0},
                           std::vector<uint8_t>(4096));
    shared->client->Property(KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_GET,
                             std::vector<uint8_t>(sizeof(ClockSourceInfo)), IndexTail(0));
    shared->client->GetU32(KSPROPERTY_UAC_SAMPLE_RATE);
    shared->sent++;
    Sleep(1);
  }
  return 0;
}

TEST_F(RequestsDuringRebalance, AreAnsweredOrRefusedWithoutTouchingWhatTheStopReleased) {
  Plug("Larch");
  auto client = Connect();
  ASSERT_TRUE(client);
  Shared shared{client.get()};
  HANDLE thread = CreateThread(nullptr, 0, AskAgainAndAgain, &shared, 0, nullptr);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_SUCCESS);
  }
  shared.stop = true;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_GT(shared.sent.load(), 0);
  EXPECT_TRUE(client->GetU32(KSPROPERTY_UAC_SAMPLE_RATE).ok) << "the restarted device answers";
}

}  // namespace
}  // namespace privtest
