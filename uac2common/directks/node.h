// CKsNode: one topology node of a filter, by its index in the filter's node
// list and its type. A plain object, owned by the list that holds it.
#pragma once
#include "uac2common/directks/ksplatform.h"

class CKsNode {
 public:
  CKsNode(ULONG id, REFGUID type, HRESULT *phr);
  // From another node, or an empty node (id 0, GUID_NULL) from none.
  explicit CKsNode(const CKsNode *other, HRESULT *phr);

  ULONG GetId() const { return m_ulNodeId; }
  void GetType(GUID *type) const;
  ULONG GetCpuResources() const { return m_ulCpuResources; }

 private:
  // "NONE" read as a little-endian u32.
  static constexpr ULONG kNoCpuResources = 0x454E4F4E;

  ULONG m_ulNodeId = 0;
  ULONG m_ulCpuResources = kNoCpuResources;
  GUID m_guidType = {};
};
