// Property requests of CKsIrpTarget: the simple, node and channel forms, the
// two-step variable-size forms and the support queries.
#include <new>

#include "uac2common/directks/irptgt.h"
#include "uac2common/directks/kstrace.h"

namespace {

constexpr ULONG kNodeGet = KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_GET;
constexpr ULONG kNodeSet = KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_SET;

KSPROPERTY Property(REFGUID set, ULONG id, ULONG flags) {
  KSPROPERTY property = {};
  property.Set = set;
  property.Id = id;
  property.Flags = flags;
  return property;
}

KSNODEPROPERTY NodeProperty(ULONG nodeId, REFGUID set, ULONG id, ULONG flags) {
  KSNODEPROPERTY node = {};
  node.Property = Property(set, id, flags);
  node.NodeId = nodeId;
  node.Reserved = 0;
  return node;
}

KSNODEPROPERTY_AUDIO_CHANNEL ChannelProperty(ULONG nodeId, LONG channel, REFGUID set, ULONG id, ULONG flags) {
  KSNODEPROPERTY_AUDIO_CHANNEL request = {};
  request.NodeProperty = NodeProperty(nodeId, set, id, flags);
  request.Channel = channel;
  request.Reserved = 0;
  return request;
}

}  // namespace

// The header and the extra bytes behind it in one buffer, allocated for the
// call. A request too large to allocate (or to describe in 32 bits) is not sent.
HRESULT CKsIrpTarget::HeaderRequest(const void *header, ULONG headerSize, PVOID extra, ULONG extraSize,
                                    PVOID value, ULONG valueSize) {
  if (extra == nullptr) extraSize = 0;
  if (extraSize > 0xFFFFFFFFu - headerSize) return E_OUTOFMEMORY;
  const ULONG requestSize = headerSize + extraSize;
  auto *request = new (std::nothrow) UCHAR[requestSize];
  if (request == nullptr) return E_OUTOFMEMORY;
  std::memcpy(request, header, headerSize);
  if (extraSize != 0) std::memcpy(request + headerSize, extra, extraSize);
  ULONG count = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, value, valueSize, &count);
  delete[] request;
  return hr;
}

HRESULT CKsIrpTarget::GetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra,
                                        ULONG extraSize) {
  KsTraceCall call("CKsIrpTarget::GetPropertySimple");
  KSPROPERTY property = Property(set, id, KSPROPERTY_TYPE_GET);
  return call.Return(HeaderRequest(&property, sizeof property, extra, extraSize, value, valueSize));
}

HRESULT CKsIrpTarget::SetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra,
                                        ULONG extraSize) {
  KsTraceCall call("CKsIrpTarget::SetPropertySimple");
  KSPROPERTY property = Property(set, id, KSPROPERTY_TYPE_SET);
  return call.Return(HeaderRequest(&property, sizeof property, extra, extraSize, value, valueSize));
}

HRESULT CKsIrpTarget::GetNodePropertySimple(ULONG nodeId, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                            PVOID extra, ULONG extraSize) {
  KsTraceCall call("CKsIrpTarget::GetNodePropertySimple");
  KSNODEPROPERTY node = NodeProperty(nodeId, set, id, kNodeGet);
  return call.Return(HeaderRequest(&node, sizeof node, extra, extraSize, value, valueSize));
}

HRESULT CKsIrpTarget::SetNodePropertySimple(ULONG nodeId, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                            PVOID extra, ULONG extraSize) {
  KsTraceCall call("CKsIrpTarget::SetNodePropertySimple");
  KSNODEPROPERTY node = NodeProperty(nodeId, set, id, kNodeSet);
  return call.Return(HeaderRequest(&node, sizeof node, extra, extraSize, value, valueSize));
}

HRESULT CKsIrpTarget::GetNodePropertyChannel(ULONG nodeId, LONG channel, REFGUID set, ULONG id, PVOID value,
                                             ULONG valueSize, PVOID extra, ULONG extraSize) {
  KsTraceCall call("CKsIrpTarget::GetNodePropertyChannel");
  KSNODEPROPERTY_AUDIO_CHANNEL request = ChannelProperty(nodeId, channel, set, id, kNodeGet);
  return call.Return(HeaderRequest(&request, sizeof request, extra, extraSize, value, valueSize));
}

HRESULT CKsIrpTarget::SetNodePropertyChannel(ULONG nodeId, LONG channel, REFGUID set, ULONG id, PVOID value,
                                             ULONG valueSize, PVOID extra, ULONG extraSize) {
  KsTraceCall call("CKsIrpTarget::SetNodePropertyChannel");
  KSNODEPROPERTY_AUDIO_CHANNEL request = ChannelProperty(nodeId, channel, set, id, kNodeSet);
  return call.Return(HeaderRequest(&request, sizeof request, extra, extraSize, value, valueSize));
}

// Size query with sizeRequest, then the read with request (sizeRequest when null).
HRESULT CKsIrpTarget::MultiRead(KSPROPERTY &sizeRequest, PVOID request, ULONG requestSize, PUCHAR *buffer,
                                PULONG bufferSize) {
  if (buffer == nullptr) return E_POINTER;
  ULONG size = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &sizeRequest, sizeof sizeRequest, nullptr, 0, &size);
  if (FAILED(hr)) return hr;
  if (bufferSize != nullptr) *bufferSize = size;
  if (size == 0) return S_OK;
  auto *data = new (std::nothrow) UCHAR[size];
  if (data == nullptr) return E_OUTOFMEMORY;
  *buffer = data;
  if (request == nullptr) {
    request = &sizeRequest;
    requestSize = sizeof sizeRequest;
  }
  ULONG count = 0;
  return SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, data, size, &count);
}

HRESULT CKsIrpTarget::GetPropertyMulti(REFGUID set, ULONG id, PUCHAR *buffer, PULONG bufferSize) {
  KsTraceCall call("CKsIrpTarget::GetPropertyMulti");
  KSPROPERTY property = Property(set, id, KSPROPERTY_TYPE_GET);
  return call.Return(MultiRead(property, nullptr, 0, buffer, bufferSize));
}

HRESULT CKsIrpTarget::GetPropertyMulti(REFGUID set, ULONG id, PVOID request, ULONG requestSize, PUCHAR *buffer,
                                       PULONG bufferSize) {
  KsTraceCall call("CKsIrpTarget::GetPropertyMulti");
  if (request == nullptr) return call.Return(E_INVALIDARG);
  KSPROPERTY property = Property(set, id, KSPROPERTY_TYPE_GET);
  return call.Return(MultiRead(property, request, requestSize, buffer, bufferSize));
}

HRESULT CKsIrpTarget::SetPropertyMulti(REFGUID set, ULONG id, PVOID *buffer) {
  KsTraceCall call("CKsIrpTarget::SetPropertyMulti");
  if (buffer == nullptr) return call.Return(E_POINTER);
  KSPROPERTY property = Property(set, id, KSPROPERTY_TYPE_SET);
  ULONG size = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0, &size);
  if (FAILED(hr)) return call.Return(hr);
  if (size == 0) return call.Return(S_OK);
  PVOID data = LocalAlloc(LMEM_ZEROINIT, size);
  if (data == nullptr) return call.Return(E_OUTOFMEMORY);
  *buffer = data;
  ULONG count = 0;
  return call.Return(SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, data, size, &count));
}

HRESULT CKsIrpTarget::PropertySetSupport(REFGUID set) {
  KsTraceCall call("CKsIrpTarget::PropertySetSupport");
  KSPROPERTY property = Property(set, 0, KSPROPERTY_TYPE_SETSUPPORT);
  return call.Return(SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0));
}

HRESULT CKsIrpTarget::PropertyBasicSupport(REFGUID set, ULONG id, PULONG accessFlags) {
  KsTraceCall call("CKsIrpTarget::PropertyBasicSupport");
  if (accessFlags == nullptr) return call.Return(E_POINTER);
  KSPROPERTY property = Property(set, id, KSPROPERTY_TYPE_BASICSUPPORT);
  return call.Return(
      SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, accessFlags, sizeof(ULONG)));
}
