// Device removal: what is pending completes with the removal status, what
// comes later never reaches the bus, injected removals fire when asked, and
// the PDO goes once its stack has.
#include "usb_stack_fixture.h"
#include "winsim/usb/usb_bus.h"

using namespace usbtest;
using winsim::kTicksPerMillisecond;
using winsim::usb::UsbDeviceEvent;
using winsim::usb::UsbDeviceEventKind;

namespace {

class RemovalTest : public UsbStackTest {
 protected:
  void SetUp() override {
    UsbStackTest::SetUp();
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
  }

  winsim::usb::UsbPdo *Pdo() { return machine.Bus(1)->Pdo(handle.port); }

  NTSTATUS ReadDeviceDescriptor(UrbBuffer *urbOut = nullptr) {
    static USB_DEVICE_DESCRIPTOR descriptor;
    UrbBuffer urb = GetDescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, sizeof descriptor);
    NTSTATUS status = stack->SubmitUrb(urb.get());
    if (urbOut != nullptr) *urbOut = std::move(urb);
    return status;
  }

  void RecordEvents() {
    machine.SetUsbDeviceListener([this](const UsbDeviceEvent &event) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_events.push_back(event.kind);
      m_surprise.push_back(event.surprise);
    });
  }
  bool HeardSurpriseRemoval() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = 0; i < m_events.size(); ++i) {
      if (m_events[i] == UsbDeviceEventKind::Gone && m_surprise[i]) return true;
    }
    return false;
  }
  void TearDown() override {
    machine.SetUsbDeviceListener(nullptr);
    UsbStackTest::TearDown();
  }

 private:
  std::mutex m_lock;
  std::vector<UsbDeviceEventKind> m_events;
  std::vector<bool> m_surprise;
};

TEST_F(RemovalTest, SurpriseUnplugCompletesEverythingPendingAsNotConnected) {
  std::vector<uint8_t> audio(2 * 8 * 48);
  std::vector<UrbBuffer> urbs;
  for (int i = 0; i < 3; ++i) urbs.push_back(IsochUrb(Pipe(0x01), false, audio.data(), 2, 48, std::nullopt));
  device->Hang(0xA1, 0x01);
  uint8_t rate[4], midi[64];
  urbs.push_back(ClassInterfaceUrb(true, 0x01, 0x0100, 0x2900, rate, sizeof rate));
  urbs.push_back(BulkUrb(Pipe(0x82), true, midi, sizeof midi, USBD_SHORT_TRANSFER_OK));
  std::vector<std::unique_ptr<AsyncUrb>> pending;
  for (UrbBuffer &urb : urbs) {
    pending.push_back(std::make_unique<AsyncUrb>(stack->Top(), urb.get()));
    ASSERT_EQ(pending.back()->Send(), STATUS_PENDING);
  }
  machine.RunFor(kTicksPerMillisecond);
  VTime unplugged = machine.Now();
  ASSERT_TRUE(machine.UnplugDevice(handle, true));
  ASSERT_TRUE(machine.RunUntil([&] { return std::all_of(pending.begin(), pending.end(), [](auto &p) { return p->Done(); }); },
                               winsim::kTicksPerSecond));
  for (size_t i = 0; i < pending.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pending[i]->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urbs[i]->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(pending[i]->CompletedAt(), unplugged);
  }
  PUSBD_ISO_PACKET_DESCRIPTOR packets = urbs[2]->UrbIsochronousTransfer.IsoPacket;
  EXPECT_EQ(packets[15].Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(RemovalTest, AfterSurpriseRemovalUrbsFailAtOnceWithoutReachingTheDevice) {
  ASSERT_TRUE(machine.UnplugDevice(handle, true));
  size_t transactions = device->TransactionCount();
  UrbBuffer urb(0);
  EXPECT_EQ(ReadDeviceDescriptor(&urb), STATUS_DEVICE_NOT_CONNECTED);  // returned by IoCallDriver, not pending
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(device->TransactionCount(), transactions);
  // The PnP manager tears the stack down; then the PDO goes too.
  EXPECT_EQ(stack->Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  stack->Remove();
  EXPECT_TRUE(Pdo()->Deleted());
  EXPECT_TRUE(machine.UsbDevices().empty());
}

TEST_F(RemovalTest, SurpriseRemovalIrpAloneStopsUrbsFromReachingAPresentDevice) {
  EXPECT_EQ(stack->Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  size_t transactions = device->TransactionCount();
  EXPECT_EQ(ReadDeviceDescriptor(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(device->TransactionCount(), transactions);
}

TEST_F(RemovalTest, RemovedStackLeavesAPresentDeviceUnconfiguredForTheNextOne) {
  USBD_PIPE_HANDLE old = Pipe(0x82);
  stack->Remove();
  EXPECT_FALSE(Pdo()->Deleted());
  stack = std::make_unique<FunctionStack>(driver, Pdo()->Device());
  EXPECT_EQ(ReadDeviceDescriptor(), STATUS_SUCCESS);
  UrbBuffer reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE, old);
  EXPECT_EQ(stack->SubmitUrb(reset.get()), STATUS_INVALID_PARAMETER) << "the removal closed the old pipes";
  EXPECT_EQ(SelectConfiguration(), STATUS_SUCCESS);
}

TEST_F(RemovalTest, OrderlyUnplugLetsThePnpManagerRemoveTheStackWhileTheDeviceIsStillThere) {
  NTSTATUS deconfigured = STATUS_PENDING;
  machine.SetUsbDeviceListener([&](const UsbDeviceEvent &event) {
    if (event.kind != UsbDeviceEventKind::Leaving) return;
    UrbBuffer urb(sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb.get(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    deconfigured = stack->SubmitUrb(urb.get());  // the driver's remove path still reaches the device
    stack->Remove();
  });
  ASSERT_TRUE(machine.UnplugDevice(handle, false));
  EXPECT_EQ(deconfigured, STATUS_SUCCESS);
  EXPECT_EQ(device->Configuration(), 0);
  EXPECT_TRUE(Pdo()->Deleted());
}

TEST_F(RemovalTest, InjectedRemovalAfterNUrbsLetsExactlyThoseThrough) {
  RecordEvents();
  ASSERT_TRUE(machine.Bus(1)->SurpriseRemoveAfterUrbs(handle.port, 3));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadDeviceDescriptor(), STATUS_SUCCESS) << i;
  EXPECT_EQ(ReadDeviceDescriptor(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(machine.RunUntil([&] { return HeardSurpriseRemoval(); }, winsim::kTicksPerSecond));
}

TEST_F(RemovalTest, InjectedRemovalAtAVirtualTimeFailsWhatIsPendingThen) {
  RecordEvents();
  VTime when = machine.Now() + 20 * kTicksPerMillisecond;
  ASSERT_TRUE(machine.Bus(1)->SurpriseRemoveAt(handle.port, when));
  uint8_t midi[64];
  UrbBuffer urb = BulkUrb(Pipe(0x82), true, midi, sizeof midi, USBD_SHORT_TRANSFER_OK);
  AsyncUrb read(stack->Top(), urb.get());
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(read));
  EXPECT_EQ(read.CompletedAt(), when);
  EXPECT_EQ(read.Status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(machine.RunUntil([&] { return HeardSurpriseRemoval(); }, winsim::kTicksPerSecond));
}

}  // namespace
