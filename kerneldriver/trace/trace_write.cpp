// Writing one record. Any processor, IRQL <= DISPATCH_LEVEL: slots are
// claimed by the interlocked write counter, and the flag word is stored 0
// first and its value last (release order), so a reader that sees a non-zero
// flag word sees the record's other fields as this writer left them.
#include "kerneldriver/trace/trace_log.h"

namespace {

// Counts the post-trigger countdown down by one when it runs; the record
// that takes it from 1 to 0 freezes the log (both buffers' masks to 0), so
// the history around the triggering record stays for a reader. A compare-
// exchange rather than a plain decrement: two processors finishing at once
// must not take it below 0 and leave the log running.
void CountDownAfterTrigger(LoggerBufferHeader *buffer) {
  unsigned int left = __atomic_load_n(&buffer->PostTriggerCountdown, __ATOMIC_RELAXED);
  while (left != 0) {
    if (__atomic_compare_exchange_n(&buffer->PostTriggerCountdown, &left, left - 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_RELAXED)) {
      if (left == 1) {
        __atomic_store_n(g_traceLog.standardMask, 0u, __ATOMIC_RELAXED);
        __atomic_store_n(g_traceLog.realTimeMask, 0u, __ATOMIC_RELAXED);
      }
      return;
    }
  }
}

}  // namespace

void TraceWriteRecord(LoggerBufferHeader *buffer, ULONG flags, ULONG messageId, const ULONG *arguments) {
  if (buffer == nullptr) return;
  const unsigned int n = __atomic_add_fetch(&buffer->WriteCounter, 1u, __ATOMIC_SEQ_CST);
  auto *records = reinterpret_cast<TraceRecord *>(static_cast<ULONG_PTR>(buffer->RecordArray));
  TraceRecord *record = &records[(n - 1) & buffer->IndexMask];
  __atomic_store_n(&record->Flags, 0u, __ATOMIC_RELAXED);
  __atomic_store_n(&record->InterruptTime, static_cast<unsigned long long>(KeQueryInterruptTime()), __ATOMIC_RELAXED);
  __atomic_store_n(&record->MessageId, static_cast<unsigned int>(messageId), __ATOMIC_RELAXED);
  for (ULONG i = 0; i < kTraceRecordArguments; ++i) {
    __atomic_store_n(&record->Arguments[i], static_cast<unsigned int>(arguments[i]), __ATOMIC_RELAXED);
  }
  __atomic_store_n(&record->Flags, static_cast<unsigned int>(flags), __ATOMIC_RELEASE);

  // The triggering record itself does not count: the log keeps the 50
  // records that follow it. A running countdown is not restarted.
  if ((flags & __atomic_load_n(&buffer->TriggerMask, __ATOMIC_RELAXED)) != 0) {
    unsigned int idle = 0;
    if (__atomic_compare_exchange_n(&buffer->PostTriggerCountdown, &idle, kTracePostTriggerRecords, false,
                                    __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
      return;
    }
  }
  CountDownAfterTrigger(buffer);
}
