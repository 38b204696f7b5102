// The libFuzzer entry of the fuzzers that run inputs on a simulated Machine.
// A Machine keeps some history of every device it saw, so a fresh one is
// made every `runsPerMachine` inputs to keep long runs from slowing down.
//
// libFuzzer ends a run with exit(), from inside its loop. The Machine must
// go first: its threads may still be running work when winsim's own statics
// are destroyed, which is a use after free. The clean-up is registered after
// the first run, so winsim's statics (constructed on first use) are older
// and outlive it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace qavfuzz {

template <class FuzzMachine>
class RecycledMachine {
 public:
  // Inputs shorter than `minSize` or longer than 64 KiB are skipped.
  static int Run(const uint8_t *data, size_t size, size_t minSize, unsigned runsPerMachine) {
    static unsigned runs = 0;
    if (size < minSize || size > 0x10000) return 0;
    if (runs % runsPerMachine == 0) {
      delete s_machine;
      s_machine = new FuzzMachine();
    }
    s_machine->Run(data, size);
    if (runs++ == 0) std::atexit(DestroyAtExit);
    return 0;
  }

 private:
  static void DestroyAtExit() {
    delete s_machine;
    s_machine = nullptr;
  }
  static inline FuzzMachine *s_machine = nullptr;
};

}  // namespace qavfuzz
