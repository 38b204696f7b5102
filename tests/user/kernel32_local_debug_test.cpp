// Local memory and debugger output of kernel32.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"

namespace {

TEST(LocalMemory, ZeroInitialisedBlocksAreFreedOnce) {
  auto *block = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, 64));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(block, block + 64), std::vector<unsigned char>(64, 0));
  std::memset(block, 0xAB, 64);
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(LocalMemory, FreeingWhatLocalAllocDidNotHandOutIsRefused) {
  HLOCAL block = LocalAlloc(LPTR, 8);
  ASSERT_EQ(LocalFree(block), nullptr);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(LocalFree(block), block) << "a second free";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int local = 0;
  EXPECT_EQ(LocalFree(&local), &local) << "memory of another allocator";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(LocalMemory, MoveableBlocksAreNotProvided) {
  EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

std::vector<std::string> DebuggerLines() {
  std::vector<std::string> lines;
  for (const winsim::LogLine &line : winsim::DebugLog::Snapshot()) {
    if (line.source == "debugger") lines.push_back(line.text);
  }
  return lines;
}

TEST(DebuggerOutput, PiecesBecomeOneLineAtEachLineEnd) {
  winsim::Machine machine;
  winsim::DebugLog::Clear();
  OutputDebugStringA("first ");
  OutputDebugStringA("half");
  EXPECT_TRUE(DebuggerLines().empty()) << "nothing until the line ends";
  OutputDebugStringA("\r\n");
  OutputDebugStringA("two\nlines\n");
  OutputDebugStringA(nullptr);
  EXPECT_EQ(DebuggerLines(), (std::vector<std::string>{"first half", "two", "lines"}));
}

}  // namespace
