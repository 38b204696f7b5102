#include "urb_builders.h"

#include <wdm.h>

namespace usbtest {

UrbBuffer GetDescriptorUrb(UCHAR type, UCHAR index, USHORT language, void *buffer, ULONG length) {
  UrbBuffer urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                               buffer, nullptr, length, nullptr);
  return urb;
}

UrbBuffer ClassInterfaceUrb(bool in, UCHAR request, USHORT value, USHORT index, void *buffer, ULONG length) {
  UrbBuffer urb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(urb.get(), URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request, value, index,
                        buffer, nullptr, length, nullptr);
  return urb;
}

UrbBuffer BulkUrb(USBD_PIPE_HANDLE pipe, bool in, void *buffer, ULONG length, ULONG flags) {
  UrbBuffer urb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(urb.get(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                         nullptr, length, (in ? USBD_TRANSFER_DIRECTION_IN : 0) | flags, nullptr);
  return urb;
}

UrbBuffer PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
  UrbBuffer urb(sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Function = function;
  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

UrbBuffer IsochUrb(USBD_PIPE_HANDLE pipe, bool in, void *buffer, uint32_t frames, uint32_t packetBytes,
                   std::optional<ULONG> startFrame) {
  const uint32_t packets = frames * 8;
  UrbBuffer urb(GET_ISO_URB_SIZE(packets));
  auto &r = urb->UrbIsochronousTransfer;
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
  urb->UrbHeader.Status = static_cast<USBD_STATUS>(0xFFFFFFFF);
  r.PipeHandle = pipe;
  r.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : 0) | (startFrame ? 0 : USBD_START_ISO_TRANSFER_ASAP);
  r.TransferBuffer = buffer;
  r.TransferBufferLength = packets * packetBytes;
  r.StartFrame = startFrame.value_or(0);
  r.NumberOfPackets = packets;
  PUSBD_ISO_PACKET_DESCRIPTOR descriptors = r.IsoPacket;
  for (uint32_t i = 0; i < packets; ++i) {
    descriptors[i].Offset = i * packetBytes;
    descriptors[i].Length = in ? 0 : packetBytes;
    descriptors[i].Status = static_cast<USBD_STATUS>(0xFFFFFFFF);
  }
  return urb;
}

UrbBuffer SelectInterfaceUrb(USBD_CONFIGURATION_HANDLE configuration, UCHAR number, UCHAR alternate,
                             UCHAR endpoints) {
  size_t size = offsetof(struct _URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(endpoints);
  UrbBuffer urb(size);
  UsbBuildSelectInterfaceRequest(urb.get(), static_cast<USHORT>(size), configuration, number, alternate);
  return urb;
}

}  // namespace usbtest
