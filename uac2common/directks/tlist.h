// TList: the library's doubly linked list of item pointers. It never owns its
// items: whoever removes an item deletes it if it owns it, and every owner
// empties its lists in its own destructor. One node is allocated per item.
#pragma once
#include <new>

#include "uac2common/directks/kstrace.h"

template <class T>
struct TListNode {
  TListNode *pNext;
  TListNode *pPrev;
  T *pData;
};

template <class T>
class TList {
 public:
  TList() = default;
  // A list still holding nodes here is an owner's fault: it is reported, and
  // the nodes (not the items) are freed.
  ~TList() {
    KS_ASSERT(NULL == m_pHead);
    KS_ASSERT(NULL == m_pTail);
    KS_ASSERT(0 == m_lCount);
    RemoveAll();
  }
  TList(const TList &) = delete;
  TList &operator=(const TList &) = delete;

  // The new node, or null (list unchanged) when it cannot be allocated.
  TListNode<T> *AddTail(T *item) {
    auto *node = new (std::nothrow) TListNode<T>{nullptr, m_pTail, item};
    if (node == nullptr) return nullptr;
    if (m_pTail != nullptr) {
      m_pTail->pNext = node;
    } else {
      m_pHead = node;
    }
    m_pTail = node;
    ++m_lCount;
    return node;
  }

  // The first item, its node freed; null on an empty list.
  T *RemoveHead() {
    TListNode<T> *node = m_pHead;
    if (node == nullptr) return nullptr;
    m_pHead = node->pNext;
    if (m_pHead != nullptr) {
      m_pHead->pPrev = nullptr;
    } else {
      m_pTail = nullptr;
    }
    --m_lCount;
    KS_ASSERT(m_lCount >= 0);
    T *item = node->pData;
    delete node;
    return item;
  }

  // Empties the list without touching the items.
  void RemoveAll() {
    while (m_pHead != nullptr) RemoveHead();
  }

  TListNode<T> *GetHead() const { return m_pHead; }
  TListNode<T> *GetTail() const { return m_pTail; }
  static TListNode<T> *GetNext(const TListNode<T> *node) { return node->pNext; }
  static T *GetData(const TListNode<T> *node) { return node->pData; }
  LONG GetCount() const { return m_lCount; }
  bool IsEmpty() const { return m_pHead == nullptr; }

  // The item at a position from the head, or null past the end.
  T *GetAt(LONG index) const {
    TListNode<T> *node = m_pHead;
    for (LONG i = 0; node != nullptr && i < index; ++i) node = node->pNext;
    return index >= 0 && node != nullptr ? node->pData : nullptr;
  }

 private:
  TListNode<T> *m_pHead = nullptr;
  TListNode<T> *m_pTail = nullptr;
  LONG m_lCount = 0;
};
