// Dispatch of the private property set. KS checks the minimum request and
// value sizes of each item before a handler runs; the handlers check them
// again, since nothing else stands between a short buffer and a read past it.
#include "kerneldriver/ks/private/private_properties.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/private/private_request.h"

namespace {

using PrivateHandler = NTSTATUS (*)(PrivateRequest *request);

struct PrivateProperty {
  ULONG id;
  PrivateHandler get;
  PrivateHandler set;  // null: sets are refused (by ks.sys when the item declares no set handler)
};

const PrivateProperty kProperties[] = {
    {KSPROPERTY_UAC_URB_SIZE, UrbSizeGet, UrbSizeSet},
    {KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE, ActiveSampleRateGet, nullptr},
    {KSPROPERTY_UAC_SAMPLE_RATES, SampleRatesGet, nullptr},
    {KSPROPERTY_UAC_SAMPLE_RATE, SampleRateGet, SampleRateSet},
    {KSPROPERTY_UAC_CLOCK_SOURCE, ClockSourceGet, ClockSourceSet},
    {KSPROPERTY_UAC_CLOCK_SOURCE_INFO, ClockSourceInfoGet, nullptr},
    {KSPROPERTY_UAC_CLASS_REQUEST, ClassRequestGet, ClassRequestSet},
    {KSPROPERTY_UAC_MIN_URB_SIZE, MinUrbSizeGet, nullptr},
    {KSPROPERTY_UAC_RENDER_CLIENTS, RenderClientsGet, nullptr},
    {KSPROPERTY_UAC_PRODUCT_ID, ProductIdGet, nullptr},
};

constexpr ULONG kPlain = sizeof(KSPROPERTY);
constexpr ULONG kU32 = UAC_U32_VALUE_SIZE;

#define QAV_PRIVATE_ITEM(id, minRequest, minValue, hasSet)                                                      \
  {id, {PrivatePropertyGet}, minRequest, minValue, {(hasSet) ? PrivatePropertySet : nullptr}, nullptr, 0, nullptr, \
   nullptr, 0}

// What ks.sys checks before a handler runs: the minimum request and value
// sizes, and whether the item takes sets at all. Ids 1, 11 and 40 declare a
// set handler that refuses every set; ids 2, 60 and 70 declare none. In the
// order of kProperties.
}  // namespace

const KSPROPERTY_ITEM kPrivatePropertyItems[kPrivatePropertyCount] = {
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_URB_SIZE, kPlain, kU32, true),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE, kPlain, kU32, true),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_SAMPLE_RATES, kPlain, 0, false),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_SAMPLE_RATE, kPlain, kU32, true),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_CLOCK_SOURCE, kPlain, kU32, true),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_CLOCK_SOURCE_INFO, sizeof(KSP_UAC_INDEX), sizeof(ClockSourceInfo), true),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_CLASS_REQUEST, sizeof(KSP_UAC_CLASS_REQUEST), UAC_CLASS_REQUEST_MIN_VALUE_SIZE,
                     true),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_MIN_URB_SIZE, kPlain, kU32, true),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_RENDER_CLIENTS, kPlain, kU32, false),
    QAV_PRIVATE_ITEM(KSPROPERTY_UAC_PRODUCT_ID, kPlain, kU32, false),
};

#undef QAV_PRIVATE_ITEM

namespace {

static_assert(QavCountOf(kPrivatePropertyItems) == QavCountOf(kProperties), "one KS item per private property");

// The checks every private property request passes before its handler:
// set, id, then the item's sizes.
NTSTATUS OpenProperty(PIRP irp, PKSIDENTIFIER identifier, PVOID value, PrivateRequest *request,
                      const PrivateProperty **property) {
  *property = nullptr;
  NTSTATUS status = PrivateRequestOpen(irp, identifier, value, sizeof(KSPROPERTY), request);
  if (!NT_SUCCESS(status)) return status;
  if (!PrivateRequestIsFor(identifier, KSPROPSETID_UacPrivate)) return STATUS_NOT_IMPLEMENTED;
  if (identifier->Id > KSPROPERTY_UAC_LAST) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < QavCountOf(kProperties); ++i) {
    const KSPROPERTY_ITEM &item = kPrivatePropertyItems[i];
    if (kProperties[i].id != identifier->Id || item.PropertyId != identifier->Id) continue;
    if (request->requestLength < item.MinProperty) return STATUS_INVALID_PARAMETER;
    if (request->valueLength < item.MinData) return STATUS_BUFFER_TOO_SMALL;
    *property = &kProperties[i];
    return PrivateRequestBindDevice(request);
  }
  return STATUS_NOT_FOUND;
}

}  // namespace

NTSTATUS PrivatePropertyGet(PIRP irp, PKSIDENTIFIER identifier, PVOID value) {
  PrivateRequest request;
  const PrivateProperty *property = nullptr;
  NTSTATUS status = OpenProperty(irp, identifier, value, &request, &property);
  if (NT_SUCCESS(status)) status = property->get(&request);
  return PrivateRequestClose(&request, status);
}

NTSTATUS PrivatePropertySet(PIRP irp, PKSIDENTIFIER identifier, PVOID value) {
  PrivateRequest request;
  const PrivateProperty *property = nullptr;
  NTSTATUS status = OpenProperty(irp, identifier, value, &request, &property);
  if (NT_SUCCESS(status)) {
    status = property->set != nullptr ? property->set(&request) : STATUS_INVALID_PARAMETER;
  }
  return PrivateRequestClose(&request, status);
}
