// What the device is and who uses it: the product id, and the processes
// whose render pins the running render stream currently mixes.
#include "kerneldriver/ks/private/private_request.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/stream/pin_operations.h"

static_assert(UAC_MAX_RENDER_CLIENTS == kMaxStreamPins, "the render pins table holds the clients the property lists");

namespace {

// The pins table in table order, under its lock (a completion may be
// calling the pins meanwhile).
ULONG CollectRenderClients(UsbAudioStream *stream, ULONG (&clients)[UAC_MAX_RENDER_CLIENTS]) {
  ULONG count = 0;
  KIRQL irql;
  KeAcquireSpinLock(&stream->pinLock, &irql);
  if (InterlockedCompareExchange(&stream->running, 0, 0) != 0) {
    for (ULONG i = 0; i < kMaxStreamPins && count < UAC_MAX_RENDER_CLIENTS; ++i) {
      UsbAudioPin *pin = stream->pins[i];
      if (pin == nullptr || pin->operations == nullptr || pin->operations->clientProcessId == nullptr) continue;
      clients[count++] = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(pin->operations->clientProcessId(pin)));
    }
  }
  KeReleaseSpinLock(&stream->pinLock, irql);
  return count;
}

}  // namespace

NTSTATUS RenderClientsGet(PrivateRequest *request) {
  ULONG clients[UAC_MAX_RENDER_CLIENTS] = {};
  UsbAudioStream *stream = request->device->renderStream;
  const ULONG count = stream != nullptr ? CollectRenderClients(stream, clients) : 0;
  return PrivateReturnU32Array(request, clients, count);
}

NTSTATUS ProductIdGet(PrivateRequest *request) {
  return PrivateReturnU32(request, request->device->config.deviceDescriptor.idProduct);
}
