#include "uac2common/directks/node.h"

#include "uac2common/directks/kstrace.h"

CKsNode::CKsNode(ULONG id, REFGUID type, HRESULT *phr) : m_ulNodeId(id), m_guidType(type) {
  KsTraceCall call("CKsNode::CKsNode");
  if (phr != nullptr) *phr = S_OK;
}

CKsNode::CKsNode(const CKsNode *other, HRESULT *phr) {
  KsTraceCall call("CKsNode::CKsNode");
  if (other != nullptr) {
    m_ulNodeId = other->m_ulNodeId;
    m_ulCpuResources = other->m_ulCpuResources;
    m_guidType = other->m_guidType;
  }
  if (phr != nullptr) *phr = S_OK;
}

void CKsNode::GetType(GUID *type) const {
  KS_ASSERT(type != nullptr);
  if (type != nullptr) *type = m_guidType;
}
