// kernel32 local memory: LocalAlloc and LocalFree of fixed blocks. Every
// block is tracked, so a free of something LocalAlloc did not hand out (or
// freed already) is refused as Windows' heap validation refuses it, instead of
// corrupting the heap.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace {

std::mutex g_lock;
std::set<void *> g_blocks;

}  // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if ((uFlags & ~LMEM_ZEROINIT) != LMEM_FIXED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A zero-byte block is still a distinct block, as on Windows.
  void *block = std::malloc(uBytes != 0 ? uBytes : 1);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (uFlags & LMEM_ZEROINIT) std::memset(block, 0, uBytes);
  std::lock_guard<std::mutex> guard(g_lock);
  g_blocks.insert(block);
  return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
  if (hMem == nullptr) return nullptr;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_blocks.erase(hMem) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return hMem;
    }
  }
  std::free(hMem);
  return nullptr;
}
