// URBs built the way a function driver builds them, in storage the test owns.
#pragma once
#include <usb.h>
#include <usbdlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace usbtest {

// URB storage, zeroed and 8-byte aligned. It always spans a whole URB union
// so that the URB's members can be named through it; the header's Length is
// what the stack goes by.
class UrbBuffer {
 public:
  explicit UrbBuffer(size_t bytes) : m_storage((std::max(bytes, sizeof(URB)) + 7) / 8, 0) {}
  PURB get() { return reinterpret_cast<PURB>(m_storage.data()); }
  PURB operator->() { return get(); }

 private:
  std::vector<uint64_t> m_storage;
};

UrbBuffer GetDescriptorUrb(UCHAR type, UCHAR index, USHORT language, void *buffer, ULONG length);
UrbBuffer ClassInterfaceUrb(bool in, UCHAR request, USHORT value, USHORT index, void *buffer, ULONG length);
UrbBuffer BulkUrb(USBD_PIPE_HANDLE pipe, bool in, void *buffer, ULONG length, ULONG flags = 0);
UrbBuffer PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe);
// One packet per microframe of `packetBytes` each over `frames` frames.
UrbBuffer IsochUrb(USBD_PIPE_HANDLE pipe, bool in, void *buffer, uint32_t frames, uint32_t packetBytes,
                   std::optional<ULONG> startFrame);
UrbBuffer SelectInterfaceUrb(USBD_CONFIGURATION_HANDLE configuration, UCHAR number, UCHAR alternate,
                             UCHAR endpoints);

}  // namespace usbtest
