// Class-specific requests to an entity of the AudioControl interface on the
// client's behalf: a get reads the control into the value buffer, a set
// writes the value buffer to it. The data stage is exactly the value buffer
// the request came with.
#include "kerneldriver/ks/private/private_request.h"

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr ULONG kClassRequestTimeoutMs = 3000;

// A get answers with the whole value buffer: what the device did not send
// reads as zeros, never as what the buffer held before.
NTSTATUS SendClassRequest(PrivateRequest *request, bool in) {
  UsbAudioControl *control = request->device->audioControl;
  if (control == nullptr) return STATUS_DEVICE_NOT_READY;
  if (request->valueLength > kMaxControlDataBytes) return STATUS_INVALID_PARAMETER;
  const auto *fields = reinterpret_cast<const KSP_UAC_CLASS_REQUEST *>(request->request);
  ClassRequest classRequest{in, fields->Request, fields->ControlSelector, fields->Channel, fields->EntityId};
  if (in) QavZeroMemory(request->value, request->valueLength);
  NTSTATUS status = UsbClassRequest(control->controlInterface, classRequest, request->value, request->valueLength,
                                    kClassRequestTimeoutMs, nullptr);
  if (NT_SUCCESS(status)) request->returned = request->valueLength;
  return status;
}

}  // namespace

NTSTATUS ClassRequestGet(PrivateRequest *request) { return SendClassRequest(request, true); }

NTSTATUS ClassRequestSet(PrivateRequest *request) { return SendClassRequest(request, false); }
