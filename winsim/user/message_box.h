// Headless message boxes: MessageBoxA records each box as a machine event
// and returns the answer of the test's responder, or the box's default
// button when no responder is set.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace winsim {

struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
  int answer;
};

// Answers each box; must return one of the box's buttons (IDOK, IDYES, ...).
using MessageBoxResponder = std::function<int(const MessageBoxRecord &box)>;
void SetMessageBoxResponder(MessageBoxResponder responder);

// The boxes shown since the machine booted, in order, with their answers.
std::vector<MessageBoxRecord> MessageBoxes();
void ResetMessageBoxes();

}  // namespace winsim
