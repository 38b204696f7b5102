// Headless message boxes: recorded, answered by the test or by the default
// button, and refused for a bad owner or style.
#include <gtest/gtest.h>
#include <windows.h>

#include "winsim/machine.h"
#include "winsim/user/message_box.h"

namespace {

TEST(MessageBoxes, BoxesAreRecordedAndAnswered) {
  winsim::Machine machine;
  EXPECT_EQ(MessageBoxA(nullptr, "Saved", "Qav", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "Replace?", "Qav", MB_YESNO | MB_DEFBUTTON2), IDNO) << "default button";
  winsim::SetMessageBoxResponder([](const winsim::MessageBoxRecord &box) {
    return box.text == "Retry?" ? IDCANCEL : IDOK;
  });
  EXPECT_EQ(MessageBoxA(nullptr, "Retry?", "Qav", MB_RETRYCANCEL), IDCANCEL);
  auto boxes = winsim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[1].text, "Replace?");
  EXPECT_EQ(boxes[1].caption, "Qav");
  EXPECT_EQ(boxes[1].type, static_cast<UINT>(MB_YESNO | MB_DEFBUTTON2));
  EXPECT_EQ(boxes[2].answer, IDCANCEL);
}

TEST(MessageBoxes, BadOwnerOrStyleIsRefused) {
  winsim::Machine machine;
  EXPECT_EQ(MessageBoxA(reinterpret_cast<HWND>(0x1234), "x", "y", MB_OK), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(MessageBoxA(nullptr, "x", "y", 0x0000000FU), 0);
  EXPECT_EQ(GetLastError(), 1438u);
  EXPECT_TRUE(winsim::MessageBoxes().empty());
}

TEST(CodePages, WideTextNarrowsToAnsiAndOem) {
  winsim::Machine machine;
  char ansi[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"A\u00e9\u20ac", -1, ansi, sizeof ansi, nullptr, nullptr), 4);
  EXPECT_STREQ(ansi, "A\xe9?");
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ABCD", -1, ansi, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ABCD", -1, nullptr, 0, nullptr, nullptr), 5) << "size query";
  char oem[4] = {'x', 'x', 'x', 'x'};
  EXPECT_TRUE(CharToOemBuffW(u"In\u00e9", oem, 3));
  EXPECT_EQ(std::string(oem, 4), "In\x82x") << "exactly the count given, no terminator; code page 437";
}

}  // namespace
