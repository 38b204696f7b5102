// TList's order and counts, and CRefCountedObject's lifetime.
#include <gtest/gtest.h>

#include "trace_capture.h"
#include "uac2common/directks/directks.h"

namespace kslibtest {
namespace {

TEST(TList, ItemsComeOutInTheOrderTheyWentIn) {
  int a = 1, b = 2, c = 3;
  TList<int> list;
  EXPECT_EQ(list.RemoveHead(), nullptr) << "empty: nothing, and no change";
  EXPECT_EQ(list.GetCount(), 0);
  for (int *item : {&a, &b, &c}) ASSERT_NE(list.AddTail(item), nullptr);
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_EQ(list.GetAt(1), &b);
  EXPECT_EQ(list.GetAt(3), nullptr);
  EXPECT_EQ(TList<int>::GetData(list.GetTail()), &c);
  EXPECT_EQ(list.GetTail()->pPrev->pData, &b);
  EXPECT_EQ(list.RemoveHead(), &a);
  EXPECT_EQ(list.GetHead()->pPrev, nullptr);
  EXPECT_EQ(list.RemoveHead(), &b);
  EXPECT_EQ(list.RemoveHead(), &c);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetTail(), nullptr);
  EXPECT_EQ(list.GetCount(), 0);
}

TEST(TList, AListDestroyedWithNodesReportsItAndFreesThem) {
  TraceCapture trace;
  int item = 0;
  {
    TList<int> list;
    list.AddTail(&item);
  }
  ASSERT_EQ(trace.Messages().size(), 3u);
  EXPECT_NE(trace.Messages()[0].find("NULL == m_pHead"), std::string::npos);
  EXPECT_NE(trace.Messages()[2].find("0 == m_lCount"), std::string::npos);
}

class Counted : public CRefCountedObject {
 public:
  explicit Counted(bool *destroyed) : m_destroyed(destroyed) {}
  ~Counted() override { *m_destroyed = true; }

 private:
  bool *m_destroyed;
};

TEST(CRefCountedObject, TheCreatorsReferenceIsTheFirstAndTheLastReleaseDestroys) {
  bool destroyed = false;
  auto *object = new Counted(&destroyed);
  EXPECT_EQ(object->AddRef(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_TRUE(destroyed);
}

TEST(GetWaveFormatSize, PcmIsEighteenBytesAndOthersAddTheirExtra) {
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.cbSize = 22;
  EXPECT_EQ(GetWaveFormatSize(&format), 18u) << "cbSize of PCM is ignored";
  format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  EXPECT_EQ(GetWaveFormatSize(&format), 40u);
  format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  format.cbSize = 0;
  EXPECT_EQ(GetWaveFormatSize(&format), 18u);
}

}  // namespace
}  // namespace kslibtest
