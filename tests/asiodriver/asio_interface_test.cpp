// The IASIO virtual table: hosts call the driver by slot number, so the
// methods must sit in the published order after IUnknown's three.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "uac2common/asiodriver/asio_interface.h"

namespace {

// A pointer to a virtual member function holds 1 + the slot's byte offset in
// the virtual table (Itanium C++ ABI, the host compiler's).
template <typename Method>
ptrdiff_t SlotOf(Method method) {
  static_assert(sizeof(Method) == 2 * sizeof(ptrdiff_t), "Itanium member function pointer");
  ptrdiff_t offset = 0;
  std::memcpy(&offset, &method, sizeof offset);
  return (offset - 1) / static_cast<ptrdiff_t>(sizeof(void *));
}

struct Slot {
  const char *name;
  ptrdiff_t actual;
  int expected;
};

TEST(AsioInterface, MethodsSitInThePublishedSlots) {
  const Slot slots[] = {
      {"QueryInterface", SlotOf(&IASIO::QueryInterface), 0},
      {"AddRef", SlotOf(&IASIO::AddRef), 1},
      {"Release", SlotOf(&IASIO::Release), 2},
      {"init", SlotOf(&IASIO::init), kAsioSlotInit},
      {"getDriverName", SlotOf(&IASIO::getDriverName), kAsioSlotGetDriverName},
      {"getDriverVersion", SlotOf(&IASIO::getDriverVersion), kAsioSlotGetDriverVersion},
      {"getErrorMessage", SlotOf(&IASIO::getErrorMessage), kAsioSlotGetErrorMessage},
      {"start", SlotOf(&IASIO::start), kAsioSlotStart},
      {"stop", SlotOf(&IASIO::stop), kAsioSlotStop},
      {"getChannels", SlotOf(&IASIO::getChannels), kAsioSlotGetChannels},
      {"getLatencies", SlotOf(&IASIO::getLatencies), kAsioSlotGetLatencies},
      {"getBufferSize", SlotOf(&IASIO::getBufferSize), kAsioSlotGetBufferSize},
      {"canSampleRate", SlotOf(&IASIO::canSampleRate), kAsioSlotCanSampleRate},
      {"getSampleRate", SlotOf(&IASIO::getSampleRate), kAsioSlotGetSampleRate},
      {"setSampleRate", SlotOf(&IASIO::setSampleRate), kAsioSlotSetSampleRate},
      {"getClockSources", SlotOf(&IASIO::getClockSources), kAsioSlotGetClockSources},
      {"setClockSource", SlotOf(&IASIO::setClockSource), kAsioSlotSetClockSource},
      {"getSamplePosition", SlotOf(&IASIO::getSamplePosition), kAsioSlotGetSamplePosition},
      {"getChannelInfo", SlotOf(&IASIO::getChannelInfo), kAsioSlotGetChannelInfo},
      {"createBuffers", SlotOf(&IASIO::createBuffers), kAsioSlotCreateBuffers},
      {"disposeBuffers", SlotOf(&IASIO::disposeBuffers), kAsioSlotDisposeBuffers},
      {"controlPanel", SlotOf(&IASIO::controlPanel), kAsioSlotControlPanel},
      {"future", SlotOf(&IASIO::future), kAsioSlotFuture},
      {"outputReady", SlotOf(&IASIO::outputReady), kAsioSlotOutputReady},
  };
  EXPECT_EQ(sizeof slots / sizeof slots[0], static_cast<size_t>(kAsioSlotCount));
  for (const Slot &slot : slots) EXPECT_EQ(slot.actual, slot.expected) << slot.name;
}

TEST(AsioInterface, ValuesHostsDependOn) {
  EXPECT_EQ(ASIOSTInt32LSB, 18);
  EXPECT_EQ(ASE_SUCCESS, 0x3f4847a0);
  EXPECT_EQ(ASE_NotPresent, -1000);
  EXPECT_EQ(kAsioSelectorSupported, 1);
  EXPECT_EQ(kAsioSupportsOutputMeter, 14);
  EXPECT_EQ(kSystemTimeValid | kSamplePositionValid | kSampleRateValid, 7);
  EXPECT_EQ(offsetof(ASIOTime, timeInfo) + offsetof(AsioTimeInfo, flags), 48u);
}

}  // namespace
